#pragma once
// EbbmarkSvc's one window, as plain objects on the program's loop: start-up
// and the command line, the start watchdog, the monitoring tick, the trigger
// sequence, the notices and the orderly stop.

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

#include "common/clock.h"
#include "common/monitor_rules.h"
#include "common/notices.h"
#include "common/service_control.h"
#include "common/settings.h"
#include "common/status_stream.h"
#include "common/tcp_client.h"
#include "common/timer.h"
#include "platform/dialogs.h"
#include "platform/event_log.h"
#include "platform/file_system.h"
#include "platform/mailer.h"
#include "platform/power_control.h"
#include "platform/process_runner.h"
#include "platform/service_host.h"
#include "service/relay_link.h"

namespace ebbmark {

// The once-only flags of the monitoring cycle.
struct MonitorState {
  bool InvertingLogged = false;
  bool StartNoticeSent = false;
  bool MonitoringAnnounced = false;
  std::int32_t AnnouncedAddress = 0;
  bool ActionDone = false;
  bool RunFileDone = false;
};

struct ServicePlatform {
  FileSystem& fs;
  EventLog& log;  // every record of the service goes here
  ServiceHost& host;
  ServiceControl& control;
  Dialogs& dialogs;
  TcpClient& tcp;
  Mailer& mailer;
  ProcessRunner& runner;
  PowerControl& power;
};

struct ServiceOptions {
  std::string settings_folder;            // Ebbmark.ini and the .msg templates
  std::string program_path;               // this program, checked at install and start
  std::function<void(int)> exit_process;  // ends the process at once
  std::function<void()> usage_hint;       // run by hand outside a service manager
  std::function<void(const std::vector<std::string>&)>
      debug_display;  // Host, Inverter, Current, SOC
  std::chrono::milliseconds uninstall_pause{2000};
  std::chrono::milliseconds action_pause{5000};
  std::chrono::milliseconds watchdog_interval{1000};
};

class ServiceApp {
 public:
  ServiceApp(asio::io_context& io, const Clock& clock, ServicePlatform platform,
             ServiceOptions options);

  // Window load: the command line is the arguments joined by single blanks.
  void Start(const std::string& argument);

  void AppInit();
  // Stops the program: timer off, link closed, the manager told, process ended.
  void AppStop();

  // The tmrRunChecks tick.
  void RunChecks();

  bool RunFileReady() const;

  bool DebugMode = false;
  SettingsRecord Settings;
  StatusStream Stream;
  InvertingState Inverting;
  MonitorState Monitor;
  Timer tmrServiceCheck;
  Timer tmrRunChecks;
  RelayLink Link;
  bool TriggerRunning() const { return trigger_running_; }

 private:
  // Who others than administrators are that can change this program; empty
  // when no one can (or no program path is known).
  std::optional<std::string> ProgramRefusal();
  // Why the run file must not be started: the settings file, the run file or
  // a folder above either can be changed by others. Empty when it may run.
  std::optional<std::string> RunFileRefusal(const std::string& file);
  void CheckAddresses();
  void UninstallPath(bool silent);
  void InstallPath(bool silent);
  void StartHandling();
  void Announce();
  void InvertingNotices(TimePoint now);
  void DebugDisplay();
  asio::awaitable<void> TriggerSequence();
  asio::awaitable<void> Pause(std::chrono::milliseconds d);
  // Sends one notice if email and its kind are enabled; `done` runs on the
  // loop when the send has finished or was not made.
  void SendNotice(Notice n, std::function<void()> done = {});
  asio::awaitable<bool> SendNoticeAsync(Notice n);
  asio::awaitable<RunResult> RunFileAsync(std::string file,
                                          std::optional<std::chrono::milliseconds> wait);
  NoticeValues CurrentValues() const;
  void Message(const char* title, const std::string& text, DialogIcon icon);

  asio::io_context& io_;
  const Clock& clock_;
  ServicePlatform p_;
  ServiceOptions options_;
  SettingsStore store_;
  bool stopping_ = false;
  bool installing_ = false;
  bool trigger_running_ = false;
  bool addresses_refused_ = false;  // SMTPFrom or SMTPTo as loaded is unusable
  int exit_code_ = 0;
};

// "do nothing", "shutdown", "hibernate"; nullptr above 2.
const char* ActionName(int shutdown_type);

}  // namespace ebbmark
