#include "service/svc_app.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>

#include "tests/support/fake_file_system.h"
#include "tests/support/nut_fakes.h"
#include "tests/support/secret_fakes.h"
#include "tests/support/service_fakes.h"

namespace ebbmark {
namespace {

using namespace std::chrono_literals;
using std::chrono::seconds;
using namespace ebbmark::testing;

constexpr const char* kHome = "/home";
// Built as the service builds it, with the platform's separator.
const std::string kIni = JoinPath(kHome, kSettingsFileName);
constexpr const char* kRunFile = "/home/save work.sh";

class ServiceAppTest : public ::testing::Test {
 protected:
  ServiceAppTest() : ServiceAppTest(1ms) {}
  explicit ServiceAppTest(std::chrono::milliseconds action_pause)
      : action_pause_(action_pause),
        mailer(io),
        runner(io),
        app(io, clock, ServicePlatform{fs, log, host, control, dialogs, tcp, mailer, runner, power},
            Options()) {
    log.journal = &journal;
    mailer.journal = &journal;
    runner.journal = &journal;
    power.journal = &journal;
  }

  ServiceOptions Options() {
    ServiceOptions o;
    o.settings_folder = kHome;
    o.exit_process = [this](int code) {
      journal.push_back("exit");
      exit_code = code;
    };
    o.uninstall_pause = 1ms;
    o.action_pause = action_pause_;
    o.watchdog_interval = 20ms;
    o.mail_budget = 150ms;
    o.mail_drain = 200ms;
    return o;
  }

  void WriteSettings(const std::string& body) {
    fs.Put(kIni, "[EbbmarkSvc]\n" + body);
    fs.Touch(kIni);
  }

  // Starts in debug mode and takes the tick into the test's own hands.
  void StartDebug() {
    app.Start("debug");
    app.tmrRunChecks.SetEnabled(false);
  }

  void Tick() {
    app.RunChecks();
    io.restart();
    io.poll();
  }

  // Runs the loop until the process has ended, for at most two seconds.
  void RunToExit() {
    for (int i = 0; i < 200 && !exit_code; ++i) {
      io.restart();
      io.run_for(10ms);
    }
  }

  std::chrono::milliseconds action_pause_;
  asio::io_context io;
  ManualClock clock;
  FakeFileSystem fs;
  FakeEventLog log;
  FakeServiceHost host;
  FakeServiceControl control;
  FakeDialogs dialogs;
  FakeTcpClient tcp;
  FakeMailer mailer;
  FakeProcessRunner runner;
  FakePowerControl power;
  Journal journal;
  std::optional<int> exit_code;
  ServiceApp app;

  // Another program instance on the same fakes, with its own socket.
  std::unique_ptr<ServiceApp> Another(ServiceHost& h, ServiceOptions o) {
    auto& t = extra_tcp.emplace_back();
    return std::make_unique<ServiceApp>(
        io, clock, ServicePlatform{fs, log, h, control, dialogs, t, mailer, runner, power}, o);
  }
  std::unique_ptr<ServiceApp> Another() { return Another(host, Options()); }
  std::deque<FakeTcpClient> extra_tcp;
};

// ---- Command line, install and uninstall ----

TEST_F(ServiceAppTest, CommandWordsAreExactAndCaseSensitive) {
  for (const char* word : {"Debug", "install ", "INSTALL", "debug now", ""}) {
    SCOPED_TRACE(word);
    FakeServiceHost host2;
    auto other = Another(host2, Options());
    other->Start(word);
    EXPECT_FALSE(other->DebugMode);
    EXPECT_EQ(host2.installs, 0);
    EXPECT_TRUE(host2.on_start) << "takes the normal service start";
    EXPECT_TRUE(other->tmrServiceCheck.Enabled());
  }
  EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(ServiceAppTest, RunByHandEndsThroughTheWatchdog) {
  bool hinted = false;
  ServiceOptions o = Options();
  o.usage_hint = [&] { hinted = true; };
  auto other = Another(host, o);
  other->Start("");
  RunToExit();
  EXPECT_EQ(exit_code, 0);
  EXPECT_TRUE(hinted);
  EXPECT_TRUE(other->DebugMode);  // the watchdog ends the process directly
}

TEST_F(ServiceAppTest, StartedByTheManagerRunsTheStartHandling) {
  host.started_by_manager = true;
  app.Start("");
  EXPECT_FALSE(app.tmrServiceCheck.Enabled());
  EXPECT_TRUE(app.tmrRunChecks.Enabled());
  host.on_stop();  // the manager's stop request
  RunToExit();
  EXPECT_EQ(exit_code, 0);
  EXPECT_TRUE(app.DebugMode);
}

TEST_F(ServiceAppTest, InstallWhenInstalledSaysSoAndEnds) {
  control.installed = true;
  app.Start("install");
  RunToExit();
  EXPECT_EQ(host.installs, 0);
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(std::get<0>(dialogs.shown[0]), "Error installing the Ebbmark service");
  EXPECT_EQ(std::get<1>(dialogs.shown[0]), "The Ebbmark service has already been installed.");
  EXPECT_EQ(exit_code, 1) << "an install script must see the failure";
}

TEST_F(ServiceAppTest, InstallOutcomes) {
  app.Start("install");
  EXPECT_EQ(host.installs, 1);
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(std::get<0>(dialogs.shown[0]), "Ebbmark Service Install");
  EXPECT_EQ(std::get<1>(dialogs.shown[0]), "Ebbmark is now installed as a service!");
  EXPECT_EQ(std::get<2>(dialogs.shown[0]), DialogIcon::Information);
  RunToExit();  // no start notification follows: the watchdog ends it
  EXPECT_EQ(exit_code, 0);

  exit_code.reset();
  dialogs.shown.clear();
  host.install_ok = false;
  auto failing = Another();
  failing->Start("install silent");
  RunToExit();
  EXPECT_TRUE(dialogs.shown.empty());
  EXPECT_EQ(exit_code, 1);
}

TEST_F(ServiceAppTest, ProgramOthersCanChangeIsNeverRegisteredAndIsReportedAtStart) {
  const std::string program = JoinPath("/opt/ebb", "EbbmarkSvc");
  fs.untrusted["/opt/ebb"] = "user nobody (uid 65534)";
  ServiceOptions o = Options();
  o.program_path = program;

  for (const char* word : {"install", "install silent"}) {
    SCOPED_TRACE(word);
    dialogs.shown.clear();
    log.records.clear();
    exit_code.reset();
    auto installer = Another(host, o);
    installer->Start(word);
    RunToExit();
    EXPECT_EQ(host.installs, 0);
    EXPECT_EQ(exit_code, 1) << "a refused install is a failure";
    EXPECT_EQ(log.Count("Ebbmark was not installed as a service: /opt/ebb can be written by "
                        "user nobody (uid 65534)."),
              1);
    EXPECT_EQ(dialogs.shown.size(), word == std::string("install") ? 1u : 0u);
  }

  // Started anyway (installed by other means): the service runs, and says so.
  log.records.clear();
  auto service = Another(host, o);
  service->Start("debug");
  EXPECT_TRUE(service->tmrRunChecks.Enabled());
  ASSERT_EQ(log.records.size(), 1u);
  EXPECT_EQ(log.records[0].type, kEventError);
  EXPECT_EQ(log.records[0].id, 109u);
  EXPECT_EQ(log.records[0].text.rfind("The Ebbmark service program is not safe: /opt/ebb ", 0), 0u)
      << log.records[0].text;

  // A program only administrators can change installs as before.
  fs.untrusted.clear();
  exit_code.reset();
  auto trusted = Another(host, o);
  trusted->Start("install silent");
  EXPECT_EQ(host.installs, 1);
}

TEST_F(ServiceAppTest, UninstallPaths) {
  app.Start("uninstall silent");
  RunToExit();
  EXPECT_TRUE(dialogs.shown.empty());
  EXPECT_EQ(host.uninstalls, 0);
  EXPECT_EQ(exit_code, 1) << "not installed";

  for (const char* word : {"uninstall", "remove"}) {
    SCOPED_TRACE(word);
    exit_code.reset();
    dialogs.shown.clear();
    control.installed = true;
    control.calls.clear();
    auto other = Another();
    other->Start(word);
    RunToExit();
    EXPECT_EQ(control.calls, (std::vector<std::string>{"installed", "running", "stop"}));
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(std::get<0>(dialogs.shown[0]), "Ebbmark Service Removal");
    EXPECT_EQ(exit_code, 0);
  }

  exit_code.reset();
  dialogs.shown.clear();
  control.installed = false;
  auto missing = Another();
  missing->Start("uninstall");
  RunToExit();
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(std::get<0>(dialogs.shown[0]), "Error removing Ebbmark service");
  EXPECT_EQ(exit_code, 1);
}

TEST_F(ServiceAppTest, UninstallOfAPackagedServiceChangesNothing) {
  control.installed = true;
  control.running = true;
  host.packaged = true;
  app.Start("uninstall");
  RunToExit();
  EXPECT_EQ(host.uninstalls, 0);
  EXPECT_EQ(std::count(control.calls.begin(), control.calls.end(), "stop"), 0);
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(std::get<1>(dialogs.shown[0]),
            "The Ebbmark service was installed by a package; remove it with: apt remove ebbmark");
  EXPECT_EQ(exit_code, 1);
}

TEST_F(ServiceAppTest, AFailedUninstallStartsARunningServiceAgain) {
  control.installed = true;
  host.uninstall_ok = false;
  for (const bool running : {true, false}) {
    SCOPED_TRACE(running);
    control.running = running;
    control.calls.clear();
    exit_code.reset();
    auto other = Another();
    other->Start("uninstall silent");
    RunToExit();
    EXPECT_EQ(exit_code, 1);
    std::vector<std::string> expected{"installed", "running", "stop"};
    if (running) expected.push_back("start");
    EXPECT_EQ(control.calls, expected);
  }
}

// ---- Settings changes ----

TEST_F(ServiceAppTest, EachSettingsChangeIsSeenOnce) {
  WriteSettings("TCPHost=127.0.0.1\nInverterAddress=2\n");
  StartDebug();
  EXPECT_EQ(app.Settings.MonitoredAddress, 2);
  EXPECT_EQ(app.Stream.Table.MonitoredAddress, 2);
  Tick();
  Tick();
  EXPECT_EQ(log.Count("New settings detected"), 0);

  WriteSettings("TCPHost=127.0.0.1\nInverterAddress=4\n");
  Tick();
  EXPECT_FALSE(app.Stream.LastDataStamp) << "the next tick reconnects at once";
  Tick();
  EXPECT_EQ(log.Count("New settings detected, resetting application."), 1);
  EXPECT_EQ(app.Settings.MonitoredAddress, 4);

  fs.Touch(kIni);  // a second save within the same second
  Tick();
  EXPECT_EQ(log.Count("New settings detected, resetting application."), 2);
}

// A settings file replaced by one that cannot be used keeps the monitoring
// going with the settings in force; the next good file is taken as usual.
TEST_F(ServiceAppTest, ABadSettingsFileKeepsTheSettingsInForceAndTheLink) {
  WriteSettings("TCPHost=127.0.0.1\nSDSOC=70\n");
  StartDebug();
  Tick();
  tcp.Accept();
  ASSERT_EQ(tcp.State(), kSockConnected);
  const int closes = tcp.closes;
  fs.not_regular.insert(kIni);
  fs.Touch(kIni);
  for (int i = 0; i < 3; ++i) Tick();
  const std::string text = "The settings file " + kIni +
                           " was not used: " + make_error_code(FileError::NotRegular).message() +
                           ". The settings in force stay until it is corrected.";
  EXPECT_EQ(log.Count(text), 1) << "one record per change";
  for (const auto& r : log.records) {
    if (r.text != text) continue;
    EXPECT_EQ(r.type, kEventWarning);
    EXPECT_EQ(r.id, 109u);
  }
  EXPECT_EQ(log.Count("New settings detected"), 0);
  EXPECT_EQ(tcp.closes, closes) << "the link stays up";
  EXPECT_EQ(tcp.State(), kSockConnected);
  EXPECT_EQ(app.Settings.TCPHost, "127.0.0.1");
  EXPECT_EQ(app.Settings.SDSOC, 70);

  fs.Touch(kIni);  // changed again, still bad: looked at again
  Tick();
  EXPECT_EQ(log.Count(text), 2);

  fs.not_regular.clear();
  WriteSettings("TCPHost=127.0.0.1\nSDSOC=80\n");
  Tick();
  EXPECT_EQ(log.Count("New settings detected, resetting application."), 1);
  EXPECT_EQ(app.Settings.SDSOC, 80);
}

TEST_F(ServiceAppTest, ABadSettingsFileAtStartUpGivesTheDefaultsAndTheRecord) {
  fs.Put(kIni, std::string(kSettingsFileLimit + 1, ';'));
  fs.Touch(kIni);
  StartDebug();
  EXPECT_EQ(log.Count("The settings file " + kIni +
                      " was not used: " + make_error_code(FileError::TooLarge).message() +
                      ". The default settings are used until it is corrected."),
            1);
  EXPECT_EQ(app.Settings.TCPHost, "");
  Tick();
  EXPECT_EQ(log.Count("The settings file "), 1);
}

// A save during a mains failure that leaves the monitored inverter alone is
// no recovery: no monitoring change, no stop notice, and the inverting-time
// count goes on from the period's real start.
TEST_F(ServiceAppTest, SettingsSavesDuringAnOutageFakeNoRecovery) {
  const std::string body =
      "TCPHost=127.0.0.1\nInverterAddress=3\nSDTimer=1\nSOCOII=1\nEmailOptions=1\n"
      "SMTPHost=127.0.0.1\nSMTPFrom=a@b\nSMTPTo=c@d\n";
  clock.Set(TimePoint{seconds{1'800'000'000 - 1'800'000'000 % 60 + 10}});  // hh:mm:10
  WriteSettings(body);
  StartDebug();
  Tick();
  tcp.Accept();
  tcp.Send(InverterLine(1, 20, 0, 250));  // inverter 1 inverts; monitoring moves to it
  Tick();
  ASSERT_TRUE(app.Inverting.InvertingSince);
  const Stamp began = *app.Inverting.InvertingSince;
  for (int save = 0; save < 3; ++save) {
    clock.Advance(15s);
    fs.Touch(kIni);
    Tick();  // the reset
    Tick();  // reconnects
    tcp.Accept();
    tcp.Send(InverterLine(1, 20, 0, 250));
    Tick();
    ASSERT_FALSE(app.TriggerRunning()) << save;
  }
  EXPECT_EQ(log.Count("New settings detected"), 3);
  EXPECT_EQ(log.Count("Started monitoring inverter at address 1."), 1);
  EXPECT_EQ(log.Count("Inverter monitoring changed!"), 0);
  EXPECT_EQ(log.Count("The inverter at address 1 has started inverting power."), 1);
  EXPECT_EQ(app.Inverting.InvertingSince, began);
  ASSERT_EQ(mailer.sent.size(), 1u) << "one start email, no stop email";
  EXPECT_NE(mailer.sent[0].body.find("has begun inverting"), std::string::npos);
  // hh:mm:55 now; the first minute boundary from the real start triggers.
  clock.Advance(4s);
  tcp.Send(InverterLine(1, 20, 0, 250));
  Tick();
  EXPECT_TRUE(power.calls.empty() && !app.TriggerRunning()) << "hh:mm:59 is not yet a minute";
  clock.Advance(1s);
  tcp.Send(InverterLine(1, 20, 0, 250));
  Tick();
  RunToExit();
  EXPECT_EQ(exit_code, 0) << "the time trigger came at hh:(mm+1):00";
}

TEST_F(ServiceAppTest, ChangingTheInverterAddressStillMovesTheMonitoring) {
  WriteSettings("TCPHost=127.0.0.1\nInverterAddress=3\n");
  StartDebug();
  Tick();
  tcp.Accept();
  tcp.Send(InverterLine(1, 20, 0, 250));
  Tick();
  EXPECT_EQ(app.Stream.Table.MonitoredAddress, 1);
  WriteSettings("TCPHost=127.0.0.1\nInverterAddress=0\n");
  Tick();
  EXPECT_EQ(app.Stream.Table.MonitoredAddress, 0);
  EXPECT_EQ(app.Inverting.SocAtStart, -1) << "start values belong to the inverter";
}

TEST_F(ServiceAppTest, AFailedSendIsRecordedOnce) {
  WriteSettings(
      "TCPHost=127.0.0.1\nEmailOptions=1\nSMTPHost=127.0.0.1\nSMTPFrom=a@b\nSMTPTo=c@d\n");
  mailer.result = MailResult{false, 7, "Could not connect to the mail server"};
  StartDebug();
  Tick();
  tcp.Accept();
  tcp.Send(InverterLine(0, 12, 0, 250));
  Tick();
  Tick();
  EXPECT_EQ(log.Count("The email \"[Ebbmark] Power Event\" (the mains-failure notice) could not "
                      "be sent: Could not connect to the mail server."),
            1);
  EXPECT_EQ(log.records.back().type, kEventWarning);
  EXPECT_EQ(log.records.back().id, 110u);
}

// A server's reply ends in its own full stop, or a reason is ended by one:
// the record still ends in exactly one.
TEST_F(ServiceAppTest, EachRefusedRecipientGetsOneRecordAndTheRecordsEndInOneFullStop) {
  WriteSettings(
      "TCPHost=127.0.0.1\nEmailOptions=1\nSMTPHost=127.0.0.1\nSMTPFrom=a@b\n"
      "SMTPTo=admin@x, former.staff@x, old@x, ops@x\n");
  mailer.result = MailResult{true,
                             0,
                             {},
                             {{"former.staff@x", "550 5.1.1 <former.staff@x>: User unknown."},
                              {"old@x", "550 5.1.1 mailbox closed"}}};
  StartDebug();
  Tick();
  tcp.Accept();
  tcp.Send(InverterLine(0, 12, 0, 250));
  Tick();
  Tick();
  const std::string head = "The email \"[Ebbmark] Power Event\" (the mains-failure notice) ";
  EXPECT_EQ(log.Count(head + "was not sent to former.staff@x: the server refused the recipient "
                             "former.staff@x: 550 5.1.1 <former.staff@x>: User unknown."),
            1);
  EXPECT_EQ(log.Count(head + "was not sent to old@x: the server refused the recipient old@x: "
                             "550 5.1.1 mailbox closed."),
            1);
  EXPECT_EQ(log.Count(head + "could not be sent"), 0) << "the others got it";
  for (const auto& r : log.records) {
    EXPECT_EQ(r.text.find(".."), std::string::npos) << r.text;
    if (r.text.find("was not sent to") != std::string::npos) {
      EXPECT_EQ(r.type, kEventWarning);
      EXPECT_EQ(r.id, 110u);
    }
  }

  // The only recipient refused: the failure itself names it, once.
  log.records.clear();
  mailer.result = MailResult{
      false, 55, "the server refused the recipient old@x: 550 closed.", {{"old@x", "550 closed."}}};
  tcp.Send(InverterLine(0, 0, 120, 250));
  Tick();
  Tick();
  EXPECT_EQ(log.Count("The email \"[Ebbmark] Power Event\" (the mains-return notice) could not be "
                      "sent: the server refused the recipient old@x: 550 closed."),
            1);
  EXPECT_EQ(log.Count("The email \"[Ebbmark] Power Event\" (the mains-return notice) was not"), 0);
}

TEST_F(ServiceAppTest, AnUnusableOrCutRecipientIsNamedAndTheOthersStillGetTheNotice) {
  // 254 characters, the length a longer setting is cut to, ending inside an address.
  std::string to = "Doe, John <admin@example.org>, ";
  while (to.size() < 230) to += "ok@example.org, ";
  to += "ops@exa";
  to += std::string(254 - to.size(), 'x');
  ASSERT_EQ(to.size(), 254u);
  WriteSettings(
      "TCPHost=127.0.0.1\nEmailOptions=1\nSMTPHost=127.0.0.1\nSMTPFrom=a@b\nSMTPTo=" + to + "\n");
  StartDebug();
  EXPECT_EQ(log.Count("The SMTPTo setting does not hold a usable email address in \"Doe\". The "
                      "other recipients still get the notices."),
            1);
  EXPECT_EQ(log.Count("The SMTPTo setting is longer than 254 characters, so \"ops@exa"), 1);
  Tick();
  tcp.Accept();
  tcp.Send(InverterLine(0, 12, 0, 250));
  Tick();
  Tick();
  ASSERT_EQ(mailer.sent.size(), 1u);
}

class SignInTest : public ServiceAppTest {
 protected:
  void StartAndBeginInverting() {
    WriteSettings(
        "TCPHost=127.0.0.1\nEmailOptions=1\nSMTPHost=127.0.0.1\nSMTPFrom=a@b\nSMTPTo=c@d\n"
        "SMTPSecurity=1\nSMTPUser=alerts@example.test\n");
    auto o = Options();
    o.secrets = &secrets;
    other = Another(host, o);
    other->Start("debug");
    other->tmrRunChecks.SetEnabled(false);
    TickOther();
    extra_tcp.back().Accept();
    extra_tcp.back().Send(InverterLine(0, 12, 0, 250));
    TickOther();
    TickOther();
  }
  void TickOther() {
    other->RunChecks();
    io.restart();
    io.poll();
  }
  bool AnyRecordHolds(const std::string& text) const {
    for (const auto& r : log.records)
      if (r.text.find(text) != std::string::npos) return true;
    return false;
  }

  FakeSecretStore secrets;
  std::unique_ptr<ServiceApp> other;
};

TEST_F(SignInTest, APasswordFileOthersCanReadIsNotUsed) {
  const std::string path = JoinPath(kHome, "smtp.secret");
  secrets.files[path] = "s3cret pass";
  secrets.exposed[path] = "group root (gid 0), everyone";
  StartAndBeginInverting();
  EXPECT_TRUE(mailer.sent.empty()) << "no sign-in with it";
  EXPECT_TRUE(AnyRecordHolds("the password file " + path +
                             " is not used, since group root (gid 0), everyone can read it; make "
                             "it readable by its owner only (chmod 600 " +
                             path + ")"));
  EXPECT_FALSE(AnyRecordHolds("s3cret"));
}

TEST_F(SignInTest, PasswordIsReadAtSendTimeAndNeverRecorded) {
  secrets.files[JoinPath(kHome, "smtp.secret")] = "s3cret pass";
  mailer.result = MailResult{false, 67, "the user name or password was refused"};
  StartAndBeginInverting();
  ASSERT_EQ(mailer.sent.size(), 1u);
  EXPECT_EQ(mailer.sent[0].security, 1);
  EXPECT_EQ(mailer.sent[0].user, "alerts@example.test");
  EXPECT_EQ(mailer.sent[0].password, "s3cret pass");
  EXPECT_EQ(secrets.reads, std::vector<std::string>{JoinPath(kHome, "smtp.secret")});
  EXPECT_EQ(log.Count("The email \"[Ebbmark] Power Event\" (the mains-failure notice) could not be "
                      "sent: the user name or "
                      "password was refused (signing in as \"alerts@example.test\" with the "
                      "saved password)."),
            1);
  EXPECT_FALSE(AnyRecordHolds("s3cret"));
}

TEST_F(SignInTest, NoReadablePasswordMeansNoSendAndARecordThatSaysWhy) {
  StartAndBeginInverting();
  EXPECT_TRUE(mailer.sent.empty());
  EXPECT_TRUE(AnyRecordHolds("no password is saved for the sign-in"));
  EXPECT_TRUE(AnyRecordHolds("(signing in as \"alerts@example.test\", no password given)."));

  log.records.clear();
  secrets.files[JoinPath(kHome, "smtp.secret")] = "bad\r\nline";
  other.reset();
  StartAndBeginInverting();
  EXPECT_TRUE(mailer.sent.empty());
  EXPECT_TRUE(AnyRecordHolds("the password holds a line break or a NUL character"));
  EXPECT_FALSE(AnyRecordHolds("bad"));
}

// ---- Monitoring ----

TEST_F(ServiceAppTest, AnnouncesTheMonitoredInverterOncePerChange) {
  WriteSettings("TCPHost=127.0.0.1\nInverterAddress=3\n");
  StartDebug();
  Tick();
  tcp.Accept();
  EXPECT_EQ(log.Count("Started monitoring"), 0) << "nothing heard yet";
  tcp.Send(InverterLine(5, 0, 120, 264));
  Tick();
  tcp.Send(InverterLine(1, 0, 120, 264));
  Tick();
  Tick();
  EXPECT_EQ(log.Count("Started monitoring inverter at address 3."), 1);
  EXPECT_EQ(log.Count("Inverter monitoring changed! Was monitoring inverter at address 3. Now "
                      "monitoring inverter at address 1."),
            1);
  EXPECT_EQ(log.records.size(), 2u);
}

TEST_F(ServiceAppTest, TellsTheServiceManagerWhatItWaitsFor) {
  WriteSettings("TCPHost=\n");
  StartDebug();
  Tick();
  Tick();
  EXPECT_EQ(host.statuses, std::vector<std::string>{"No relay configured: set TCPHost in " + kIni +
                                                    ", or use the Ebbmark window"})
      << "said once, not at every tick";

  WriteSettings("TCPHost=192.0.2.5\nTCPPort=8467\n");
  Tick();
  Tick();
  EXPECT_EQ(host.statuses.back(), "Waiting for the relay at 192.0.2.5:8467");
  tcp.Accept();
  tcp.Send(InverterLine(0, 0, 120, 264));
  Tick();
  EXPECT_EQ(host.statuses.back(), "Monitoring inverter 0 at 192.0.2.5:8467");
  clock.Advance(35s);
  Tick();
  EXPECT_EQ(host.statuses.back(), "Relay silent for 35 s");
  EXPECT_EQ(log.Count("Monitoring inverter"), 0) << "the status line is no event record";
}

TEST_F(ServiceAppTest, InvertingPeriodGivesItsRecordAndEmails) {
  WriteSettings(
      "TCPHost=127.0.0.1\nEmailOptions=1\nEmailDelay=5\nSMTPHost=127.0.0.1\nSMTPFrom=a@b\n"
      "SMTPTo=c@d\n");
  StartDebug();
  Tick();
  tcp.Accept();
  tcp.Send(InverterLine(0, 12, 0, 250));
  for (int i = 0; i < 4; ++i) {
    Tick();
    clock.Advance(1s);
  }
  EXPECT_EQ(log.Count("The inverter at address 0 has started inverting power."), 1);
  EXPECT_TRUE(mailer.sent.empty()) << "EmailDelay not reached";
  clock.Advance(1s);
  tcp.Send(InverterLine(0, 12, 0, 250));
  Tick();
  ASSERT_EQ(mailer.sent.size(), 1u);
  EXPECT_EQ(mailer.sent[0].subject, "[Ebbmark] Power Event");
  EXPECT_NE(mailer.sent[0].body.find("has begun inverting"), std::string::npos);

  tcp.Send(InverterLine(0, 0, 120, 240));
  Tick();
  Tick();
  ASSERT_EQ(mailer.sent.size(), 2u);
  EXPECT_NE(mailer.sent[1].body.find("has stopped inverting"), std::string::npos);
  EXPECT_NE(mailer.sent[1].body.find("Duration: 00d 00:00:05"), std::string::npos);
  EXPECT_EQ(log.Count("The inverter at address 0"), 1);
}

TEST_F(ServiceAppTest, ShortInvertingPeriodSendsNeitherEmail) {
  WriteSettings(
      "TCPHost=127.0.0.1\nEmailOptions=1\nEmailDelay=30\nSMTPHost=127.0.0.1\nSMTPFrom=a@b\n"
      "SMTPTo=c@d\n");
  StartDebug();
  Tick();
  tcp.Accept();
  tcp.Send(InverterLine(0, 12, 0, 250));
  Tick();
  clock.Advance(3s);
  tcp.Send(InverterLine(0, 0, 120, 250));
  Tick();
  EXPECT_EQ(log.Count("The inverter at address 0 has started inverting power."), 1);
  EXPECT_TRUE(mailer.sent.empty());
}

// ---- The trigger sequence ----

class TriggerTest : public ServiceAppTest {
 protected:
  using ServiceAppTest::ServiceAppTest;
  TriggerTest() = default;
  void Arm(const std::string& extra) {
    fs.Put(kRunFile, "#!/bin/sh\n");
    WriteSettings(
        "TCPHost=127.0.0.1\nSDSOC=70\nSOCOII=0\nEmailOptions=3\nSMTPHost=127.0.0.1\n"
        "SMTPFrom=ups@example.org\nSMTPTo=admin@example.org\nExecuteFile=" +
        std::string(kRunFile) + "\n" + extra);
    StartDebug();
    Tick();
    tcp.Accept();
    tcp.Send(InverterLine(0, 0, 120, 250) + FndcLine(60));
  }
};

TEST_F(TriggerTest, RunsEveryStepOnceInOrderAndStops) {
  Arm("ShutdownType=1\nForce=1\nExecuteDelay=600\n");
  journal.clear();
  Tick();
  EXPECT_TRUE(app.TriggerRunning());
  EXPECT_FALSE(app.tmrRunChecks.Enabled()) << "no second tick interleaves";
  RunToExit();
  EXPECT_EQ(
      journal,
      (Journal{"record: Started monitoring inverter at address 0.", "mail: [Ebbmark] Power Event",
               "run: /home/save work.sh", "mail: [Ebbmark] Shutdown Event",
               "record: Shutdown initiated due to power event.", "power: shutdown", "exit"}));
  ASSERT_EQ(runner.calls.size(), 1u);
  EXPECT_EQ(runner.calls[0].wait, std::optional{600000ms});
  EXPECT_EQ(power.calls[0].second, true);
  EXPECT_NE(mailer.sent[1].body.find("The action (shutdown) on computer "), std::string::npos);
}

// A mail server that never answers costs the trigger at most the mail
// budget in all, and each notice still open at the end gives its warning.
TEST_F(TriggerTest, AStalledMailServerHoldsUpThePowerActionOnlyWithinTheBudget) {
  mailer.hold = true;
  Arm("ShutdownType=1\nForce=1\n");
  Tick();
  RunToExit();
  ASSERT_TRUE(exit_code);
  ASSERT_EQ(power.calls.size(), 1u);
  ASSERT_EQ(mailer.sent.size(), 2u);
  EXPECT_EQ(mailer.gave_up.size(), 1u) << "given up once the drain time is over";
  EXPECT_EQ(log.Count("The email \"[Ebbmark] Power Event\" (the run-file notice) could not be "
                      "sent: the service was stopping and could not wait any longer."),
            1);
  EXPECT_EQ(log.Count("The email \"[Ebbmark] Shutdown Event\" (the power-action notice) could not "
                      "be sent"),
            1);
  // The power action came before the end, not after the mail.
  const auto power_at = std::find(journal.begin(), journal.end(), "power: shutdown");
  const auto warning_at = std::find_if(journal.begin(), journal.end(), [](const std::string& j) {
    return j.find("could not be sent") != std::string::npos;
  });
  EXPECT_LT(power_at, warning_at);
}

TEST_F(TriggerTest, NoticesStillGoingOutAtTheEndGetTheirChance) {
  mailer.hold = true;
  Arm("ShutdownType=0\n");
  Tick();
  for (int i = 0; i < 100 && mailer.Held() < 2; ++i) {
    io.restart();
    io.run_for(10ms);
  }
  ASSERT_EQ(mailer.Held(), 2u);
  mailer.hold = false;
  mailer.Release();  // the server answers within the drain time
  RunToExit();
  EXPECT_EQ(exit_code, 0);
  EXPECT_TRUE(mailer.gave_up.empty());
  EXPECT_EQ(log.Count("The email "), 0);
}

// The mains fail and the battery is already low: the one tick that starts the
// trigger must still tell the operator why.
TEST_F(TriggerTest, ATriggerOnTheFirstInvertingTickStillTellsOfTheMainsFailure) {
  WriteSettings(
      "TCPHost=127.0.0.1\nSDSOC=70\nSOCOII=1\nEmailOptions=1\nEmailDelay=0\nShutdownType=1\n"
      "SMTPHost=127.0.0.1\nSMTPFrom=ups@example.org\nSMTPTo=admin@example.org\n");
  StartDebug();
  Tick();
  tcp.Accept();
  tcp.Send(InverterLine(0, 15, 0, 250) + FndcLine(55));
  journal.clear();
  Tick();
  RunToExit();
  EXPECT_EQ(journal,
            (Journal{"record: Started monitoring inverter at address 0.",
                     "record: The inverter at address 0 has started inverting power.",
                     "mail: [Ebbmark] Power Event",
                     "record: Shutdown initiated due to power event.", "power: shutdown", "exit"}));
  ASSERT_EQ(mailer.sent.size(), 1u);
  EXPECT_NE(mailer.sent[0].body.find("has begun inverting"), std::string::npos);
}

TEST_F(TriggerTest, RunFileWaitFollowsExecuteDelay) {
  for (auto [delay, wait] : std::vector<std::pair<int, std::optional<std::chrono::milliseconds>>>{
           {-1, std::nullopt}, {0, 0ms}, {2, 2000ms}, {1800, 1800000ms}}) {
    SCOPED_TRACE(delay);
    WriteSettings("ExecuteDelay=" + std::to_string(delay) + "\nExecuteFile=" + kRunFile +
                  "\nSDSOC=70\nSOCOII=0\nTCPHost=127.0.0.1\n");
    runner.calls.clear();
    exit_code.reset();
    auto other = Another();
    fs.Put(kRunFile, "#!/bin/sh\n");
    other->Start("debug");
    other->tmrRunChecks.SetEnabled(false);
    other->Stream.Append(FndcLine(60));
    other->RunChecks();
    RunToExit();
    ASSERT_EQ(runner.calls.size(), 1u);
    EXPECT_EQ(runner.calls[0].wait, wait);
  }
}

TEST_F(TriggerTest, DoNothingStillMailsNamesTheActionAndStops) {
  Arm("ShutdownType=0\n");
  Tick();
  RunToExit();
  EXPECT_EQ(exit_code, 0);
  EXPECT_TRUE(power.calls.empty());
  EXPECT_EQ(log.Count("Shutdown initiated"), 0);
  EXPECT_EQ(log.Count("Hibernation initiated"), 0);
  ASSERT_EQ(mailer.sent.size(), 2u);
  EXPECT_NE(mailer.sent[1].body.find("The action (do nothing) on computer "), std::string::npos);
}

TEST_F(TriggerTest, RunFileThatCannotStartIsLoggedAndTheActionFollows) {
  runner.result = RunResult{false, std::make_error_code(std::errc::permission_denied), false, 0};
  Arm("ShutdownType=2\nForce=0\n");
  Tick();
  RunToExit();
  EXPECT_EQ(log.Count("Could not start the run file /home/save work.sh: "), 1);
  EXPECT_EQ(log.Count("Hibernation initiated due to power event."), 1);
  ASSERT_EQ(power.calls.size(), 1u);
  EXPECT_EQ(power.calls[0], std::make_pair(PowerKind::Hibernate, false));
  EXPECT_EQ(exit_code, 0);
}

// The computer is always brought down: each refusal is recorded in the
// system's own words and followed by the next way down.
TEST_F(TriggerTest, ARefusedPowerActionFallsBackUntilOneIsAccepted) {
  const PowerRefusal no_swap{std::make_error_code(std::errc::operation_not_supported),
                             "Not enough swap space for hibernation"};
  const PowerRefusal inhibited{std::make_error_code(std::errc::operation_not_permitted),
                               "Operation inhibited by \"backup\""};
  const PowerRefusal denied{std::make_error_code(std::errc::permission_denied), ""};
  using Calls = std::vector<std::pair<PowerKind, bool>>;
  const auto H = PowerKind::Hibernate;
  const auto S = PowerKind::Shutdown;
  const struct {
    const char* settings;
    std::vector<PowerRefusal> refusals;
    Calls calls;
    std::vector<std::string> records;
  } cases[] = {
      {"ShutdownType=2\nForce=1\n",
       {no_swap},
       Calls{{H, true}, {S, true}},
       {"The system refused to hibernate: Not enough swap space for hibernation. The computer "
        "is being shut down instead."}},
      {"ShutdownType=2\nForce=0\n",
       {no_swap, inhibited},
       Calls{{H, false}, {S, false}, {S, true}},
       {"The system refused to hibernate: Not enough swap space for hibernation. The computer "
        "is being shut down instead.",
        "The system refused to shut down: Operation inhibited by \"backup\". Trying once more "
        "with force."}},
      {"ShutdownType=1\nForce=0\n",
       {inhibited, denied},
       Calls{{S, false}, {S, true}},
       {"The system refused to shut down: Operation inhibited by \"backup\". Trying once more "
        "with force.",
        "The system refused to shut down with force: " + denied.error.message() +
            ". The computer is still running."}},
      {"ShutdownType=1\nForce=1\n",
       {denied},
       Calls{{S, true}},
       {"The system refused to shut down with force: " + denied.error.message() +
        ". The computer is still running."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings);
    power.calls.clear();
    power.refusals = c.refusals;
    log.records.clear();
    exit_code.reset();
    WriteSettings(std::string("TCPHost=127.0.0.1\nSDSOC=70\nSOCOII=0\n") + c.settings);
    auto other = Another();
    other->Start("debug");
    other->tmrRunChecks.SetEnabled(false);
    other->Stream.Append(FndcLine(60));
    other->RunChecks();
    RunToExit();
    EXPECT_EQ(power.calls, c.calls);
    std::vector<std::string> refused;
    for (const auto& r : log.records) {
      if (!r.text.starts_with("The system refused")) continue;
      refused.push_back(r.text);
      EXPECT_EQ(r.type, kEventError);
      EXPECT_EQ(r.id, 109u);
    }
    EXPECT_EQ(refused, c.records);
    EXPECT_EQ(exit_code, 0) << "the service stops either way";
  }
}

TEST_F(TriggerTest, RunFileOthersCanChangeIsNotStartedButTheActionFollows) {
  // Either the run file, the settings naming it, or a folder above either.
  for (const std::string& where : {std::string(kRunFile), kIni, std::string(kHome)}) {
    SCOPED_TRACE(where);
    fs.untrusted = {{where, "everyone"}};
    log.records.clear();
    runner.calls.clear();
    mailer.sent.clear();
    power.calls.clear();
    exit_code.reset();
    fs.Put(kRunFile, "#!/bin/sh\n");
    WriteSettings(
        "TCPHost=127.0.0.1\nSDSOC=70\nSOCOII=0\nEmailOptions=3\nSMTPHost=127.0.0.1\n"
        "SMTPFrom=ups@example.org\nSMTPTo=admin@example.org\nShutdownType=1\nExecuteFile=" +
        std::string(kRunFile) + "\n");
    auto other = Another();
    other->Start("debug");
    other->tmrRunChecks.SetEnabled(false);
    other->Stream.Append(FndcLine(60));
    other->RunChecks();
    RunToExit();
    EXPECT_TRUE(runner.calls.empty());
    const std::string text = "The run file /home/save work.sh was not started: " + where +
                             " can be written by everyone.";
    ASSERT_EQ(log.Count(text), 1) << ::testing::PrintToString(log.records.size());
    for (const auto& r : log.records) {
      if (r.text != text) continue;
      EXPECT_EQ(r.type, kEventError);
      EXPECT_EQ(r.id, 109u);
    }
    // No "running the file" notice for a file that was not run; the action's notice and
    // the action itself still come.
    ASSERT_EQ(mailer.sent.size(), 1u);
    EXPECT_EQ(mailer.sent[0].subject, "[Ebbmark] Shutdown Event");
    EXPECT_EQ(power.calls.size(), 1u);
    EXPECT_EQ(exit_code, 0);
  }
}

TEST_F(TriggerTest, ARunFileWithoutItsExecuteBitIsNamedAsSuch) {
  runner.result = RunResult{false, make_error_code(RunError::NotExecutable), false, 0};
  Arm("ShutdownType=1\n");
  Tick();
  RunToExit();
  EXPECT_EQ(log.Count("The run file /home/save work.sh is not executable."), 1);
  EXPECT_EQ(log.Count("Could not start the run file"), 0);
  EXPECT_EQ(power.calls.size(), 1u);
}

TEST_F(ServiceAppTest, AnUnusableAddressIsReportedOnceAndNoMailIsSent) {
  const struct {
    const char* from;
    const char* to;
    const char* setting;
  } cases[] = {
      {"ups\x1b@example.org", "admin@example.org", "SMTPFrom"},
      {"ups@example.org", "admin@example.org NOTIFY=NEVER", "SMTPTo"},
      {"ups@example.org", "x>y@example.org; Doe", "SMTPTo"},
      {"UPS <ups@example.org> extra", "admin@example.org", "SMTPFrom"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting + std::string(": ") + c.from + " / " + c.to);
    log.records.clear();
    mailer.sent.clear();
    WriteSettings("TCPHost=127.0.0.1\nEmailOptions=1\nSMTPHost=127.0.0.1\nSMTPFrom=" +
                  std::string(c.from) + "\nSMTPTo=" + c.to + "\n");
    auto other = Another();
    other->Start("debug");
    other->tmrRunChecks.SetEnabled(false);
    other->Stream.Append(InverterLine(0, 12, 0, 250));
    for (int i = 0; i < 3; ++i) {
      other->RunChecks();
      io.restart();
      io.poll();
      clock.Advance(1s);
    }
    EXPECT_TRUE(mailer.sent.empty());
    EXPECT_EQ(log.Count(std::string("The ") + c.setting +
                        " setting does not hold a usable email address."),
              1);
  }
}

TEST_F(TriggerTest, NoUsableRunFileSkipsItsStepsAndEmail) {
  fs.Put(kRunFile, "");
  Arm("ShutdownType=1\n");
  fs.files.erase(kRunFile);  // vanished after the load
  journal.clear();
  Tick();
  RunToExit();
  EXPECT_TRUE(runner.calls.empty());
  ASSERT_GE(journal.size(), 2u);
  EXPECT_EQ(journal[1], "mail: [Ebbmark] Shutdown Event");
}

// ---- A stop during a trigger ----

// The pause is long enough that a stop always finds the sequence in it.
class TriggerStopTest : public TriggerTest {
 protected:
  TriggerStopTest() : TriggerTest(60s) {}

  void RunUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 200 && !done(); ++i) {
      io.restart();
      io.run_for(5ms);
    }
    ASSERT_TRUE(done());
  }

  // The stop notification, then the run to the end.
  void Stop() {
    ASSERT_TRUE(host.on_stop);
    host.on_stop();
    RunToExit();
    ASSERT_TRUE(exit_code);
  }

  void ExpectNothingAfterTheStop(const std::string& steps) {
    EXPECT_TRUE(power.calls.empty());
    EXPECT_EQ(log.Count("Shutdown initiated"), 0);
    EXPECT_EQ(log.Count("The service was stopped during a trigger sequence, so these steps "
                        "were not taken: " +
                        steps + "."),
              1)
        << ::testing::PrintToString(journal);
    EXPECT_EQ(log.Count("The service was stopped during a trigger"), 1);
    for (const auto& r : log.records) {
      if (r.text.starts_with("The service was stopped")) {
        EXPECT_EQ(r.type, kEventInformation);
        EXPECT_EQ(r.id, 110u);
      }
    }
  }
};

TEST_F(TriggerStopTest, DuringTheRunFileNoticeNothingFollows) {
  mailer.hold = true;
  Arm("ShutdownType=1\nExecuteDelay=0\n");
  Tick();
  RunUntil([&] { return mailer.Held() == 1; });
  Stop();
  EXPECT_TRUE(runner.calls.empty()) << "no run file after the stop";
  ASSERT_EQ(mailer.sent.size(), 1u) << "no action notice";
  EXPECT_EQ(mailer.gave_up.size(), 1u) << "the notice in flight had its drain time";
  ExpectNothingAfterTheStop(
      "starting the run file, the pause before the action, the action notice, the action "
      "record, the shutdown");
}

TEST_F(TriggerStopTest, DuringTheRunFileWaitTheFileRunsOnAndNothingFollows) {
  runner.hold = true;
  Arm("ShutdownType=2\nExecuteDelay=600\n");
  Tick();
  RunUntil([&] { return runner.calls.size() == 1; });
  Stop();
  runner.Release();  // the run file ends later: still nothing happens
  io.restart();
  io.poll();
  ASSERT_EQ(mailer.sent.size(), 1u);
  EXPECT_EQ(log.Count("Hibernation initiated"), 0);
  ExpectNothingAfterTheStop(
      "the pause before the action, the action notice, the action record, the hibernation");
}

TEST_F(TriggerStopTest, DuringThePauseWithANoticeInFlightNothingFollows) {
  mailer.hold = true;
  Arm("ShutdownType=1\nExecuteDelay=0\n");
  Tick();
  RunUntil([&] { return runner.calls.size() == 1; });  // after the mail budget
  io.restart();
  io.run_for(5ms);
  Stop();
  ASSERT_EQ(mailer.sent.size(), 1u);
  ExpectNothingAfterTheStop(
      "the pause before the action, the action notice, the action "
      "record, the shutdown");
}

TEST_F(TriggerTest, AStopDuringTheActionNoticeTakesNoActionAndEndsWithinTheDrain) {
  mailer.hold = true;
  Arm("ShutdownType=1\nExecuteDelay=0\n");
  Tick();
  for (int i = 0; i < 200 && mailer.Held() < 1; ++i) {
    io.restart();
    io.run_for(1ms);
  }
  mailer.Release();  // the run-file notice goes out; the action notice then stalls
  for (int i = 0; i < 200 && mailer.sent.size() < 2; ++i) {
    io.restart();
    io.run_for(1ms);
  }
  ASSERT_EQ(mailer.sent.size(), 2u);
  EXPECT_EQ(mailer.sent[1].subject, "[Ebbmark] Shutdown Event");
  host.on_stop();
  RunToExit();
  EXPECT_EQ(exit_code, 0);
  EXPECT_TRUE(power.calls.empty());
  EXPECT_EQ(log.Count("Shutdown initiated"), 0);
  EXPECT_EQ(log.Count("The service was stopped during a trigger sequence, so these steps were "
                      "not taken: the action record, the shutdown."),
            1);
  EXPECT_EQ(mailer.gave_up.size(), 1u) << "the action notice had its drain time";
}

TEST_F(TriggerTest, AStopAfterTheWholeSequenceWritesNoStopRecord) {
  Arm("ShutdownType=1\n");
  Tick();
  RunToExit();
  host.on_stop();
  RunToExit();
  EXPECT_EQ(power.calls.size(), 1u);
  EXPECT_EQ(log.Count("The service was stopped during"), 0);
}

TEST_F(ServiceAppTest, RunFileReadyRules) {
  fs.Put("/ab", "");
  fs.Put("/home/x/", "");
  fs.Put("/home/run.sh", "");
  for (auto [path, ready] :
       std::vector<std::pair<std::string, bool>>{{"", false},
                                                 {"/ab", false},
                                                 {"/home/x/", false},
                                                 {"/home/run.sh", true},
                                                 {"/home/missing.sh", false}}) {
    app.Settings.ExecuteFile = path;
    EXPECT_EQ(app.RunFileReady(), ready) << path;
  }
}

// ---- The NUT server: snapshots, FSD and the wait for secondaries ----

class NutTest : public TriggerTest {
 protected:
  NutTest() : TriggerTest(30ms) { nut.journal = &journal; }

  // Starts a service with the NUT server (and the given settings) and
  // gives it the first lines: on battery, charge `soc`.
  void Begin(const std::string& settings, int soc = 60) {
    fs.Put(kRunFile, "#!/bin/sh\n");
    WriteSettings("TCPHost=127.0.0.1\nSDSOC=70\nSOCOII=1\n" + settings);
    auto o = Options();
    o.nut = &nut;
    o.secrets = &secrets;
    o.host_sync_poll = 1ms;
    svc = Another(host, o);
    svc->Start("debug");
    svc->tmrRunChecks.SetEnabled(false);
    TickSvc();
    extra_tcp.back().Accept();
    extra_tcp.back().Send(InverterLine(0, 12, 0, 250) + FndcLine(soc));
  }
  void TickSvc() {
    svc->RunChecks();
    io.restart();
    io.poll();
  }
  void RunUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 200 && !done(); ++i) {
      io.restart();
      io.run_for(5ms);
    }
  }
  int Position(const std::string& entry) const {
    const auto it = std::find(journal.begin(), journal.end(), entry);
    return it == journal.end() ? -1 : static_cast<int>(it - journal.begin());
  }

  FakeNutHost nut;
  FakeSecretStore secrets;
  std::unique_ptr<ServiceApp> svc;
};

TEST_F(NutTest, TheServerGetsTheSettingsAndEachChangedSnapshot) {
  secrets.files[JoinPath(kHome, "nut.secret")] = "pw";
  fs.Put(JoinPath(kHome, "nut.secret"), "pw");
  Begin("NUTUser=monuser\nNUTName=ups\nNUTPort=3494\n", 90);
  ASSERT_FALSE(nut.configs.empty());
  const auto& [listen, config] = nut.configs.back();
  EXPECT_EQ(listen, (nut::ListenConfig{{"127.0.0.1", "::1"}, 3494}));
  EXPECT_EQ(config.device_name, "ups");
  EXPECT_EQ(config.user, "monuser");
  EXPECT_EQ(config.password, "pw");
  EXPECT_EQ(nut.LastStatus(), "stale") << "nothing heard from the relay yet";

  TickSvc();
  EXPECT_EQ(nut.LastStatus(), "OB");
  const std::size_t sent = nut.published.size();
  TickSvc();
  TickSvc();
  EXPECT_EQ(nut.published.size(), sent) << "an unchanged snapshot is not sent again";
  extra_tcp.back().Send(FndcLine(80));
  TickSvc();
  EXPECT_EQ(nut.published.size(), sent + 1);

  // A password saved on its own is taken into use at the next tick.
  secrets.files[JoinPath(kHome, "nut.secret")] = "new pw";
  fs.Put(JoinPath(kHome, "nut.secret"), "new pw");
  fs.Touch(JoinPath(kHome, "nut.secret"));
  TickSvc();
  EXPECT_EQ(nut.configs.back().second.password, "new pw");
  EXPECT_FALSE(std::any_of(log.records.begin(), log.records.end(),
                           [](const auto& r) { return r.text.find("pw") != std::string::npos; }));

  // "off": no addresses, no server.
  svc.reset();
  Begin("NUTListen=off\n");
  EXPECT_TRUE(nut.configs.back().first.addresses.empty());
}

TEST_F(NutTest, APasswordFileOthersCanReadIsNamedAndNotUsed) {
  const std::string path = JoinPath(kHome, "nut.secret");
  secrets.files[path] = "pw";
  secrets.exposed[path] = "everyone";
  fs.Put(path, "pw");
  Begin("NUTUser=monuser\n", 90);
  EXPECT_EQ(nut.configs.back().second.password, "") << "LOGIN is refused";
  EXPECT_EQ(log.Count("The NUT password file " + path +
                      " is not used, since everyone can read it; make it readable by its owner "
                      "only (chmod 600 " +
                      path + "). Other systems cannot sign in."),
            1);
}

TEST_F(NutTest, FsdComesBeforeTheRunFileAndTheActionWaitsForTheLogout) {
  nut.logged_in = {"192.0.2.7"};
  Begin("ShutdownType=1\nNUTHostSync=600\nExecuteFile=" + std::string(kRunFile) + "\n");
  TickSvc();
  ASSERT_TRUE(svc->TriggerRunning());
  RunUntil([&] { return !runner.calls.empty(); });
  const int fsd = Position("nut: OB LB FSD");
  ASSERT_GE(fsd, 0) << ::testing::PrintToString(journal);
  EXPECT_LT(fsd, Position("run: /home/save work.sh"));
  EXPECT_EQ(log.Count("The NUT server raised the forced shutdown: 1 system was asked to shut "
                      "down."),
            1);

  // The run file and the pause are over; the secondary is still there.
  RunUntil([] { return false; });
  EXPECT_TRUE(power.calls.empty());
  EXPECT_FALSE(exit_code);
  nut.SetLoggedIn({});
  RunToExit();
  ASSERT_EQ(power.calls.size(), 1u);
  EXPECT_EQ(log.Count("The wait of"), 0) << "everyone left in time";
}

TEST_F(NutTest, HostSyncEndsTheWaitWithARecordOfThoseLeft) {
  nut.logged_in = {"192.0.2.7", "192.0.2.8", "192.0.2.7"};
  Begin("ShutdownType=1\nNUTHostSync=20\n");
  TickSvc();
  clock.Advance(19s);
  RunUntil([] { return false; });
  EXPECT_TRUE(power.calls.empty()) << "20 s from FSD have not passed";
  clock.Advance(1s);
  RunToExit();
  ASSERT_EQ(power.calls.size(), 1u);
  EXPECT_EQ(log.Count("The NUT server raised the forced shutdown: 3 systems were asked"), 1);
  EXPECT_EQ(log.Count("The wait of 20 seconds for other systems to shut down ended with these "
                      "still logged in to the NUT server: 192.0.2.7, 192.0.2.8."),
            1);
  const auto left = std::find_if(log.records.begin(), log.records.end(),
                                 [](const auto& r) { return r.text.starts_with("The wait of"); });
  EXPECT_EQ(left->type, kEventWarning);
  EXPECT_EQ(left->id, 110u);
  EXPECT_LT(Position("record: " + left->text), Position("power: shutdown"));
}

TEST_F(NutTest, NoSecondaryMeansNoWaitAndNoRecord) {
  Begin("ShutdownType=1\nNUTHostSync=600\n");
  TickSvc();
  RunToExit();
  EXPECT_EQ(power.calls.size(), 1u);
  EXPECT_EQ(log.Count("The NUT server"), 0);
  EXPECT_EQ(log.Count("The wait of"), 0);
  EXPECT_EQ(nut.LastStatus(), "OB LB FSD");
}

TEST_F(NutTest, DoNothingStillWaitsBeforeTheServiceStopsItself) {
  nut.logged_in = {"192.0.2.7"};
  Begin("ShutdownType=0\nNUTHostSync=600\n");
  TickSvc();
  RunUntil([] { return false; });
  EXPECT_FALSE(exit_code) << "the stop would take the server away from the secondary";
  nut.SetLoggedIn({});
  RunToExit();
  EXPECT_TRUE(exit_code);
  EXPECT_TRUE(power.calls.empty());
  EXPECT_EQ(nut.stops, 1);
}

TEST_F(NutTest, AStopDuringTheWaitTakesNoFurtherStep) {
  nut.logged_in = {"192.0.2.7"};
  Begin("ShutdownType=1\nNUTHostSync=600\n");
  TickSvc();
  RunUntil([] { return false; });
  ASSERT_TRUE(host.on_stop);
  host.on_stop();
  RunToExit();
  EXPECT_TRUE(power.calls.empty());
  EXPECT_EQ(log.Count("The service was stopped during a trigger sequence, so these steps were "
                      "not taken: the action record, the shutdown."),
            1);
  EXPECT_EQ(log.Count("The wait of"), 0);
}

}  // namespace
}  // namespace ebbmark
