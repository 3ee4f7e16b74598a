#pragma once
// A NUT server host that records what the service tells it and lets the
// test say who is signed in.

#include <string>
#include <utility>
#include <vector>

#include "service/nut/nut_host.h"
#include "tests/support/service_fakes.h"

namespace ebbmark::testing {

class FakeNutHost : public nut::NutHost {
 public:
  std::vector<std::pair<nut::ListenConfig, nut::ServerConfig>> configs;
  std::vector<nut::Snapshot> published;
  std::vector<std::string> logged_in;
  int stops = 0;
  Journal* journal = nullptr;  // notes each snapshot's ups.status

  void Configure(const nut::ListenConfig& listen, const nut::ServerConfig& config) override {
    configs.emplace_back(listen, config);
  }
  void Publish(const nut::Snapshot& snapshot) override {
    published.push_back(snapshot);
    if (journal) journal->push_back("nut: " + Status(snapshot));
  }
  std::vector<std::string> LoggedIn() const override { return logged_in; }
  void Stop() override {
    ++stops;
    SetLoggedIn({});
  }

  void SetLoggedIn(std::vector<std::string> now) {
    logged_in = std::move(now);
    if (on_logins_changed) on_logins_changed();
  }

  // "stale", or the snapshot's ups.status.
  static std::string Status(const nut::Snapshot& s) {
    if (s.stale) return "stale";
    for (const auto& [name, value] : s.vars)
      if (name == "ups.status") return value;
    return "";
  }
  std::string LastStatus() const { return published.empty() ? "" : Status(published.back()); }
};

}  // namespace ebbmark::testing
