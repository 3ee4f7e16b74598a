#pragma once
// Hand-written fakes of the platform interfaces that record what the service
// asked of them.

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "common/tcp_client.h"
#include "platform/dialogs.h"
#include "platform/event_log.h"
#include "platform/mailer.h"
#include "platform/power_control.h"
#include "platform/process_runner.h"
#include "platform/service_control.h"
#include "platform/service_host.h"

namespace ebbmark::testing {

struct Record {
  std::uint16_t type;
  std::uint32_t id;
  std::string text;
};

// Where fakes note what happened, in order, when a test cares about order.
using Journal = std::vector<std::string>;

class FakeEventLog : public EventLog {
 public:
  std::vector<Record> records;
  Journal* journal = nullptr;
  bool WriteEventLog(std::uint16_t type, std::uint32_t id, const std::string& text) override {
    if (journal) journal->push_back("record: " + text);
    records.push_back({type, id, text});
    return true;
  }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& r : records) n += r.text.rfind(prefix, 0) == 0;
    return n;
  }
};

class FakeTcpClient : public TcpClient {
 public:
  int state = kSockClosed;
  std::vector<std::pair<std::string, std::int32_t>> connects;
  int closes = 0;
  int State() const override { return state; }
  void Connect(const std::string& host, std::int32_t port) override {
    connects.emplace_back(host, port);
    host_ = host;
    state = kSockConnecting;
  }
  void Close() override {
    ++closes;
    state = kSockClosed;
  }
  std::string RemoteHost() const override { return host_; }

  // What the relay does.
  void Accept() {
    state = kSockConnected;
    if (OnConnected) OnConnected();
  }
  void Refuse() {
    state = kSockError;
    if (OnError) OnError(kErrConnectionRefused, "refused");
  }
  void Send(const std::string& chunk) {
    if (OnData) OnData(chunk);
  }

 private:
  std::string host_;
};

class FakeMailer : public Mailer {
 public:
  explicit FakeMailer(asio::io_context& io) : io_(io) {}
  std::vector<MailMessage> sent;
  Journal* journal = nullptr;
  MailResult result{true, 0, {}};
  // A server that never answers: results wait for Release or GiveUp.
  bool hold = false;
  std::vector<std::string> gave_up;  // the reasons given

  void Send(const MailMessage& m, std::function<void(MailResult)> done) override {
    if (journal) journal->push_back("mail: " + m.subject);
    sent.push_back(m);
    if (hold) {
      held_.push_back(std::move(done));
      return;
    }
    asio::post(io_, [done, r = result] { done(r); });
  }
  void GiveUp(const std::string& reason) override {
    gave_up.push_back(reason);
    for (auto& done : held_)
      asio::post(io_, [done = std::move(done), reason] { done(MailResult{false, 1, reason}); });
    held_.clear();
  }
  void Release() {
    for (auto& done : held_) asio::post(io_, [done = std::move(done), r = result] { done(r); });
    held_.clear();
  }
  std::size_t Held() const { return held_.size(); }

 private:
  asio::io_context& io_;
  std::vector<std::function<void(MailResult)>> held_;
};

class FakeProcessRunner : public ProcessRunner {
 public:
  explicit FakeProcessRunner(asio::io_context& io) : io_(io) {}
  struct Call {
    std::string path;
    std::optional<std::chrono::milliseconds> wait;
  };
  std::vector<Call> calls;
  RunResult result{true, {}, true, 0};
  Journal* journal = nullptr;
  // A run file that takes its whole wait: the result waits for Release.
  bool hold = false;
  void Run(const std::string& path, std::optional<std::chrono::milliseconds> wait,
           std::function<void(RunResult)> done) override {
    if (journal) journal->push_back("run: " + path);
    calls.push_back({path, wait});
    if (hold) {
      held_.push_back(std::move(done));
      return;
    }
    asio::post(io_, [done, r = result] { done(r); });
  }
  void Release() {
    for (auto& done : held_) asio::post(io_, [done = std::move(done), r = result] { done(r); });
    held_.clear();
  }

 private:
  asio::io_context& io_;
  std::vector<std::function<void(RunResult)>> held_;
};

class FakePowerControl : public PowerControl {
 public:
  std::vector<std::pair<PowerKind, bool>> calls;
  // The refusals of the next calls, in order; once used up, every call succeeds.
  std::vector<PowerRefusal> refusals;
  Journal* journal = nullptr;
  PowerRefusal Perform(PowerKind kind, bool force) override {
    if (journal)
      journal->push_back(kind == PowerKind::Shutdown ? "power: shutdown" : "power: hibernate");
    calls.emplace_back(kind, force);
    if (calls.size() > refusals.size()) return {};
    return refusals[calls.size() - 1];
  }
};

class FakeServiceHost : public ServiceHost {
 public:
  bool install_ok = true;
  bool uninstall_ok = true;
  int installs = 0, uninstalls = 0, stopped_reports = 0;
  bool started_by_manager = false;
  std::function<void()> on_start, on_stop;
  bool Install() override { return ++installs, install_ok; }
  bool packaged = false;
  std::vector<std::string> statuses;
  bool Uninstall() override { return ++uninstalls, uninstall_ok; }
  bool InstalledByPackage() override { return packaged; }
  void ReportStatus(const std::string& text) override { statuses.push_back(text); }
  void StartAsService(std::function<void()> cb) override {
    on_start = cb;
    if (started_by_manager) cb();
  }
  void WatchStop(bool, std::function<void()> cb) override { on_stop = cb; }
  void ReportStopped() override { ++stopped_reports; }
};

class FakeServiceControl : public ServiceControl {
 public:
  bool installed = false, running = false;
  std::vector<std::string> calls;
  bool IsServiceInstalled(const std::string&) override {
    return calls.push_back("installed"), installed;
  }
  bool IsServiceRunning(const std::string&) override { return calls.push_back("running"), running; }
  bool StartNamedService(const std::string&) override { return calls.push_back("start"), true; }
  bool StopNamedService(const std::string&) override { return calls.push_back("stop"), true; }
};

class FakeDialogs : public Dialogs {
 public:
  std::vector<std::tuple<std::string, std::string, DialogIcon>> shown;
  DialogAnswer Show(const std::string& title, const std::string& text, DialogButtons,
                    DialogIcon icon) override {
    shown.emplace_back(title, text, icon);
    return DialogAnswer::Ok;
  }
};

// A status line with a correct checksum.
inline std::string InverterLine(int port, int current, int ac, int volts_tenths, int mode = 2) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%d,%02d,00,00,%03d,120,00,%02d,000,02,%03d,000,000", port,
                current, ac, mode, volts_tenths);
  int sum = 0;
  for (const char* c = buf; *c; ++c) sum += (*c >= '0' && *c <= '9') ? *c - '0' : 0;
  return "\n" + std::string(buf) + "," + std::to_string(sum) + "\r";
}

inline std::string FndcLine(int soc, int temp_c = 25, char letter = 'a') {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%c,00,00,00,00,00,00,%02d,00,00,%02d", letter, soc, temp_c + 10);
  int sum = letter - 48;
  for (const char* c = buf + 1; *c; ++c) sum += (*c >= '0' && *c <= '9') ? *c - '0' : 0;
  return "\n" + std::string(buf) + "," + std::to_string(sum) + "\r";
}

}  // namespace ebbmark::testing
