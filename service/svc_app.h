#pragma once
// EbbmarkSvc's one window, as plain objects on the program's loop: start-up
// and the command line, the start watchdog, the monitoring tick, the trigger
// sequence, the notices and the orderly stop.

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "base/clock.h"
#include "base/timer.h"
#include "common/monitor_rules.h"
#include "common/notices.h"
#include "common/settings.h"
#include "common/status_stream.h"
#include "common/tcp_client.h"
#include "platform/dialogs.h"
#include "platform/event_log.h"
#include "platform/file_system.h"
#include "platform/mailer.h"
#include "platform/power_control.h"
#include "platform/process_runner.h"
#include "platform/secret_store.h"
#include "platform/service_control.h"
#include "platform/service_host.h"
#include "service/nut/nut_host.h"
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
  // What email may add, all notices together, between a trigger and its
  // power action: the battery does not wait for a slow mail server.
  std::chrono::milliseconds mail_budget{30'000};
  // How long notices already handed over may still take when the program ends.
  std::chrono::milliseconds mail_drain{10'000};
  // The mail password file (smtp.secret in the settings folder), read at each
  // send that signs in. Without a store no password is ever sent.
  SecretStore* secrets = nullptr;
  // The NUT server (nut.secret is read with `secrets`); none without it.
  nut::NutHost* nut = nullptr;
  // How often the wait for secondaries before the power action looks at
  // the clock and the list of those still signed in.
  std::chrono::milliseconds host_sync_poll{250};
};

class ServiceApp {
 public:
  ServiceApp(asio::io_context& io, const Clock& clock, ServicePlatform platform,
             ServiceOptions options);

  // Window load: the command line is the arguments joined by single blanks.
  void Start(const std::string& argument);

  void AppInit();
  // Stops the program: timer off, link closed, notices still going out given
  // up to `mail_drain`, the manager told, process ended with `exit_code`.
  void AppStop(int exit_code = 0);

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
  // Takes a newly loaded record into use.
  void ApplySettings(SettingsRecord next);
  // The record of a settings file that was not used, and why.
  void SettingsRefused(const std::string& reason);
  void UninstallPath(bool silent);
  void InstallPath(bool silent);
  void StartHandling();
  void Announce();
  void InvertingNotices(const Stamp& now);
  void DebugDisplay();
  // What the service is doing or waiting for, in one line for the service
  // manager; sent on only when it changed.
  std::string WaitStatus(const Stamp& now) const;
  void ReportStatus(const std::string& text);
  asio::awaitable<void> TriggerSequence();
  asio::awaitable<void> Pause(std::chrono::milliseconds d);
  // Sends one notice if email and its kind are enabled; `done` runs on the
  // loop when the send has finished or was not made.
  void SendNotice(Notice n, std::function<void()> done = {});
  // Sends a notice and waits for it within what is left of the trigger's
  // mail budget; a send still under way then goes on in the background.
  asio::awaitable<void> SendNoticeWithinBudget(Notice n);
  // `sign_in` is added to a failure's record: empty without a sign-in.
  void MailFinished(Notice notice, const MailResult& result, const std::string& sign_in = {});
  // Fills `password` from the password file; otherwise says why it cannot.
  std::optional<std::string> ReadMailPassword(std::string& password) const;
  void FinishStop();
  // Tells the NUT server the settings and the password in force.
  void ConfigureNut();
  // Sends the server this tick's snapshot when it differs from the last.
  void PublishSnapshot();
  // A trigger sequence begins: FSD for every secondary, at once.
  void RaiseFsd();
  // Until every secondary signed in has left, or NUTHostSync seconds have
  // passed since FSD was raised, or a stop has come.
  asio::awaitable<void> WaitForSecondaries();
  // The steps of the running trigger sequence still ahead, in order; each is
  // taken off when it has been taken (or found not to apply). A stop writes
  // what is left here in its record.
  void PlanTrigger();
  // Brings the computer down: `kind` first, then a shutdown, then one with
  // force, each with its record, until the system accepts one.
  void PowerAction(PowerKind kind, bool force);
  void StepTaken(const char* step);
  // True when a stop has come: the sequence then takes no further step.
  bool TriggerAborted() const { return stopping_; }
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
  std::vector<const char*> trigger_steps_;
  bool settings_loaded_ = false;
  int exit_code_ = 0;
  int mail_pending_ = 0;  // notices handed to the mailer and not finished
  std::chrono::steady_clock::duration mail_budget_left_{};
  std::unique_ptr<asio::steady_timer> drain_timer_;
  bool addresses_refused_ = false;          // SMTPFrom or SMTPTo as loaded is unusable
  std::string status_;                      // the last line given to the service manager
  std::optional<nut::Snapshot> published_;  // what the NUT server was given last
  std::optional<FileStamp> nut_secret_stamp_;
  bool fsd_raised_ = false;  // latched until the service restarts
  Stamp fsd_at_{};
};

// "do nothing", "shutdown", "hibernate"; nullptr above 2.
const char* ActionName(int shutdown_type);

}  // namespace ebbmark
