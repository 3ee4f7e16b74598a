#include "service/nut/nut_host.h"

#include <cstdlib>
#include <string>

#include "common/numeric_text.h"

namespace ebbmark::nut {
namespace {

class LocalNutHost final : public NutHost {
 public:
  LocalNutHost(asio::io_context& io, const Clock& clock, EventLog& log, ServerLimits limits)
      : server_(
            io, clock,
            [&log](EventType type, int id, const std::string& text) {
              log.WriteEventLog(type, id, text);
            },
            limits) {
    server_.on_logins_changed = [this] {
      if (on_logins_changed) on_logins_changed();
    };
  }

  void Configure(const ListenConfig& listen, const ServerConfig& config) override {
    server_.SetConfig(config);
    if (listen.addresses.empty()) {
      server_.Close();
    } else {
      server_.Listen(listen);
    }
  }
  void Publish(const Snapshot& snapshot) override { server_.SetSnapshot(snapshot); }
  std::vector<std::string> LoggedIn() const override { return server_.LoggedIn(); }
  void Stop() override { server_.Close(); }

 private:
  Server server_;
};

}  // namespace

std::unique_ptr<NutHost> MakeLocalNutHost(asio::io_context& io, const Clock& clock, EventLog& log,
                                          ServerLimits limits) {
  return std::make_unique<LocalNutHost>(io, clock, log, limits);
}

ServerLimits LimitsFromEnvironment() {
  ServerLimits limits;
  if (const char* retry = std::getenv("EBBMARK_NUT_RETRY_SECONDS")) {
    const auto v = TextToInt32(retry);
    if (v && *v >= 1 && *v <= 3600) limits.retry = std::chrono::seconds{*v};
  }
  return limits;
}

}  // namespace ebbmark::nut
