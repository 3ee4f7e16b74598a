#pragma once
// Fakes for the configuration program's helper windows: a service that
// changes state as it is started and stopped, and a mailer whose results a
// test decides and may hold back.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "platform/service_control.h"
#include "platform/service_watch.h"
#include "common/settings.h"
#include "config/model/tool_windows.h"
#include "platform/mailer.h"
#include "tests/support/config_fakes.h"
#include "tests/support/network_fakes.h"

namespace ebbmark::testing {

class ScriptedServiceControl : public ServiceControl {
 public:
  enum class State { Missing, Stopped, Running, Pending };
  State state = State::Missing;
  bool start_ok = true, stop_ok = true;
  std::vector<std::string> calls;        // "installed", "running", "start", "stop"
  std::vector<std::string> names;        // the service name of every call
  std::function<void()> during_request;  // runs inside every start and stop

  bool IsServiceInstalled(const std::string& name) override {
    Note("installed", name);
    return state != State::Missing;
  }
  bool IsServiceRunning(const std::string& name) override {
    Note("running", name);
    return state == State::Running;
  }
  bool StartNamedService(const std::string& name) override {
    Note("start", name);
    if (during_request) during_request();
    if (!start_ok) return false;
    if (state == State::Stopped) state = State::Running;
    return state != State::Missing;
  }
  bool StopNamedService(const std::string& name) override {
    Note("stop", name);
    if (during_request) during_request();
    if (!stop_ok) return false;
    if (state == State::Running) state = State::Stopped;
    return state != State::Missing;
  }

 private:
  void Note(const char* call, const std::string& name) {
    calls.push_back(call);
    names.push_back(name);
  }
};

// A service manager that answers start and stop requests only when the test
// says so, as systemd does once polkit's question has been answered.
class DeferredServiceWatch : public ServiceWatch {
 public:
  ServiceState state = ServiceState::Stopped;
  std::vector<std::function<void(bool)>> pending;

  ServiceState State() const override { return state; }
  void Start(std::function<void(bool)> done) override { pending.push_back(std::move(done)); }
  void Stop(std::function<void(bool)> done) override { pending.push_back(std::move(done)); }
  void Report(ServiceState s) {
    state = s;
    NotifyChange();
  }
  void Answer(bool ok) {
    auto calls = std::move(pending);
    pending.clear();
    for (auto& done : calls) done(ok);
  }
};

class ScriptedMailer : public Mailer {
 public:
  explicit ScriptedMailer(asio::io_context& io) : io_(io) {}
  std::vector<MailMessage> sent;
  MailResult result{true, 0, {}};
  // Keep results back until Release: the send is still under way.
  bool hold = false;

  void Send(const MailMessage& m, std::function<void(MailResult)> done) override {
    sent.push_back(m);
    if (hold) {
      held_.push_back(std::move(done));
      return;
    }
    asio::post(io_, [done = std::move(done), r = result] { done(r); });
  }
  void Release() {
    for (auto& done : held_) asio::post(io_, [done = std::move(done), r = result] { done(r); });
    held_.clear();
  }
  void GiveUp(const std::string& reason) override {
    for (auto& done : held_)
      asio::post(io_, [done = std::move(done), reason] { done(MailResult{false, 1, reason}); });
    held_.clear();
  }

 private:
  asio::io_context& io_;
  std::vector<std::function<void(MailResult)>> held_;
};

// Everything the helper windows work with, faked, and a context built on it.
struct ToolWindowRig {
  asio::io_context io;
  SettingsRecord settings;
  ScriptedServiceControl service;
  PolledServiceWatch watch{service, kServiceName, nullptr};
  ScriptedDialogs dialogs;
  ScriptedMailer mailer{io};
  FakeShell shell;
  FakeNetworkInfo network;
  FakeUdpFactory sockets;
  std::string readme_path = "/opt/ebbmark/README.md";
  std::string computer_name = "BENCH-PC";

  ToolWindowContext Context() {
    return ToolWindowContext{io,          settings,
                             watch,       dialogs,
                             mailer,      shell,
                             network,     sockets.Factory(),
                             readme_path, [this] { return computer_name; }};
  }
  // Lets posted results arrive.
  void Poll() {
    io.restart();
    io.poll();
  }
};

// Opens a window as the main window would, but returns at once with the
// window still open, so the test can act in it: Form_Load, then shown.
template <typename W>
void Open(W& w) {
  w.Form_Load();
  w.Show();
}

}  // namespace ebbmark::testing
