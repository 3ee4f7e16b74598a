#include "service/svc_app.h"

#include <memory>

#include "base/mail_format.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "base/mail_sign_in.h"
#include "platform/computer_name.h"

namespace ebbmark {
namespace {

using std::chrono::milliseconds;

constexpr const char* kRemoveTitle = "Error removing Ebbmark service";

// The steps of a trigger sequence, as a stop's record names them.
constexpr const char* kStepRunFileNotice = "the run-file notice";
constexpr const char* kStepRunFile = "starting the run file";
constexpr const char* kStepPause = "the pause before the action";
constexpr const char* kStepActionNotice = "the action notice";
constexpr const char* kStepActionRecord = "the action record";
constexpr const char* kStepShutdown = "the shutdown";
constexpr const char* kStepHibernate = "the hibernation";

// Turns a callback-style operation into something a coroutine can await.
// `start` receives the completion callback, which must be called on the loop.
// Deliberately not a coroutine itself, and called outside co_await
// expressions: this compiler mishandles lambda temporaries inside them.
template <typename T, typename Start>
asio::awaitable<T> AwaitCallback(Start start) {
  return asio::async_initiate<decltype(asio::use_awaitable), void(T)>(
      [](auto handler, Start begin) {
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        begin([shared](T value) { (*shared)(std::move(value)); });
      },
      asio::use_awaitable, std::move(start));
}

// A password file others can read is not used; its record says who and how
// to mend it.
std::string ExposedSecretText(const std::string& what, const std::string& path,
                              const SecretRead& read) {
  return what + " " + path + " is not used, since " + read.readers +
         " can read it; make it readable by its owner only (" + read.remedy + ")";
}

}  // namespace

const char* ActionName(int shutdown_type) {
  static constexpr std::array<const char*, 3> kActionNames = {"do nothing", "shutdown",
                                                              "hibernate"};
  if (shutdown_type < 0 || shutdown_type > 2) return nullptr;
  return kActionNames[static_cast<std::size_t>(shutdown_type)];
}

ServiceApp::ServiceApp(asio::io_context& io, const Clock& clock, ServicePlatform platform,
                       ServiceOptions options)
    : Stream(clock),
      tmrServiceCheck(io, options.watchdog_interval,
                      [this] {
                        DebugMode = true;
                        if (!installing_ && options_.usage_hint) options_.usage_hint();
                        AppStop();
                      }),
      tmrRunChecks(io, milliseconds{100}, [this] { RunChecks(); }),
      Link(clock, platform.tcp, Stream, platform.log, Settings),
      io_(io),
      clock_(clock),
      p_(platform),
      options_(std::move(options)),
      store_(platform.fs, JoinPath(options_.settings_folder, kSettingsFileName)) {
  Link.SendLinkDownNotice = [this] { SendNotice(Notice::LinkDown); };
}

void ServiceApp::Message(const char* title, const std::string& text, DialogIcon icon) {
  p_.dialogs.Show(title, text, DialogButtons::Ok, icon);
}

void ServiceApp::Start(const std::string& argument) {
  DebugMode = argument == "debug";
  if (argument == "uninstall" || argument == "remove" || argument == "uninstall silent") {
    UninstallPath(argument == "uninstall silent");
    return;
  }
  if (argument == "install" || argument == "install silent") {
    InstallPath(argument == "install silent");
    if (stopping_) return;
  }
  tmrServiceCheck.SetEnabled(true);
  p_.host.WatchStop(DebugMode, [this] {
    DebugMode = true;
    AppStop();
  });
  if (DebugMode) {
    StartHandling();
  } else {
    p_.host.StartAsService([this] { StartHandling(); });
  }
}

void ServiceApp::UninstallPath(bool silent) {
  if (!p_.control.IsServiceInstalled(kServiceName)) {
    if (!silent) {
      Message(kRemoveTitle,
              "Could not uninstall the Ebbmark service. Either the Ebbmark service is not "
              "installed,\r\nor you might not be logged in with an account that has the required "
              "permissions.\r\nYou must be logged in as an administrator to remove the Ebbmark "
              "service.",
              DialogIcon::Error);
    }
    AppStop(1);
    return;
  }
  if (p_.host.InstalledByPackage()) {
    // Removing the package's unit behind the package manager's back would
    // leave a package that looks installed and a service that never starts.
    if (!silent) {
      Message(kRemoveTitle,
              "The Ebbmark service was installed by a package; remove it with: apt remove ebbmark",
              DialogIcon::Error);
    }
    AppStop(1);
    return;
  }
  const bool was_running = p_.control.IsServiceRunning(kServiceName);
  p_.control.StopNamedService(kServiceName);
  // The service needs a moment to let go of its files before it is removed.
  auto pause = std::make_shared<asio::steady_timer>(io_, options_.uninstall_pause);
  pause->async_wait([this, pause, silent, was_running](const std::error_code&) {
    const bool removed = p_.host.Uninstall();
    if (!removed) {
      // Still registered, so it must still protect the computer.
      if (was_running) p_.control.StartNamedService(kServiceName);
      if (!silent) {
        Message(kRemoveTitle,
                "Could not uninstall the Ebbmark service. You might not be logged in with an "
                "account that has the\r\nrequired permissions. You must be logged in as an "
                "administrator to remove the Ebbmark service.",
                DialogIcon::Error);
      }
    } else if (!silent) {
      Message("Ebbmark Service Removal",
              "The Ebbmark service has been removed. You may\r\nneed to reboot to complete the "
              "removal process.",
              DialogIcon::Information);
    }
    // An install script must be able to tell a failure from success.
    AppStop(removed ? 0 : 1);
  });
}

void ServiceApp::InstallPath(bool silent) {
  installing_ = true;
  if (p_.control.IsServiceInstalled(kServiceName)) {
    if (!silent) {
      Message("Error installing the Ebbmark service",
              "The Ebbmark service has already been installed.", DialogIcon::Error);
    }
    AppStop(1);
    return;
  }
  if (auto refusal = ProgramRefusal()) {
    // Registering a program others can replace would hand them the
    // service's account at the next start.
    const std::string text = "Ebbmark was not installed as a service: " + *refusal +
                             ". Only administrators may be able to change the program and its "
                             "folder.";
    p_.log.WriteEventLog(kEventError, 109, text);
    if (!silent) Message("Error installing Ebbmark service", text, DialogIcon::Error);
    AppStop(1);
    return;
  }
  if (!p_.host.Install()) {
    if (!silent) {
      Message("Error installing Ebbmark service",
              "Could not install Ebbmark as a service. You might not be logged in with an "
              "account that has the\r\nrequired permissions. You must be logged in as an "
              "administrator to install the Ebbmark service.",
              DialogIcon::Error);
    }
    AppStop(1);
    return;
  }
  if (!silent) {
    Message("Ebbmark Service Install", "Ebbmark is now installed as a service!",
            DialogIcon::Information);
  }
}

std::optional<std::string> ServiceApp::ProgramRefusal() {
  if (options_.program_path.empty()) return std::nullopt;
  const WriteAccess access = p_.fs.CheckWriteAccess(options_.program_path);
  if (access.trusted) return std::nullopt;
  return DescribeWriteAccess(access);
}

std::optional<std::string> ServiceApp::RunFileRefusal(const std::string& file) {
  for (const std::string& path : {store_.path(), file}) {
    const WriteAccess access = p_.fs.CheckWriteAccess(path);
    if (!access.trusted) return DescribeWriteAccess(access);
  }
  return std::nullopt;
}

void ServiceApp::StartHandling() {
  if (stopping_) return;
  if (auto refusal = ProgramRefusal()) {
    // The service still runs: refusing to start would leave the computer
    // unprotected, and whoever could replace the program already could.
    p_.log.WriteEventLog(kEventError, 109,
                         "The Ebbmark service program is not safe: " + *refusal +
                             ". Only administrators may be able to change the program and its "
                             "folder.");
  }
  AppInit();
  tmrServiceCheck.SetEnabled(false);
  tmrRunChecks.SetEnabled(true);
}

void ServiceApp::AppInit() {
  SettingsRecord next = Settings;
  if (const auto refusal = store_.LoadSettingsOrKeep(next)) {
    // Nothing good to start from: the defaults, as with no file at all.
    if (!settings_loaded_) {
      SettingsRecord defaults;
      defaults.SettingsFileTime = next.SettingsFileTime;
      next = std::move(defaults);
    }
    SettingsRefused(*refusal);
  }
  ApplySettings(std::move(next));
}

void ServiceApp::SettingsRefused(const std::string& reason) {
  p_.log.WriteEventLog(
      kEventWarning, 109,
      "The settings file " + store_.path() + " was not used: " + reason + ". " +
          (settings_loaded_ ? "The settings in force stay" : "The default settings are used") +
          " until it is corrected.");
}

void ServiceApp::ApplySettings(SettingsRecord next) {
  const std::int32_t address_before = Settings.MonitoredAddress;
  Settings = std::move(next);
  CheckAddresses();
  // A save that leaves the monitored inverter alone is no recovery from a
  // mains failure: the open period, its start values and the address the
  // records moved the monitoring to all stay, so no stop notice is faked and
  // the inverting-time count goes on from the period's real start.
  if (!settings_loaded_ || Settings.MonitoredAddress != address_before) {
    Stream.Table.MonitoredAddress = Settings.MonitoredAddress;
    Inverting.SocAtStart = -1;
    Inverting.VoltsAtStart = -1;
  }
  settings_loaded_ = true;
  Stream.LastDataStamp.reset();
  ConfigureNut();
}

void ServiceApp::ConfigureNut() {
  if (options_.nut == nullptr) return;
  nut::ServerConfig config;
  config.device_name = Settings.NUTName;
  config.description =
      "Ebbmark: inverter " + std::to_string(Settings.MonitoredAddress) + " and its battery";
  config.user = Settings.NUTUser;
  const std::string path = NutSecretPath(options_.settings_folder);
  nut_secret_stamp_ = p_.fs.Stamp(path);
  if (!config.user.empty() && options_.secrets != nullptr) {
    // Without a usable password LOGIN is refused; read-only clients go on.
    SecretRead read = options_.secrets->Read(path);
    if (read.status == SecretRead::Status::Error) {
      const std::string why =
          read.readers.empty()
              ? "The NUT password file " + path + " could not be read: " + read.error.message()
              : ExposedSecretText("The NUT password file", path, read);
      p_.log.WriteEventLog(kEventWarning, 109, why + ". Other systems cannot sign in.");
    } else if (read.status == SecretRead::Status::Ok) {
      if (CheckPassword(read.value) == SignInProblem::None) {
        config.password = std::move(read.value);
      } else {
        p_.log.WriteEventLog(kEventWarning, 109,
                             "The password in " + path + " cannot be used: " +
                                 SignInProblemText(CheckPassword(read.value)) +
                                 ". Other systems cannot sign in.");
      }
    }
  }
  const auto port = static_cast<std::uint16_t>(Settings.NUTPort);
  options_.nut->Configure({NutListenAddresses(Settings.NUTListen), port}, config);
  published_.reset();
  PublishSnapshot();
}

void ServiceApp::PublishSnapshot() {
  if (options_.nut == nullptr) return;
  nut::SnapshotInputs in;
  in.table = Stream.Table;
  in.now = clock_.Now();
  in.link_error = nut::LinkInError(Stream, in.now);
  in.trigger_begun = fsd_raised_;
  in.sd_soc = Settings.SDSOC;
  in.sd_voltage = Settings.SDVoltage;
  in.soc_only_if_inverting = Settings.SOCOII;
  nut::Snapshot snapshot = nut::BuildSnapshot(in);
  if (published_ == snapshot) return;
  options_.nut->Publish(snapshot);
  published_ = std::move(snapshot);
}

void ServiceApp::RaiseFsd() {
  if (options_.nut == nullptr || fsd_raised_) return;
  fsd_raised_ = true;
  fsd_at_ = clock_.Now();
  PublishSnapshot();
  const std::size_t asked = options_.nut->LoggedIn().size();
  if (asked > 0) {
    p_.log.WriteEventLog(kEventInformation, 110,
                         "The NUT server raised the forced shutdown: " + std::to_string(asked) +
                             (asked == 1 ? " system was" : " systems were") +
                             " asked to shut down.");
  }
}

asio::awaitable<void> ServiceApp::WaitForSecondaries() {
  if (options_.nut == nullptr || !fsd_raised_) co_return;
  const auto deadline = fsd_at_.steady + std::chrono::seconds{Settings.NUTHostSync};
  // Measured from FSD, so the run file and the pause count towards it.
  while (!options_.nut->LoggedIn().empty() && clock_.Now().steady < deadline && !TriggerAborted()) {
    co_await Pause(options_.host_sync_poll);
  }
  if (TriggerAborted()) co_return;
  const std::vector<std::string> left = options_.nut->LoggedIn();
  if (left.empty()) co_return;
  std::string names;
  for (const std::string& address : left) {
    if (names.find(address) != std::string::npos) continue;  // one name per computer
    if (!names.empty()) names += ", ";
    names += address;
  }
  p_.log.WriteEventLog(kEventWarning, 110,
                       "The wait of " + std::to_string(Settings.NUTHostSync) +
                           " seconds for other systems to shut down ended with these still "
                           "logged in to the NUT server: " +
                           names + ".");
}

void ServiceApp::CheckAddresses() {
  addresses_refused_ = false;
  if (Settings.EmailOptions == 0) return;  // no email wanted: nothing to warn about
  const auto refuse = [this](const char* key) {
    addresses_refused_ = true;
    p_.log.WriteEventLog(kEventWarning, 110,
                         std::string("The ") + key +
                             " setting does not hold a usable email address. No email is sent "
                             "until it is corrected.");
  };
  if (!Settings.SMTPFrom.empty() && !AddressesUsable(Settings.SMTPFrom, false)) refuse("SMTPFrom");
  if (Settings.SMTPTo.empty()) return;
  // One unreadable or cut entry costs only itself: the others still get
  // the notices, and each dropped one is named.
  if (ReadAddressList(Settings.SMTPTo).usable.empty()) return refuse("SMTPTo");
  for (const auto& text : DroppedRecipientWarnings(Settings.SMTPTo, true))
    p_.log.WriteEventLog(kEventWarning, 110, text);
}

void ServiceApp::AppStop(int exit_code) {
  if (stopping_) return;
  stopping_ = true;
  exit_code_ = exit_code;
  if (trigger_running_ && !trigger_steps_.empty()) {
    // An administrator stops the service to abort a false trigger: nothing
    // more of it happens, and the record says what was left out.
    std::string text =
        "The service was stopped during a trigger sequence, so these steps were not taken: ";
    for (std::size_t i = 0; i < trigger_steps_.size(); ++i) {
      if (i > 0) text += ", ";
      text += trigger_steps_[i];
    }
    p_.log.WriteEventLog(kEventInformation, 110, text + ".");
    trigger_steps_.clear();
  }
  tmrRunChecks.SetEnabled(false);
  tmrServiceCheck.SetEnabled(false);
  // Handlers already queued run first; then the link is closed. Notices
  // already handed to the mailer get a last chance to go out; the process
  // ends when they have, or when that chance is over.
  asio::post(io_, [this] {
    Link.Close();
    if (options_.nut) options_.nut->Stop();
    if (mail_pending_ == 0) {
      FinishStop();
      return;
    }
    drain_timer_ = std::make_unique<asio::steady_timer>(io_, options_.mail_drain);
    drain_timer_->async_wait([this](const std::error_code& ec) {
      if (ec) return;
      // Every notice still open now fails with this reason and is recorded;
      // the last of them ends the process.
      p_.mailer.GiveUp("the service was stopping and could not wait any longer");
    });
  });
}

void ServiceApp::FinishStop() {
  if (drain_timer_) drain_timer_->cancel();
  // Handlers queued behind the close run first.
  asio::post(io_, [this] {
    if (!DebugMode) p_.host.ReportStopped();
    if (options_.exit_process) options_.exit_process(exit_code_);
  });
}

bool ServiceApp::RunFileReady() const {
  const auto& f = Settings.ExecuteFile;
  if (f.size() <= 3) return false;
  if (f.back() == '\\' || f.back() == '/') return false;
  return p_.fs.PatternMatches(f);
}

void ServiceApp::RunChecks() {
  tmrRunChecks.SetInterval(milliseconds{500});

  if (store_.SettingsChanged(Settings)) {
    SettingsRecord next = Settings;
    if (const auto refusal = store_.LoadSettingsOrKeep(next)) {
      // A bad file must not switch the monitoring off: the link and every
      // setting stay, and the file is looked at again when it changes.
      Settings.SettingsFileTime = next.SettingsFileTime;
      SettingsRefused(*refusal);
    } else {
      p_.log.WriteEventLog(kEventInformation, 110, "New settings detected, resetting application.");
      Link.Close();
      ApplySettings(std::move(next));
      return;
    }
  }

  // A password saved on its own (the window writes nut.secret apart from
  // the settings) is taken into use too.
  if (options_.nut && p_.fs.Stamp(NutSecretPath(options_.settings_folder)) != nut_secret_stamp_) {
    ConfigureNut();
  }

  Announce();
  PublishSnapshot();

  const Stamp now = clock_.Now();
  if (TriggerReached(Inverting, Settings, Stream.Table, now)) {
    // The tick is held while the sequence runs: no second tick can interleave.
    trigger_running_ = true;
    tmrRunChecks.SetEnabled(false);
    // Other computers on the battery start their shutdown now, while the
    // run file runs here.
    RaiseFsd();
    // A trigger on the first inverting tick must still tell the operator
    // that the mains failed; this tick is the last one.
    InvertingNotices(now);
    ReportStatus("Power event: the shutdown sequence is running");
    asio::co_spawn(io_, TriggerSequence(), asio::detached);
    return;
  }

  InvertingNotices(now);
  const bool tick_goes_on = Link.Upkeep();
  ReportStatus(WaitStatus(now));
  if (!tick_goes_on) return;
  DebugDisplay();
}

std::string ServiceApp::WaitStatus(const Stamp& now) const {
  // Right after installing there is no relay, and nothing else would tell
  // a new user what to do next.
  if (Settings.TCPHost.empty() || Settings.TCPPort <= 0) {
    return "No relay configured: set TCPHost in " +
           JoinPath(options_.settings_folder, kSettingsFileName) + ", or use the Ebbmark window";
  }
  const std::string relay = Settings.TCPHost + ":" + std::to_string(Settings.TCPPort);
  if (const auto& last = Stream.LastDataStamp) {
    const auto age = AgeSeconds(*last, now);
    if (age >= 5) return "Relay silent for " + std::to_string(age) + " s";
  }
  if (!Monitor.MonitoringAnnounced) return "Waiting for the relay at " + relay;
  return "Monitoring inverter " + std::to_string(Stream.Table.MonitoredAddress) + " at " + relay;
}

void ServiceApp::ReportStatus(const std::string& text) {
  if (text == status_) return;
  status_ = text;
  p_.host.ReportStatus(text);
}

void ServiceApp::Announce() {
  const auto& t = Stream.Table;
  const std::int32_t address = t.MonitoredAddress;
  if (!Monitor.MonitoringAnnounced) {
    // The first announcement waits until an inverter has been heard, so it
    // names the address the records actually settled on.
    bool heard = false;
    for (const auto& seen : t.InverterLastSeen) heard = heard || seen.has_value();
    if (!heard) return;
    p_.log.WriteEventLog(kEventInformation, 110,
                         "Started monitoring inverter at address " + std::to_string(address) + ".");
    Monitor.MonitoringAnnounced = true;
    Monitor.AnnouncedAddress = address;
    return;
  }
  if (address != Monitor.AnnouncedAddress) {
    p_.log.WriteEventLog(kEventWarning, 109,
                         "Inverter monitoring changed! Was monitoring inverter at address " +
                             std::to_string(Monitor.AnnouncedAddress) +
                             ". Now monitoring inverter at address " + std::to_string(address) +
                             ".");
    Monitor.AnnouncedAddress = address;
  }
}

void ServiceApp::InvertingNotices(const Stamp& now) {
  if (Inverting.InvertingSince) {
    if (!Monitor.InvertingLogged) {
      p_.log.WriteEventLog(kEventWarning, 110,
                           "The inverter at address " +
                               std::to_string(Stream.Table.MonitoredAddress) +
                               " has started inverting power.");
      Monitor.InvertingLogged = true;
    }
    if ((Settings.EmailOptions & 1) && !Monitor.StartNoticeSent &&
        AgeSeconds(*Inverting.InvertingSince, now) >= Settings.EmailDelay) {
      Monitor.StartNoticeSent = true;
      SendNotice(Notice::InverterStarted);
    }
  } else {
    Monitor.RunFileDone = false;
    if (Monitor.InvertingLogged) {
      Monitor.InvertingLogged = false;
      if (Monitor.StartNoticeSent && (Settings.EmailOptions & 1)) {
        Monitor.StartNoticeSent = false;
        SendNotice(Notice::InverterStopped);
      }
    }
  }
}

void ServiceApp::DebugDisplay() {
  if (!DebugMode || !options_.debug_display) return;
  std::vector<std::string> lines;
  if (p_.tcp.State() == kSockConnected) {
    const auto& t = Stream.Table;
    lines.push_back("Host: " + p_.tcp.RemoteHost());
    lines.push_back("Inverter " + std::to_string(t.MonitoredAddress) + " - " +
                    (Stream.LastDataStamp ? FormatLocalStamp(Stream.LastDataStamp->wall) : ""));
    lines.push_back("Current: " + std::to_string(MonitoredCurrent(t)));
    lines.push_back("SOC: " + std::to_string(t.BatterySoc));
  } else {
    lines.push_back("Host: ");
  }
  options_.debug_display(lines);
}

NoticeValues ServiceApp::CurrentValues() const {
  const auto& t = Stream.Table;
  NoticeValues v;
  v.computer_name = GetComputerNameText();
  v.inverter = t.MonitoredAddress;
  v.ac_input = MonitoredAcInput(t);
  v.inverter_current = MonitoredCurrent(t);
  v.battery_voltage = MonitoredVoltage(t);
  v.battery_soc = t.BatterySoc;
  v.execute_file = Settings.ExecuteFile;
  const char* action = ActionName(Settings.ShutdownType);
  v.action_name = action ? action : "";
  v.last_duration = Inverting.LastDuration;
  v.last_soc_drop = Inverting.LastSocDrop;
  v.last_voltage_drop = Inverting.LastVoltageDrop;
  v.tcp_host = Settings.TCPHost;
  return v;
}

void ServiceApp::SendNotice(Notice n, std::function<void()> done) {
  const std::int32_t kind = NoticeKind(n, Settings.EmailOptions);
  if (!NoticeEnabled(kind, Settings) || addresses_refused_) {
    if (done) asio::post(io_, std::move(done));
    return;
  }
  const NoticeValues values = CurrentValues();
  ComposedBody composed = ComposeBody(p_.fs, options_.settings_folder, n, values);
  if (composed.warning) p_.log.WriteEventLog(kEventWarning, 110, *composed.warning);

  MailMessage m;
  m.host = Settings.SMTPHost;
  m.port = Settings.SMTPPort;
  m.from = Settings.SMTPFrom;
  m.to = Settings.SMTPTo;
  m.subject = NoticeSubject(n);
  m.body = std::move(composed.body);
  m.security = Settings.SMTPSecurity;
  m.user = Settings.SMTPUser;
  // A failed send is recorded, not retried, and does not hold up the cycle.
  ++mail_pending_;
  // A failure's record names the sign-in used, so it says what to check;
  // of the password it tells only whether one was given, never its bytes.
  std::string sign_in;
  if (!m.user.empty()) {
    // Read at each send, so a password changed since the settings were
    // loaded is used, and it lives in memory only while a send needs it.
    auto problem = ReadMailPassword(m.password);
    sign_in = " (signing in as \"" + m.user + "\"" +
              (problem ? ", no password given)" : " with the saved password)");
    if (problem) {
      asio::post(io_, [this, n, problem = std::move(*problem), sign_in = std::move(sign_in),
                       done = std::move(done)] {
        MailFinished(n, MailResult{false, 3, problem, {}}, sign_in);
        if (done) done();
      });
      return;
    }
  }
  p_.mailer.Send(m, [this, n, sign_in = std::move(sign_in), done = std::move(done)](MailResult r) {
    MailFinished(n, r, sign_in);
    if (done) done();
  });
}

std::optional<std::string> ServiceApp::ReadMailPassword(std::string& password) const {
  const std::string path = SecretPath(options_.settings_folder);
  if (options_.secrets == nullptr) return std::string(sign_in_texts::kNoPassword);
  SecretRead read = options_.secrets->Read(path);
  switch (read.status) {
    case SecretRead::Status::Missing:
      return std::string(sign_in_texts::kNoPassword) + " (" + path + " does not exist)";
    case SecretRead::Status::Error:
      if (!read.readers.empty()) return ExposedSecretText("the password file", path, read);
      return "the password file " + path + " could not be read: " + read.error.message();
    case SecretRead::Status::Ok:
      break;
  }
  if (CheckPassword(read.value) != SignInProblem::None) {
    return "the password in " + path +
           " cannot be used: " + SignInProblemText(CheckPassword(read.value));
  }
  password = std::move(read.value);
  return std::nullopt;
}

void ServiceApp::MailFinished(Notice notice, const MailResult& result, const std::string& sign_in) {
  --mail_pending_;
  // Several notices share a subject, so the record names which one it was.
  const std::string what =
      std::string("The email \"") + NoticeSubject(notice) + "\" (" + NoticeName(notice) + ")";
  // One full stop ends each record, whatever the reason's own text ends with.
  auto bare = [](std::string text) {
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
    return text;
  };
  // Each refused recipient on its own: the others still got the notice. When
  // the only recipient was refused, the failure record names it instead.
  const bool named_by_failure =
      !result.sent && result.refused.size() == 1 &&
      result.error_text.find(result.refused[0].address) != std::string::npos;
  for (const auto& r : result.refused) {
    if (named_by_failure) break;
    p_.log.WriteEventLog(kEventWarning, 110,
                         bare(what + " was not sent to " + r.address +
                              ": the server refused the recipient " + r.address + ": " + r.reply) +
                             ".");
  }
  if (!result.sent) {
    p_.log.WriteEventLog(kEventWarning, 110,
                         what + " could not be sent: " + bare(result.error_text) + sign_in + ".");
  }
  if (stopping_ && drain_timer_ && mail_pending_ == 0) FinishStop();
}

asio::awaitable<void> ServiceApp::SendNoticeWithinBudget(Notice n) {
  const auto started = std::chrono::steady_clock::now();
  const auto left = std::max(mail_budget_left_, std::chrono::steady_clock::duration::zero());
  auto wait = AwaitCallback<bool>([this, n, left](std::function<void(bool)> cb) {
    // Whichever comes first, the send's end or the budget's, resumes the
    // sequence; the other finds nothing left to do.
    auto resume = std::make_shared<std::function<void(bool)>>(std::move(cb));
    auto timer = std::make_shared<asio::steady_timer>(io_, left);
    auto once = [resume, timer](bool finished) {
      if (!*resume) return;
      auto go = std::move(*resume);
      *resume = nullptr;
      timer->cancel();
      go(finished);
    };
    timer->async_wait([once](const std::error_code& ec) {
      if (!ec) once(false);
    });
    SendNotice(n, [once] { once(true); });
  });
  co_await std::move(wait);
  mail_budget_left_ -= std::chrono::steady_clock::now() - started;
}

asio::awaitable<RunResult> ServiceApp::RunFileAsync(std::string file,
                                                    std::optional<milliseconds> wait) {
  return AwaitCallback<RunResult>(
      [this, file = std::move(file), wait](std::function<void(RunResult)> cb) {
        p_.runner.Run(file, wait, std::move(cb));
      });
}

asio::awaitable<void> ServiceApp::Pause(milliseconds d) {
  asio::steady_timer t(io_, d);
  std::error_code ec;
  co_await t.async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

void ServiceApp::PowerAction(PowerKind kind, bool force) {
  // The battery is going flat whatever the system says: a refused
  // hibernation becomes a shutdown, a refused shutdown a forced one.
  PowerRefusal refusal = p_.power.Perform(kind, force);
  if (!refusal) return;
  if (kind == PowerKind::Hibernate) {
    p_.log.WriteEventLog(kEventError, 109,
                         "The system refused to hibernate: " + refusal.Text() +
                             ". The computer is being shut down instead.");
    refusal = p_.power.Perform(PowerKind::Shutdown, force);
    if (!refusal) return;
  }
  if (!force) {
    p_.log.WriteEventLog(
        kEventError, 109,
        "The system refused to shut down: " + refusal.Text() + ". Trying once more with force.");
    refusal = p_.power.Perform(PowerKind::Shutdown, true);
    if (!refusal) return;
  }
  p_.log.WriteEventLog(kEventError, 109,
                       "The system refused to shut down with force: " + refusal.Text() +
                           ". The computer is still running.");
}

void ServiceApp::PlanTrigger() {
  trigger_steps_.clear();
  if (RunFileReady() && !Monitor.RunFileDone) {
    if (Settings.EmailOptions & 2) trigger_steps_.push_back(kStepRunFileNotice);
    trigger_steps_.push_back(kStepRunFile);
    trigger_steps_.push_back(kStepPause);
  }
  if (!Monitor.ActionDone) {
    if (Settings.EmailOptions & 2) trigger_steps_.push_back(kStepActionNotice);
    if (Settings.ShutdownType == 1 || Settings.ShutdownType == 2) {
      trigger_steps_.push_back(kStepActionRecord);
      trigger_steps_.push_back(Settings.ShutdownType == 1 ? kStepShutdown : kStepHibernate);
    }
  }
}

void ServiceApp::StepTaken(const char* step) {
  std::erase(trigger_steps_, step);
}

asio::awaitable<void> ServiceApp::TriggerSequence() {
  const auto hold = milliseconds{60000};
  mail_budget_left_ = options_.mail_budget;
  PlanTrigger();

  if (RunFileReady() && !Monitor.RunFileDone) {
    Monitor.RunFileDone = true;
    tmrRunChecks.SetInterval(hold);
    const std::string file = Settings.ExecuteFile;
    if (auto refusal = RunFileRefusal(file)) {
      // Whoever can change these could make the service run anything. The
      // power action still follows: the computer must not lose its work to
      // a flat battery because of this.
      p_.log.WriteEventLog(kEventError, 109,
                           "The run file " + file + " was not started: " + *refusal + ".");
      for (const char* step : {kStepRunFileNotice, kStepRunFile, kStepPause}) StepTaken(step);
    } else {
      if (Settings.EmailOptions & 2) {
        StepTaken(kStepRunFileNotice);  // handed over: it has its drain time
        auto sending = SendNoticeWithinBudget(Notice::RunFile);
        co_await std::move(sending);
        if (TriggerAborted()) co_return;
      }

      std::optional<milliseconds> wait;
      if (Settings.ExecuteDelay >= 0)
        wait = milliseconds{std::int64_t{Settings.ExecuteDelay} * 1000};
      StepTaken(kStepRunFile);
      auto running = RunFileAsync(file, wait);
      const RunResult r = co_await std::move(running);
      // A run file already started is left to run on after a stop.
      if (TriggerAborted()) co_return;
      if (r.error == RunError::NotExecutable) {
        p_.log.WriteEventLog(kEventError, 109, "The run file " + file + " is not executable.");
      } else if (!r.started) {
        p_.log.WriteEventLog(
            kEventError, 109,
            "Could not start the run file " + file + ": " + r.error.message() + ".");
      }
      co_await Pause(options_.action_pause);
      if (TriggerAborted()) co_return;
      StepTaken(kStepPause);
    }
  } else if (Monitor.RunFileDone &&
             !TriggerReached(Inverting, Settings, Stream.Table, clock_.Now())) {
    Monitor.RunFileDone = false;
  }

  if (!Monitor.ActionDone) {
    Monitor.ActionDone = true;
    tmrRunChecks.SetInterval(hold);
    if (Settings.EmailOptions & 2) {
      StepTaken(kStepActionNotice);
      auto sending = SendNoticeWithinBudget(Notice::Action);
      co_await std::move(sending);
      if (TriggerAborted()) co_return;
    }
    // This computer goes last (with ShutdownType 0 its stop takes the
    // server away): the secondaries get until they have left.
    auto waiting = WaitForSecondaries();
    co_await std::move(waiting);
    if (TriggerAborted()) co_return;
    StepTaken(kStepActionRecord);
    if (Settings.ShutdownType == 1) {
      p_.log.WriteEventLog(kEventInformation, 110, "Shutdown initiated due to power event.");
    } else if (Settings.ShutdownType == 2) {
      p_.log.WriteEventLog(kEventInformation, 110, "Hibernation initiated due to power event.");
    }
    if (Settings.ShutdownType == 1 || Settings.ShutdownType == 2) {
      const PowerKind kind =
          Settings.ShutdownType == 1 ? PowerKind::Shutdown : PowerKind::Hibernate;
      StepTaken(kind == PowerKind::Shutdown ? kStepShutdown : kStepHibernate);
      PowerAction(kind, Settings.Force);
    }
  } else {
    Monitor.ActionDone = false;
  }

  trigger_steps_.clear();
  trigger_running_ = false;
  AppStop();
}

}  // namespace ebbmark
