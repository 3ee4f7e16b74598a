#include "config/model/frm_ebbmark.h"

#include "base/mail_format.h"
#include "config/model/pictures.h"
#include "config/model/tool_windows.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <array>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/config_fakes.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/secret_fakes.h"
#include "tests/support/service_fakes.h"
#include "tests/support/tool_window_fakes.h"

namespace ebbmark {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using testing::FakeFileSystem;
using testing::FakeInstanceCheck;
using testing::FakeSecretStore;
using testing::FakeServiceControl;
using testing::FakeShell;
using testing::FakeTcpClient;
using testing::FndcLine;
using testing::InverterLine;
using testing::ScriptedDialogs;

const Colour kGreen = Colour::FromRgb(128, 255, 128);
const Colour kRed = Colour::FromRgb(255, 128, 128);
const Colour kInitial = SystemColour::WindowBackground;

constexpr const char* kIni = "/opt/ebbmark/Ebbmark.ini";
constexpr const char* kHelp = "/opt/ebbmark/Ebbmark.html";
constexpr const char* kRunFile = "/home/op/save-work.sh";

std::string Ini(const std::map<std::string, std::string>& keys) {
  std::string text = "[EbbmarkSvc]\r\n";
  for (const auto& [k, v] : keys) text += k + "=" + v + "\r\n";
  return text;
}

class FrmEbbmarkTest : public ::testing::Test {
 protected:
  asio::io_context io;
  ManualClock clock;
  FakeFileSystem fs;
  SettingsRecord settings;
  FakeServiceControl service;
  PolledServiceWatch watch{service, kServiceName, nullptr};
  ScriptedDialogs dialogs;
  FakeShell shell;
  FakeTcpClient tcp;
  FakeInstanceCheck instance;
  FakeSecretStore secrets;
  int ended = 0;
  std::unique_ptr<FrmEbbmark> frm;

  void Make() {
    frm.reset();
    ConfigContext ctx{io,      clock, fs,  kIni,     settings, watch,
                      dialogs, shell, tcp, instance, kHelp,    [this] { ++ended; }};
    ctx.secrets = &secrets;
    frm = std::make_unique<FrmEbbmark>(std::move(ctx));
  }

  // Starts the program as a user would, with the service installed (and
  // perhaps running) or not, and the given settings file (none when empty).
  void Start(bool installed, bool running = false, const std::string& ini = "",
             PrivilegedWriter* privileged_writer = nullptr) {
    service.installed = installed;
    service.running = running;
    if (!ini.empty()) fs.Put(kIni, ini);
    Make();
    frm->UsePrivilegedWriter(privileged_writer);
    frm->Form_Load();
  }

  std::optional<std::string> Key(const std::string& key) const {
    const auto it = fs.files.find(kIni);
    if (it == fs.files.end()) return std::nullopt;
    std::istringstream in(it->second);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    }
    return std::nullopt;
  }

  bool SaveEnabled() const { return frm->oToolbar.ButtonEnabled(1); }

  // The link to a relay at relay.local, up and past its greeting.
  void Connect() {
    frm->tmrConnection_Timer();
    tcp.Accept();
    tcp.Send("Trellan relay (1.4.02.b1)\r\n");
  }
};

// ------------------------------------------------------------------ start-up

TEST_F(FrmEbbmarkTest, FirstStartWithTheServiceCreatesTheFileWithDefaults) {
  Start(/*installed=*/true);

  EXPECT_TRUE(frm->Visible());
  EXPECT_EQ(frm->Caption(), "Ebbmark");
  EXPECT_TRUE(dialogs.shown.empty());
  const std::map<std::string, std::string> expected{
      {"UDPBPort", "8466"},  {"TCPHost", ""}, {"TCPPort", "8467"},   {"InverterAddress", "0"},
      {"ShutdownType", "0"}, {"Force", "1"},  {"SDVoltage", "9"},    {"SDTimer", "0"},
      {"SDSOC", "59"},       {"SOCOII", "1"}, {"SMTPHost", ""},      {"SMTPPort", "25"},
      {"SMTPFrom", ""},      {"SMTPTo", ""},  {"EmailOptions", "0"}, {"EmailDelay", "0"},
  };
  for (const auto& [k, v] : expected) EXPECT_EQ(Key(k), v) << k;
  EXPECT_EQ(Key("ExecuteFile"), std::nullopt);
  EXPECT_EQ(Key("ExecuteDelay"), std::nullopt);

  EXPECT_EQ(frm->txtOptBattVoltage.Text(), "n/a");
  EXPECT_EQ(frm->txtOptTimer.Text(), "n/a");
  EXPECT_EQ(frm->txtOptSOC.Text(), "n/a");
  EXPECT_EQ(frm->cboShutdownType.Text(), "Do nothing");
  EXPECT_FALSE(frm->chkForce.Enabled());
  EXPECT_EQ(frm->chkForce.Value(), CheckBox::Checked);
  EXPECT_EQ(frm->cboRunDelay.Text(), "30s");
  EXPECT_FALSE(frm->cboRunDelay.Enabled()) << "no run file yet";
  for (int b = 1; b <= 3; ++b) EXPECT_TRUE(frm->oToolbar.ButtonEnabled(b)) << b;
  EXPECT_TRUE(frm->tmrConnection.Enabled());
  EXPECT_EQ(frm->tmrConnection.Interval(), milliseconds{100});
  EXPECT_FALSE(frm->tmrUpdateDisplay.Enabled());
}

TEST_F(FrmEbbmarkTest, StartWithoutTheServiceLoadsNothingAndWritesNothing) {
  Start(/*installed=*/false, false, Ini({{"SDVoltage", "24"}, {"TCPHost", "relay.local"}}));

  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].title, "Ebbmark Service");
  EXPECT_EQ(dialogs.shown[0].text,
            "The Ebbmark service is not installed! You will not be able to save changes.");
  EXPECT_EQ(dialogs.shown[0].icon, DialogIcon::Information);
  EXPECT_EQ(fs.replace_count, 0);
  EXPECT_EQ(frm->txtOptBattVoltage.Text(), "n/a");
  EXPECT_EQ(settings.TCPHost, "");
  EXPECT_EQ(settings.ExecuteDelay, 0) << "the End entry selected at start-up";
  for (int b = 1; b <= 3; ++b) EXPECT_FALSE(frm->oToolbar.ButtonEnabled(b)) << b;
  EXPECT_TRUE(frm->oToolbar.ButtonEnabled(4));
  EXPECT_TRUE(frm->tmrConnection.Enabled());

  // Edits never enable Save while the Service button is disabled.
  frm->hsbOptSOC.SetValue(80);
  frm->chkOII.Click();
  EXPECT_FALSE(SaveEnabled());
}

TEST_F(FrmEbbmarkTest, AnotherInstanceEndsThisOne) {
  instance.another = true;
  Start(/*installed=*/true);
  EXPECT_FALSE(frm->Visible());
  EXPECT_EQ(fs.replace_count, 0);
  EXPECT_FALSE(frm->tmrConnection.Enabled());
  io.poll();
  EXPECT_EQ(ended, 1);
}

TEST_F(FrmEbbmarkTest, LoadedSettingsShowInTheControls) {
  Start(true, false,
        Ini({{"ShutdownType", "2"},
             {"Force", "0"},
             {"SDVoltage", "24"},
             {"SDTimer", "1"},
             {"SDSOC", "60"},
             {"SOCOII", "0"}}));
  EXPECT_EQ(frm->cboShutdownType.Text(), "Hibernate (if enabled in OS)");
  EXPECT_TRUE(frm->chkForce.Enabled());
  EXPECT_EQ(frm->chkForce.Value(), CheckBox::Unchecked);
  EXPECT_EQ(frm->txtOptBattVoltage.Text(), "24v");
  EXPECT_EQ(frm->hsbOptBattVoltage.Value(), 24);
  EXPECT_EQ(frm->txtOptTimer.Text(), "1 minute");
  EXPECT_EQ(frm->txtOptSOC.Text(), "60%");
  EXPECT_EQ(frm->chkOII.Value(), CheckBox::Unchecked);

  // "Do nothing" disables Force but keeps its tick as it was.
  frm->chkForce.Click();
  frm->cboShutdownType.SetListIndex(0);
  EXPECT_FALSE(frm->chkForce.Enabled());
  EXPECT_EQ(frm->chkForce.Value(), CheckBox::Checked);
  frm->cboShutdownType.SetListIndex(1);
  EXPECT_TRUE(frm->chkForce.Enabled());
  EXPECT_EQ(settings.ShutdownType, 1);
  EXPECT_TRUE(settings.Force);
}

TEST_F(FrmEbbmarkTest, ScrollBarTextsFollowTheirValues) {
  Start(true);
  struct Case {
    ScrollBar& bar;
    TextBox& box;
    int value;
    const char* text;
  };
  const std::vector<Case> cases{
      {frm->hsbOptBattVoltage, frm->txtOptBattVoltage, 24, "24v"},
      {frm->hsbOptBattVoltage, frm->txtOptBattVoltage, 9, "n/a"},
      {frm->hsbOpsTimer, frm->txtOptTimer, 1, "1 minute"},
      {frm->hsbOpsTimer, frm->txtOptTimer, 75, "1 hr 15 mins"},
      {frm->hsbOpsTimer, frm->txtOptTimer, 0, "n/a"},
      {frm->hsbOptSOC, frm->txtOptSOC, 60, "60%"},
      {frm->hsbOptSOC, frm->txtOptSOC, 59, "n/a"},
  };
  for (const auto& c : cases) {
    c.bar.SetValue(c.value);
    EXPECT_EQ(c.box.Text(), c.text) << c.bar.Name() << " " << c.value;
  }
  // Dragging the thumb stores and shows as it goes.
  frm->hsbOptSOC.DragTo(85);
  EXPECT_EQ(frm->txtOptSOC.Text(), "85%");
  EXPECT_EQ(settings.SDSOC, 85);
  frm->hsbOpsTimer.StepLarge(+1);
  EXPECT_EQ(settings.SDTimer, 15);
  EXPECT_EQ(frm->txtOptTimer.Text(), "15 minutes");
}

TEST(FrmEbbmarkConvertMinutes, Table) {
  const std::vector<std::pair<int, const char*>> table{
      {2, "2 minutes"},         {59, "59 minutes"}, {60, "1 hour"},       {61, "1 hr 1 min"},
      {75, "1 hr 15 mins"},     {120, "2 hours"},   {121, "2 hrs 1 min"}, {135, "2 hrs 15 mins"},
      {1439, "23 hrs 59 mins"}, {1440, "24 hours"},
  };
  for (const auto& [minutes, text] : table)
    EXPECT_EQ(FrmEbbmark::ConvertMinutes(minutes), text) << minutes;
}

// ------------------------------------------------------------------ Wait list

TEST_F(FrmEbbmarkTest, UnusualWaitsGetTheirOwnEntryAndKeepTheirValue) {
  struct Case {
    const char* stored;
    const char* entry;
    int position;
    int delay;
  };
  const std::vector<Case> cases{
      {"45", "45s", 1, 45},     {"-1", "-1s", 0, -1},      {"15", "15s", 0, 15},
      {"90", "90s", 2, 90},     {"150", "150s", 2, 150},   {"210", "210s", 3, 210},
      {"240", "4 min", 3, 240}, {"900", "15 min", 5, 900}, {"180", "3 min", 3, 180},
      {"0", "End", 0, 0},
  };
  for (const auto& c : cases) {
    fs.files.clear();
    fs.Put(kRunFile, "#!/bin/sh\n");
    Start(true, false, Ini({{"ExecuteFile", kRunFile}, {"ExecuteDelay", c.stored}}));
    EXPECT_EQ(frm->cboRunDelay.Text(), c.entry) << c.stored;
    EXPECT_EQ(frm->cboRunDelay.ListIndex(), c.position) << c.stored;
    EXPECT_EQ(settings.ExecuteDelay, c.delay) << c.stored;
    // The write-back at start-up keeps the stored value exactly.
    EXPECT_EQ(Key("ExecuteDelay"), std::to_string(c.delay)) << c.stored;
    EXPECT_TRUE(frm->cboRunDelay.Enabled()) << c.stored;
  }
}

TEST_F(FrmEbbmarkTest, ChoosingAWaitStoresItsSeconds) {
  fs.Put(kRunFile, "#!/bin/sh\n");
  Start(true, false, Ini({{"ExecuteFile", kRunFile}, {"ExecuteDelay", "45"}}));
  // 45s sits at position 1, the standard entries one further down.
  const std::vector<std::pair<int, int>> picks{{0, 0}, {1, 45}, {2, 30}, {4, 180}, {6, 600}};
  for (const auto& [index, delay] : picks) {
    frm->cboRunDelay.SetListIndex(index);
    EXPECT_EQ(settings.ExecuteDelay, delay) << frm->cboRunDelay.Text();
  }
  // Loading again adds the same entry once more.
  frm->mnuLoadSettings.Click();
  EXPECT_EQ(frm->cboRunDelay.ListCount(), 8);
  EXPECT_EQ(frm->cboRunDelay.Text(), "45s");
  EXPECT_EQ(frm->cboRunDelay.ListIndex(), 1);
}

// ------------------------------------------------------------------ Save button and save flows

TEST_F(FrmEbbmarkTest, SaveButtonFollowsEditsAndTheirUndoing) {
  Start(true, false, Ini({{"SDSOC", "70"}, {"TCPHost", "relay.local"}}));
  EXPECT_TRUE(SaveEnabled()) << "enabled after start-up";
  frm->oToolbar.ClickButton("Save");  // saved; the question answered No
  EXPECT_FALSE(SaveEnabled());

  frm->hsbOptSOC.SetValue(75);
  EXPECT_TRUE(SaveEnabled());
  frm->hsbOptSOC.SetValue(70);
  EXPECT_FALSE(SaveEnabled());

  frm->chkOII.Click();
  EXPECT_TRUE(SaveEnabled());
  frm->chkOII.Click();
  EXPECT_FALSE(SaveEnabled());

  frm->cboShutdownType.SetListIndex(2);
  EXPECT_TRUE(SaveEnabled());
  frm->cboShutdownType.SetListIndex(0);
  EXPECT_FALSE(SaveEnabled());

  // The email window changes the record; its closing checks again.
  frm->open_email_window = [&](Window& owner) {
    EXPECT_EQ(&owner, frm.get());
    settings.SMTPHost = "mail.example.org";
  };
  frm->oToolbar.ClickButton("Email");
  EXPECT_TRUE(SaveEnabled());
}

TEST_F(FrmEbbmarkTest, SaveWithoutTheServiceSaysTruthfullyThatNothingWasSaved) {
  Start(true);
  const int writes = fs.replace_count;
  service.installed = false;
  frm->hsbOptSOC.SetValue(80);
  frm->oToolbar.ClickButton("Save");
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].title, "Save Settings");
  EXPECT_EQ(dialogs.shown[0].text,
            "The settings have not been saved, because the Ebbmark service is not installed. "
            "Please see the README for instructions.");
  EXPECT_EQ(dialogs.shown[0].buttons, DialogButtons::Ok);
  EXPECT_EQ(fs.replace_count, writes);
  EXPECT_FALSE(SaveEnabled());
}

// A list the length limit cut (a hand-edited file) is saved, and the window
// names the entry the service will drop, in the service's own words.
TEST_F(FrmEbbmarkTest, SaveNamesARecipientTheLengthLimitDrops) {
  Start(true, /*running=*/false);
  std::string to = "admin@example.org, ";
  to += std::string(kAddressListLimit - to.size() - 11, 'b') + "@x.org, ops";
  ASSERT_EQ(to.size(), kAddressListLimit);
  settings.SMTPFrom = "ups@example.org";
  settings.SMTPTo = to;
  frm->mnuSaveSettings.Click();
  ASSERT_FALSE(dialogs.shown.empty());
  EXPECT_EQ(dialogs.shown[0].text,
            "The SMTPTo setting is longer than 254 characters, so \"ops\" at its end was dropped "
            "and gets no email.");
  EXPECT_EQ(dialogs.shown[0].icon, DialogIcon::Warning);
  EXPECT_EQ(Key("SMTPTo"), to) << "the rest of the list is still saved";
}

TEST_F(FrmEbbmarkTest, SaveWhileRunningAsksFirst) {
  Start(true, /*running=*/true);
  const int writes = fs.replace_count;

  frm->hsbOptBattVoltage.SetValue(24);
  dialogs.answers = {DialogAnswer::No};
  frm->oToolbar.ClickButton("Save");
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].title, "Start service");
  EXPECT_EQ(dialogs.shown[0].text,
            "The service is currently running. Your settings will take effect immediately. Are "
            "you sure you want to save?");
  EXPECT_EQ(dialogs.shown[0].buttons, DialogButtons::YesNo);
  EXPECT_EQ(dialogs.shown[0].icon, DialogIcon::Question);
  EXPECT_EQ(fs.replace_count, writes) << "No writes nothing";
  EXPECT_FALSE(SaveEnabled()) << "and still disables Save";

  dialogs.answers = {DialogAnswer::Yes};
  frm->mnuSaveSettings.Click();
  EXPECT_EQ(Key("SDVoltage"), "24");
  ASSERT_EQ(dialogs.shown.size(), 3u);
  EXPECT_EQ(dialogs.shown[2].text, "Settings saved!");
  EXPECT_EQ(dialogs.shown[2].title, "Save Settings");
  EXPECT_EQ(frm->LastSavedSettings().SDVoltage, 24);
  EXPECT_EQ(std::count(service.calls.begin(), service.calls.end(), "start"), 0);
}

TEST_F(FrmEbbmarkTest, SaveWhileStoppedOffersToStartTheService) {
  Start(true);
  frm->hsbOpsTimer.SetValue(30);
  dialogs.answers = {DialogAnswer::Yes};
  frm->oToolbar.ClickButton("Save");
  EXPECT_EQ(Key("SDTimer"), "30");
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].text,
            "Settings saved!\r\n\r\nWould you like to start the Ebbmark service now?");
  EXPECT_EQ(dialogs.shown[0].icon, DialogIcon::Question);
  EXPECT_EQ(std::count(service.calls.begin(), service.calls.end(), "start"), 1);
  EXPECT_FALSE(SaveEnabled());

  service.calls.clear();
  frm->hsbOpsTimer.SetValue(45);
  dialogs.answers = {DialogAnswer::No};
  frm->oToolbar.ClickButton("Save");
  EXPECT_EQ(Key("SDTimer"), "45");
  EXPECT_EQ(std::count(service.calls.begin(), service.calls.end(), "start"), 0);
}

TEST_F(FrmEbbmarkTest, AFailedWriteIsReportedAndSaveStaysAvailable) {
  Start(true);
  fs.read_only_folders.insert("/opt/ebbmark");
  frm->hsbOptSOC.SetValue(80);
  frm->oToolbar.ClickButton("Save");
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].title, "Save Settings");
  EXPECT_EQ(dialogs.shown[0].icon, DialogIcon::Error);
  EXPECT_EQ(Key("SDSOC"), "59");
  EXPECT_TRUE(SaveEnabled());
}

// The administrator's helper as the window sees it: records what it is
// handed and answers as the test says, when the test says (polkit takes
// its time).
class RecordingPrivilegedWriter : public PrivilegedWriter {
 public:
  void Replace(ProtectedFile file, const std::string& path, const std::string& contents,
               Done done) override {
    calls.push_back({file, path, contents});
    pending.push_back(std::move(done));
  }
  // Gives every answer asked for, and those the answers lead to.
  void AnswerAll() {
    for (int i = 0; i < 10 && !pending.empty(); ++i) {
      auto done = std::move(pending.front());
      pending.erase(pending.begin());
      done(answer);
    }
  }
  struct Call {
    ProtectedFile file;
    std::string path;
    std::string contents;
  };
  std::vector<Call> calls;
  std::vector<Done> pending;
  std::error_code answer;
};

TEST_F(FrmEbbmarkTest, ADeniedSaveGoesThroughTheAdministratorsHelper) {
  const std::string other = "[Other]\r\nKeep=me\r\n";
  RecordingPrivilegedWriter writer;
  fs.denied_folders.insert("/opt/ebbmark");
  Start(true, false, other + Ini({{"SDSOC", "70"}}), &writer);
  // The start-up write-back never asks for a password.
  EXPECT_TRUE(writer.calls.empty());

  frm->hsbOptSOC.SetValue(80);
  dialogs.answers = {DialogAnswer::No};
  frm->oToolbar.ClickButton("Save");
  writer.AnswerAll();
  ASSERT_EQ(writer.calls.size(), 1u);
  EXPECT_EQ(writer.calls[0].file, ProtectedFile::Settings);
  EXPECT_EQ(writer.calls[0].path, kIni);
  // The whole file as a save would write it, the other section included.
  EXPECT_EQ(writer.calls[0].contents.rfind(other, 0), 0u);
  EXPECT_NE(writer.calls[0].contents.find("SDSOC=80\r\n"), std::string::npos);
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].text,
            "Settings saved!\r\n\r\nWould you like to start the Ebbmark service now?");
  EXPECT_FALSE(SaveEnabled());
}

TEST_F(FrmEbbmarkTest, ARefusedOrCancelledElevatedSaveIsReportedAsNotSaved) {
  for (const auto error : {PrivilegedWriteError::NotAuthorized, PrivilegedWriteError::Refused,
                           PrivilegedWriteError::NotAvailable}) {
    RecordingPrivilegedWriter writer;
    writer.answer = error;
    fs.denied_folders.insert("/opt/ebbmark");
    dialogs.shown.clear();
    Start(true, false, Ini({{"SDSOC", "70"}}), &writer);
    frm->hsbOptSOC.SetValue(80);
    frm->oToolbar.ClickButton("Save");
    writer.AnswerAll();
    ASSERT_EQ(writer.calls.size(), 1u);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].icon, DialogIcon::Error);
    EXPECT_EQ(dialogs.shown[0].text, "The settings could not be saved to " + std::string(kIni) +
                                         ": " + make_error_code(error).message() + ".");
    EXPECT_TRUE(SaveEnabled()) << "the changes are still unsaved";
  }

  // A file that cannot be written for another reason is no question of rights.
  RecordingPrivilegedWriter writer;
  fs.denied_folders.clear();
  fs.read_only_folders.insert("/opt/ebbmark");
  Start(true, false, Ini({{"SDSOC", "70"}}), &writer);
  frm->hsbOptSOC.SetValue(80);
  frm->oToolbar.ClickButton("Save");
  EXPECT_TRUE(writer.calls.empty());
}

// A password typed in the email window waits in memory and goes into its
// own file with the settings' save, never into the settings file.
TEST_F(FrmEbbmarkTest, SaveWritesAWaitingPasswordBesideTheSettings) {
  const std::string secret = JoinPath("/opt/ebbmark", "smtp.secret");
  Start(true);
  frm->open_email_window = [this](Window&) {
    settings.SMTPUser = "alerts@example.test";
    settings.SMTPPasswordChange = "pa ss";
  };
  frm->oToolbar.ClickButton("Email");
  EXPECT_TRUE(SaveEnabled());
  dialogs.answers = {DialogAnswer::No};
  frm->oToolbar.ClickButton("Save");
  EXPECT_EQ(secrets.files[secret], "pa ss");
  EXPECT_EQ(fs.files[kIni].find("pa ss"), std::string::npos);
  EXPECT_EQ(Key("SMTPUser"), "alerts@example.test");
  EXPECT_TRUE(settings.SMTPPasswordSet);
  EXPECT_FALSE(settings.SMTPPasswordChange);
  EXPECT_FALSE(SaveEnabled());

  frm->open_email_window = [this](Window&) { settings.SMTPPasswordChange = ""; };
  frm->oToolbar.ClickButton("Email");
  dialogs.answers = {DialogAnswer::No};
  frm->oToolbar.ClickButton("Save");
  EXPECT_EQ(secrets.files.count(secret), 0u);
  EXPECT_FALSE(settings.SMTPPasswordSet);
}

TEST_F(FrmEbbmarkTest, APasswordThatCannotBeWrittenIsReportedAndKeptWaiting) {
  Start(true);
  secrets.write_error = std::make_error_code(std::errc::permission_denied);
  settings.SMTPPasswordChange = "pa ss";
  dialogs.answers = {DialogAnswer::Ok, DialogAnswer::No};
  frm->oToolbar.ClickButton("Save");
  ASSERT_GE(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].icon, DialogIcon::Error);
  EXPECT_NE(dialogs.shown[0].text.find("The email password could not be saved to "),
            std::string::npos);
  EXPECT_EQ(dialogs.shown[0].text.find("pa ss"), std::string::npos);
  EXPECT_EQ(settings.SMTPPasswordChange, std::optional<std::string>("pa ss"));
  EXPECT_TRUE(SaveEnabled());
}

// A desktop user may not write root's password file: the administrator's
// helper gets the password (or nothing, to remove it), and a refusal keeps
// it waiting.
TEST_F(FrmEbbmarkTest, ADeniedPasswordGoesThroughTheAdministratorsHelper) {
  const std::string secret = JoinPath("/opt/ebbmark", "smtp.secret");
  RecordingPrivilegedWriter writer;
  Start(true, false, Ini({{"SDSOC", "70"}}), &writer);
  secrets.write_error = std::make_error_code(std::errc::permission_denied);
  settings.SMTPPasswordChange = "pa ss";
  dialogs.answers = {DialogAnswer::No};
  frm->oToolbar.ClickButton("Save");
  writer.AnswerAll();
  ASSERT_EQ(writer.calls.size(), 1u);
  EXPECT_EQ(writer.calls[0].file, ProtectedFile::Secret);
  EXPECT_EQ(writer.calls[0].path, secret);
  EXPECT_EQ(writer.calls[0].contents, "pa ss");
  EXPECT_TRUE(settings.SMTPPasswordSet);
  EXPECT_FALSE(SaveEnabled());

  frm->open_email_window = [this](Window&) { settings.SMTPPasswordChange = ""; };
  frm->oToolbar.ClickButton("Email");
  writer.answer = PrivilegedWriteError::NotAuthorized;
  dialogs.shown.clear();
  dialogs.answers = {DialogAnswer::No, DialogAnswer::Ok};
  frm->oToolbar.ClickButton("Save");
  writer.AnswerAll();
  ASSERT_EQ(writer.calls.size(), 2u);
  EXPECT_EQ(writer.calls[1].contents, "");
  EXPECT_TRUE(std::any_of(dialogs.shown.begin(), dialogs.shown.end(), [&](const auto& d) {
    return d.text.rfind("The email password could not be saved to " + secret, 0) == 0;
  }));
  EXPECT_TRUE(settings.SMTPPasswordSet) << "the old password is still there";
  EXPECT_EQ(settings.SMTPPasswordChange, std::optional<std::string>(""));
}

// polkit may keep its password question open as long as the user likes:
// the window goes on meanwhile, and only Save waits for the answer.
TEST_F(FrmEbbmarkTest, ASaveWaitingForThePasswordKeepsTheWindowLive) {
  RecordingPrivilegedWriter writer;
  fs.denied_folders.insert("/opt/ebbmark");
  Start(true, false, Ini({{"SDSOC", "70"}, {"TCPHost", "relay.local"}}), &writer);
  frm->hsbOptSOC.SetValue(80);
  frm->oToolbar.ClickButton("Save");
  ASSERT_EQ(writer.calls.size(), 1u);
  EXPECT_TRUE(frm->Saving());
  EXPECT_FALSE(SaveEnabled());
  EXPECT_FALSE(frm->mnuSaveSettings.Enabled());
  EXPECT_TRUE(dialogs.shown.empty()) << "nothing is said before the answer";

  // The live display and the other controls carry on.
  Connect();
  tcp.Send(InverterLine(0, 3, 120, 260));
  frm->UpdateDisplay();
  EXPECT_NE(frm->lblACInput.Caption().find("120v AC"), std::string::npos);
  frm->hsbOptBattVoltage.SetValue(20);
  EXPECT_EQ(frm->txtOptBattVoltage.Text(), "20v");
  // A second Save (the menu entry, a shortcut) starts nothing more.
  frm->oToolbar.ClickButton("Save");
  frm->mnuSaveSettings.Click();
  EXPECT_EQ(writer.calls.size(), 1u);

  // Closing now asks first; No keeps the window.
  dialogs.answers = {DialogAnswer::No};
  EXPECT_FALSE(frm->QueryUnload());
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].buttons, DialogButtons::YesNo);
  dialogs.shown.clear();

  dialogs.answers = {DialogAnswer::No};
  writer.AnswerAll();
  EXPECT_FALSE(frm->Saving());
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].text,
            "Settings saved!\r\n\r\nWould you like to start the Ebbmark service now?");
  EXPECT_EQ(frm->LastSavedSettings().SDSOC, 80);
  EXPECT_EQ(frm->LastSavedSettings().SDVoltage, 9) << "written as it was when Save was pressed";
  EXPECT_TRUE(SaveEnabled()) << "the voltage changed while the helper waited";
  EXPECT_TRUE(frm->QueryUnload()) << "nothing to ask once the save is done";
}

TEST_F(FrmEbbmarkTest, TheSignInAndItsPasswordGoThroughTheHelperInOneSave) {
  const std::string secret = JoinPath("/opt/ebbmark", "smtp.secret");
  RecordingPrivilegedWriter writer;
  fs.denied_folders.insert("/opt/ebbmark");
  Start(true, false, Ini({{"SDSOC", "70"}}), &writer);
  secrets.write_error = std::make_error_code(std::errc::permission_denied);
  settings.SMTPUser = "alerts@example.test";
  settings.SMTPSecurity = 1;
  settings.SMTPPasswordChange = "pa ss";
  dialogs.answers = {DialogAnswer::No};
  frm->oToolbar.ClickButton("Save");
  writer.AnswerAll();
  ASSERT_EQ(writer.calls.size(), 2u);
  EXPECT_EQ(writer.calls[0].file, ProtectedFile::Settings);
  EXPECT_NE(writer.calls[0].contents.find("SMTPUser=alerts@example.test\r\n"), std::string::npos);
  EXPECT_NE(writer.calls[0].contents.find("SMTPSecurity=1\r\n"), std::string::npos);
  EXPECT_EQ(writer.calls[0].contents.find("pa ss"), std::string::npos);
  EXPECT_EQ(writer.calls[1].file, ProtectedFile::Secret);
  EXPECT_EQ(writer.calls[1].path, secret);
  EXPECT_EQ(writer.calls[1].contents, "pa ss");
  EXPECT_TRUE(settings.SMTPPasswordSet);
  EXPECT_FALSE(settings.SMTPPasswordChange);
  ASSERT_EQ(dialogs.shown.size(), 1u) << "one answer for the whole save";
  EXPECT_FALSE(SaveEnabled());
}

// The network window opens from the toolbar and the File menu once the
// settings are loaded; what it changes is offered for saving, and its
// password goes into nut.secret through the administrator's helper, in the
// same save as the mail password.
TEST_F(FrmEbbmarkTest, TheNetworkWindowAndItsPassword) {
  const std::string mail_secret = JoinPath("/opt/ebbmark", "smtp.secret");
  const std::string nut_secret = JoinPath("/opt/ebbmark", "nut.secret");
  RecordingPrivilegedWriter writer;
  fs.denied_folders.insert("/opt/ebbmark");
  Start(true, false, Ini({{"SDSOC", "70"}}), &writer);
  EXPECT_TRUE(frm->oToolbar.ButtonEnabled(5));
  EXPECT_EQ(frm->oToolbar.Button(5)->key, "Network");
  EXPECT_TRUE(frm->mnuNetwork.Enabled());
  int opened = 0;
  frm->open_network_window = [&](Window& owner) {
    EXPECT_EQ(&owner, frm.get());
    ++opened;
  };
  frm->mnuNetwork.Click();
  frm->oToolbar.ClickButton("Network");
  EXPECT_EQ(opened, 2);
  EXPECT_FALSE(SaveEnabled()) << "nothing changed";

  // Every setting of the window counts as a change.
  for (const auto& change : std::vector<std::function<void(SettingsRecord&)>>{
           [](SettingsRecord& r) { r.NUTListen = "off"; },
           [](SettingsRecord& r) { r.NUTPort = 3494; },
           [](SettingsRecord& r) { r.NUTName = "ups"; },
           [](SettingsRecord& r) { r.NUTUser = "monuser"; },
           [](SettingsRecord& r) { r.NUTHostSync = 30; },
           [](SettingsRecord& r) { r.NUTPasswordChange = "x"; },
       }) {
    const SettingsRecord before = settings;
    frm->open_network_window = [&](Window&) { change(settings); };
    frm->oToolbar.ClickButton("Network");
    EXPECT_TRUE(SaveEnabled());
    settings = before;
    frm->open_network_window = [](Window&) {};
    frm->oToolbar.ClickButton("Network");
    EXPECT_FALSE(SaveEnabled());
  }

  secrets.write_error = std::make_error_code(std::errc::permission_denied);
  settings.SMTPUser = "alerts@example.test";
  settings.SMTPPasswordChange = "mail pass";
  settings.NUTUser = "monuser";
  settings.NUTPasswordChange = "secret";
  dialogs.answers = {DialogAnswer::No};
  frm->mnuSaveSettings.Click();
  writer.AnswerAll();
  writer.AnswerAll();
  writer.AnswerAll();
  ASSERT_EQ(writer.calls.size(), 3u);
  EXPECT_NE(writer.calls[0].contents.find("NUTUser=monuser\r\n"), std::string::npos);
  EXPECT_EQ(writer.calls[0].contents.find("secret"), std::string::npos);
  EXPECT_EQ(writer.calls[1].path, mail_secret);
  EXPECT_EQ(writer.calls[1].contents, "mail pass");
  EXPECT_EQ(writer.calls[2].file, ProtectedFile::Secret);
  EXPECT_EQ(writer.calls[2].path, nut_secret);
  EXPECT_EQ(writer.calls[2].contents, "secret");
  EXPECT_TRUE(settings.NUTPasswordSet);
  EXPECT_FALSE(settings.NUTPasswordChange);
  EXPECT_TRUE(settings.SMTPPasswordSet);
  EXPECT_FALSE(SaveEnabled());

  // A refused NUT password is said, named, and kept waiting.
  fs.denied_folders.clear();  // the settings file itself may be written
  frm->open_network_window = [this](Window&) { settings.NUTPasswordChange = "other"; };
  frm->oToolbar.ClickButton("Network");
  writer.answer = PrivilegedWriteError::NotAuthorized;
  dialogs.shown.clear();
  dialogs.answers = {DialogAnswer::No, DialogAnswer::Ok};
  frm->oToolbar.ClickButton("Save");
  writer.AnswerAll();
  writer.AnswerAll();
  EXPECT_TRUE(std::any_of(dialogs.shown.begin(), dialogs.shown.end(), [&](const auto& d) {
    return d.text.rfind("The NUT password could not be saved to " + nut_secret, 0) == 0 &&
           d.text.find("other") == std::string::npos;
  }));
  EXPECT_EQ(settings.NUTPasswordChange, std::optional<std::string>("other"));
  EXPECT_TRUE(SaveEnabled());
}

// A value the next load would not read back is refused at Save with the
// label the user knows and the range, and nothing is written.
TEST_F(FrmEbbmarkTest, SaveRefusesAValueOutsideItsRange) {
  Start(true);
  const int writes = fs.replace_count;
  struct Case {
    std::function<void(SettingsRecord&)> set;
    std::string says;
  };
  for (const Case& c : std::vector<Case>{
           {[](SettingsRecord& r) { r.SMTPPort = 70000; },
            "\"Port\" in the email window must be between 1 and 65535 (it is 70000)"},
           {[](SettingsRecord& r) { r.SMTPPort = 0; }, "between 1 and 65535 (it is 0)"},
           {[](SettingsRecord& r) { r.EmailDelay = 61; }, "\"Email delay\""},
           {[](SettingsRecord& r) { r.TCPPort = 65536; }, "\"Relay Port\""},
       }) {
    const SettingsRecord before = settings;
    c.set(settings);
    dialogs.shown.clear();
    frm->mnuSaveSettings.Click();
    EXPECT_EQ(fs.replace_count, writes) << c.says;
    ASSERT_EQ(dialogs.shown.size(), 1u) << c.says;
    EXPECT_EQ(dialogs.shown[0].icon, DialogIcon::Warning);
    EXPECT_NE(dialogs.shown[0].text.find(c.says), std::string::npos) << dialogs.shown[0].text;
    EXPECT_EQ(dialogs.shown[0].text.find("SMTPPort"), std::string::npos);
    settings = before;
  }
  // The edges themselves are fine.
  settings.SMTPPort = 65535;
  dialogs.answers = {DialogAnswer::No};
  frm->mnuSaveSettings.Click();
  EXPECT_EQ(fs.replace_count, writes + 1);
  EXPECT_EQ(Key("SMTPPort"), "65535");
}

// A service manager that cannot be asked, as on a computer without a
// system bus.
class UnreachableServiceWatch final : public ServiceWatch {
 public:
  ServiceState State() const override { return ServiceState::Unreachable; }
  std::string UnreachableReason() const override { return "there is no system bus to ask it on"; }
  void Start(std::function<void(bool)> done) override { done(false); }
  void Stop(std::function<void(bool)> done) override { done(false); }
};

TEST_F(FrmEbbmarkTest, AServiceManagerThatCannotBeAskedIsNoReasonToHideTheSettings) {
  UnreachableServiceWatch unreachable;
  fs.Put(kIni, Ini({{"SDSOC", "70"}, {"SMTPHost", "mail.example.org"}}));
  ConfigContext ctx{io,      clock, fs,  kIni,     settings, unreachable,
                    dialogs, shell, tcp, instance, kHelp,    [this] { ++ended; }};
  ctx.secrets = &secrets;
  RecordingPrivilegedWriter writer;
  fs.denied_folders.insert("/opt/ebbmark");
  frm = std::make_unique<FrmEbbmark>(std::move(ctx));
  frm->UsePrivilegedWriter(&writer);
  frm->Form_Load();

  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].text.find("not installed"), std::string::npos);
  EXPECT_NE(dialogs.shown[0].text.find("Could not ask the service manager"), std::string::npos);
  EXPECT_NE(dialogs.shown[0].text.find("there is no system bus"), std::string::npos);
  EXPECT_EQ(frm->txtOptSOC.Text(), "70%") << "the file's settings are shown";
  EXPECT_EQ(settings.SMTPHost, "mail.example.org");
  EXPECT_FALSE(frm->oToolbar.ButtonEnabled(2)) << "nothing to start or stop";
  EXPECT_TRUE(frm->oToolbar.ButtonEnabled(3));
  frm->UpdateDisplay();
  EXPECT_EQ(frm->oStatusBar.Panel(1).text, ebbmark_texts::kServiceUnreachable);

  // Save still goes through the helper; there is no service to offer starting.
  dialogs.shown.clear();
  frm->hsbOptSOC.SetValue(80);
  frm->oToolbar.ClickButton("Save");
  writer.AnswerAll();
  ASSERT_EQ(writer.calls.size(), 1u);
  EXPECT_NE(writer.calls[0].contents.find("SDSOC=80\r\n"), std::string::npos);
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].text, "Settings saved!");
  frm.reset();
}

TEST_F(FrmEbbmarkTest, ServiceInstalledLaterDoesNotLetDefaultsOverwriteTheFile) {
  Start(false, false, Ini({{"SMTPHost", "mail.example.org"}, {"TCPHost", "relay.local"}}));
  service.installed = true;
  frm->mnuSaveSettings.Click();
  EXPECT_EQ(fs.replace_count, 0);
  EXPECT_EQ(Key("SMTPHost"), "mail.example.org");
  ASSERT_EQ(dialogs.shown.size(), 2u);
  EXPECT_EQ(dialogs.shown[1].title, "Save Settings");

  // Loading the settings first makes the save possible.
  frm->mnuLoadSettings.Click();
  frm->mnuSaveSettings.Click();
  EXPECT_EQ(fs.replace_count, 1);
  EXPECT_EQ(Key("SMTPHost"), "mail.example.org");
}

// ------------------------------------------------------------------ run file

TEST_F(FrmEbbmarkTest, RunFileBoxValidatesAndStoresOnlyExistingFiles) {
  fs.Put(kRunFile, "#!/bin/sh\n");
  Start(true);
  frm->txtExecute.SetText(kRunFile);
  EXPECT_EQ(frm->txtExecute.BackColour(), kGreen);
  EXPECT_EQ(settings.ExecuteFile, kRunFile);
  EXPECT_TRUE(frm->cboRunDelay.Enabled());

  frm->txtExecute.SetText("/home/op/missing.sh");
  EXPECT_EQ(frm->txtExecute.BackColour(), kRed);
  EXPECT_EQ(settings.ExecuteFile, kRunFile) << "the last valid path is kept";
  EXPECT_FALSE(frm->cboRunDelay.Enabled());

  for (const char* bad : {"/ho", "/home/op/"}) {
    frm->txtExecute.SetText(bad);
    EXPECT_EQ(frm->txtExecute.BackColour(), kRed) << bad;
  }
  frm->txtExecute.SetText(kRunFile);
  frm->txtExecute.LostFocus();
  EXPECT_TRUE(SaveEnabled());
}

TEST_F(FrmEbbmarkTest, ARunFileTheServiceCouldNotStartIsWarnedAboutOnceWhenChosen) {
  fs.Put(kRunFile, "#!/bin/sh\n");
  fs.Put("/home/op/notes.txt", "");
  fs.not_executable.insert("/home/op/notes.txt");
  Start(true);
  dialogs.shown.clear();

  frm->txtExecute.SetText(kRunFile);
  frm->txtExecute.LostFocus();
  EXPECT_TRUE(dialogs.shown.empty()) << "an executable file is fine";

  frm->txtExecute.SetText("/home/op/notes.txt");
  frm->txtExecute.LostFocus();
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].title, "Run File");
  EXPECT_EQ(dialogs.shown[0].text.rfind("The run file /home/op/notes.txt is not executable.", 0),
            0u);
  EXPECT_EQ(settings.ExecuteFile, "/home/op/notes.txt") << "a warning, not a refusal";

  frm->txtExecute.LostFocus();
  EXPECT_EQ(dialogs.shown.size(), 1u) << "said once per file";
  frm->txtExecute.SetText("/home/op/missing.sh");
  frm->txtExecute.LostFocus();
  EXPECT_EQ(dialogs.shown.size(), 1u) << "a missing file is shown red instead";
}

TEST_F(FrmEbbmarkTest, SaveRefusesAnAddressTheServiceCouldNotUse) {
  Start(true);
  const int writes = fs.replace_count;
  for (const auto& [from, to, setting] : std::vector<std::array<std::string, 3>>{
           {"ups\x1b@example.org", "admin@example.org", "From Address"},
           {"ups@example.org", "admin@example.org NOTIFY=NEVER", "To Address"},
       }) {
    dialogs.shown.clear();
    settings.SMTPFrom = from;
    settings.SMTPTo = to;
    frm->mnuSaveSettings.Click();
    EXPECT_EQ(fs.replace_count, writes) << setting;
    ASSERT_EQ(dialogs.shown.size(), 1u) << setting;
    EXPECT_EQ(dialogs.shown[0].title, "Save Settings");
    // The label the user sees, never the key of the file.
    EXPECT_NE(
        dialogs.shown[0].text.find("the \"" + setting + "\" of the email window is not a usable"),
        std::string::npos)
        << dialogs.shown[0].text;
  }
  settings.SMTPFrom = "UPS <ups@example.org>";
  settings.SMTPTo = "a@example.org, B <b@example.org>";
  frm->mnuSaveSettings.Click();
  EXPECT_EQ(fs.replace_count, writes + 1);
}

TEST_F(FrmEbbmarkTest, BrowseChoosesTheRunFileAsIfTyped) {
  fs.Put(kRunFile, "#!/bin/sh\n");
  fs.Put("/home/op/notes.txt", "");
  fs.not_executable.insert("/home/op/notes.txt");
  Start(true);
  EXPECT_FALSE(frm->cmdBrowse.Visible()) << "no chooser, no button";
  testing::FakeFileChooser chooser;
  frm->UseFileChooser(&chooser);
  ASSERT_TRUE(frm->cmdBrowse.Visible());
  EXPECT_EQ(frm->cmdBrowse.Caption(), "Browse…");
  dialogs.shown.clear();

  // Cancelled: nothing changes.
  frm->cmdBrowse.Click();
  ASSERT_EQ(chooser.asked.size(), 1u);
  EXPECT_EQ(chooser.asked[0].first, "Choose the run file");
  EXPECT_EQ(chooser.asked[0].second, "");
  EXPECT_EQ(frm->txtExecute.Text(), "");
  EXPECT_EQ(settings.ExecuteFile, "");

  chooser.answers = {std::string(kRunFile), std::string("/home/op/notes.txt")};
  frm->cmdBrowse.Click();
  EXPECT_EQ(frm->txtExecute.Text(), kRunFile);
  EXPECT_EQ(frm->txtExecute.BackColour(), kGreen);
  EXPECT_EQ(settings.ExecuteFile, kRunFile);
  EXPECT_TRUE(SaveEnabled()) << "a chosen file is an edit to save";
  EXPECT_TRUE(dialogs.shown.empty());

  // The chooser opens where the box points; a file the service would not
  // start is warned about at once, as when typed and left.
  frm->cmdBrowse.Click();
  EXPECT_EQ(chooser.asked.back().second, kRunFile);
  EXPECT_EQ(settings.ExecuteFile, "/home/op/notes.txt");
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].title, "Run File");
}

TEST_F(FrmEbbmarkTest, ClearingTheRunFileBoxRemovesTheRunFileOnSave) {
  fs.Put(kRunFile, "#!/bin/sh\n");
  Start(true, false, Ini({{"ExecuteFile", kRunFile}, {"ExecuteDelay", "60"}}));
  frm->oToolbar.ClickButton("Save");
  EXPECT_FALSE(SaveEnabled());

  frm->txtExecute.SetText("");
  frm->txtExecute.LostFocus();
  EXPECT_EQ(frm->txtExecute.BackColour(), kInitial);
  EXPECT_TRUE(SaveEnabled());
  frm->oToolbar.ClickButton("Save");
  EXPECT_EQ(Key("ExecuteFile"), std::nullopt);
  EXPECT_EQ(Key("ExecuteDelay"), std::nullopt);
}

TEST_F(FrmEbbmarkTest, ARunFileThatVanishedStaysInTheFile) {
  Start(true, false, Ini({{"ExecuteFile", kRunFile}, {"ExecuteDelay", "60"}}));
  EXPECT_EQ(frm->txtExecute.Text(), "");
  frm->hsbOptSOC.SetValue(80);
  frm->oToolbar.ClickButton("Save");
  EXPECT_EQ(Key("SDSOC"), "80");
  EXPECT_EQ(Key("ExecuteFile"), kRunFile);
  EXPECT_EQ(Key("ExecuteDelay"), "60");
}

// ------------------------------------------------------------------ menus

TEST_F(FrmEbbmarkTest, MenusAndOnlineHelp) {
  Start(true);
  ASSERT_EQ(frm->Menus().size(), 2u);
  std::vector<std::string> file;
  for (const auto* m : frm->mnuFile.Entries()) file.push_back(m->Caption());
  EXPECT_EQ(file, (std::vector<std::string>{"Settings", "Network", "-", "Exit"}));

  frm->mnuOnlineHelp.Click();
  EXPECT_EQ(shell.opened, (std::vector<std::string>{kHelp}));
  EXPECT_TRUE(dialogs.shown.empty());

  shell.succeed = false;
  frm->mnuOnlineHelp.Click();
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].title, "Error opening default browser");
  EXPECT_EQ(dialogs.shown[0].text,
            "Could not open default browser. Please contact support for assistance.");
  EXPECT_EQ(dialogs.shown[0].icon, DialogIcon::Warning);

  int about = 0;
  frm->open_about = [&](Window&) { ++about; };
  frm->mnuAbout.Click();
  EXPECT_EQ(about, 1);
}

TEST_F(FrmEbbmarkTest, ExitClosesTheLinkAndEndsOnce) {
  Start(true, false, Ini({{"TCPHost", "relay.local"}}));
  Connect();
  frm->mnuExit.Click();
  frm->Close();  // the window's own close after the menu's exit
  EXPECT_EQ(tcp.State(), kSockClosed);
  EXPECT_FALSE(frm->tmrConnection.Enabled());
  EXPECT_FALSE(frm->tmrUpdateDisplay.Enabled());
  io.poll();
  EXPECT_EQ(ended, 1);
}

TEST_F(FrmEbbmarkTest, DesignCaptionsAreSpelledRight) {
  Start(true);
  EXPECT_EQ(frm->lblInverterDetected.Caption(), "Inverter Detected ");
  EXPECT_EQ(frm->lblInverterAddress.Caption(), "Inverter Address:");
  EXPECT_EQ(frm->chkOII.Caption(), "  O.I.I.");
  EXPECT_EQ(frm->fraSettings.Geometry(), (Rect{120, 3600, 4935, 2175}));
  EXPECT_EQ(frm->hsbOptSOC.LargeChange(), 5);
  EXPECT_EQ(frm->oToolbar.Button(4)->key, "Trellan");
  EXPECT_EQ(frm->oStatusBar.Panel(1).text, "Service: ");
}

// ------------------------------------------------------------------ the link

TEST_F(FrmEbbmarkTest, WithoutARelayTheSpinnerTurnsAndNothingConnects) {
  Start(true);
  const std::string b = "Trellan not configured...";
  std::vector<std::string> shown;
  for (int i = 0; i < 5; ++i) {
    frm->tmrConnection_Timer();
    shown.push_back(frm->txtTrellanHost.Text());
  }
  EXPECT_EQ(shown, (std::vector<std::string>{b + "- ", b + "\\ ", b + "| ", b + "/ ", b + "- "}));
  EXPECT_EQ(frm->tmrConnection.Interval(), milliseconds{1000});
  EXPECT_TRUE(tcp.connects.empty());
  EXPECT_FALSE(frm->tmrUpdateDisplay.Enabled());
}

TEST_F(FrmEbbmarkTest, TheConnectionTimerRunsOnTheLoop) {
  Start(true);
  // Bounded in count and in wall time; no time is asserted.
  for (int i = 0; i < 200 && frm->txtTrellanHost.Text().empty(); ++i)
    io.run_one_for(milliseconds{20});
  EXPECT_EQ(frm->txtTrellanHost.Text(), "Trellan not configured...- ");
}

TEST_F(FrmEbbmarkTest, AConfiguredRelayIsConnectedAndItsGreetingDropped) {
  Start(true, false, Ini({{"TCPHost", "relay.local"}, {"TCPPort", "9000"}}));
  frm->tmrConnection_Timer();
  ASSERT_EQ(tcp.connects.size(), 1u);
  EXPECT_EQ(tcp.connects[0], (std::pair<std::string, std::int32_t>{"relay.local", 9000}));
  EXPECT_EQ(frm->txtTrellanHost.Text(), "relay.local");
  EXPECT_EQ(frm->tmrConnection.Interval(), milliseconds{10000});
  EXPECT_TRUE(frm->tmrUpdateDisplay.Enabled());
  EXPECT_FALSE(frm->imgConnected.Visible());

  frm->tmrConnection_Timer();  // still connecting: left alone
  EXPECT_EQ(tcp.connects.size(), 1u);

  tcp.Accept();
  EXPECT_TRUE(frm->imgConnected.Visible());
  tcp.Send("Trellan relay (1.4.02.b1)\r\n");
  EXPECT_TRUE(frm->GreetingChecked);
  EXPECT_FALSE(frm->Stream.LastDataStamp);
  EXPECT_TRUE(frm->Stream.RecvBuffer.empty());

  tcp.Send(InverterLine(0, 3, 120, 260));
  EXPECT_EQ(frm->Stream.LastDataStamp, clock.Now());
  frm->UpdateDisplay();
  EXPECT_FALSE(frm->imgInverterNo.Visible());
  EXPECT_EQ(frm->lblInverterAddress.Caption(), "Inverter Address: 0");
  EXPECT_EQ(frm->lblACInput.Caption(), "AC Input: 120v AC");
  EXPECT_EQ(frm->lblInverterCurrent.Caption(), "Inverter Current: 3 A");
  EXPECT_EQ(frm->lblBatteryVoltage.Caption(), "Battery Voltage: 26v");
  EXPECT_TRUE(frm->imgBattery1.Visible());

  tcp.Send(InverterLine(0, 0, 120, 260));
  frm->UpdateDisplay();
  EXPECT_FALSE(frm->imgBattery1.Visible());
}

TEST_F(FrmEbbmarkTest, OnlyTheFirstChunkOfTheProgramsLinkIsCheckedForTheGreeting) {
  Start(true, false, Ini({{"TCPHost", "relay.local"}}));
  frm->tmrConnection_Timer();
  tcp.Accept();
  tcp.Send(InverterLine(1, 2, 118, 250));  // the first chunk is data
  EXPECT_TRUE(frm->Stream.LastDataStamp);

  // The relay closes: the next link's first chunk is examined again.
  tcp.state = kSockClosing;
  tcp.OnClose();
  EXPECT_FALSE(frm->GreetingChecked);
  EXPECT_FALSE(frm->Stream.LastDataStamp);
  EXPECT_EQ(tcp.State(), kSockClosed);
  frm->tmrConnection_Timer();
  EXPECT_EQ(tcp.connects.size(), 2u);
  tcp.Accept();
  tcp.Send("Trellan relay (1.4.02.b1)\r\n");
  EXPECT_TRUE(frm->Stream.RecvBuffer.empty());
}

TEST_F(FrmEbbmarkTest, ASilentLinkIsClosedAfterSixtyWholeSeconds) {
  // A record just before a minute boundary.
  clock.Set(TimePoint{seconds{1'800'000'000 - 1}});
  Start(true, false, Ini({{"TCPHost", "relay.local"}}));
  Connect();
  frm->tmrConnection_Timer();
  EXPECT_EQ(tcp.State(), kSockConnected) << "no line yet: never closed for silence";
  tcp.Send(InverterLine(0, 0, 120, 260));
  const int closes = tcp.closes;

  clock.Advance(seconds{3});  // a minute boundary, but only 3 s
  frm->tmrConnection_Timer();
  EXPECT_EQ(tcp.State(), kSockConnected);
  clock.Advance(seconds{56});  // 59 s
  frm->tmrConnection_Timer();
  EXPECT_EQ(tcp.State(), kSockConnected);
  clock.Advance(seconds{1});  // 60 s
  frm->tmrConnection_Timer();
  EXPECT_EQ(tcp.State(), kSockClosed);
  EXPECT_EQ(tcp.closes, closes + 1);
  EXPECT_EQ(tcp.connects.size(), 1u) << "the reconnect waits for the next tick";

  frm->tmrConnection_Timer();
  EXPECT_EQ(tcp.connects.size(), 2u);
  EXPECT_FALSE(frm->imgConnected.Visible());
}

TEST_F(FrmEbbmarkTest, AFailedConnectIsRetriedOnTheNextTick) {
  Start(true, false, Ini({{"TCPHost", "relay.local"}}));
  frm->tmrConnection_Timer();
  tcp.Refuse();
  EXPECT_TRUE(dialogs.shown.empty());
  frm->tmrConnection_Timer();
  EXPECT_EQ(tcp.connects.size(), 2u);
}

// ------------------------------------------------------------------ the display

TEST_F(FrmEbbmarkTest, AnInverterGoesStaleAfterTenSeconds) {
  Start(true, false, Ini({{"TCPHost", "relay.local"}}));
  Connect();
  tcp.Send(InverterLine(0, 3, 120, 260));
  clock.Advance(seconds{9});
  frm->UpdateDisplay();
  EXPECT_FALSE(frm->imgInverterNo.Visible());
  clock.Advance(seconds{1});
  frm->UpdateDisplay();
  EXPECT_TRUE(frm->imgInverterNo.Visible());
  EXPECT_EQ(frm->Stream.Table.MonitoredAddress, -1);
  EXPECT_EQ(frm->lblACInput.Caption(), "AC Input: 120v AC") << "last values stay";

  // The next inverter heard is adopted.
  tcp.Send(InverterLine(2, 1, 119, 255));
  frm->UpdateDisplay();
  EXPECT_FALSE(frm->imgInverterNo.Visible());
  EXPECT_EQ(frm->lblInverterAddress.Caption(), "Inverter Address: 2");
}

TEST_F(FrmEbbmarkTest, ABatteryMonitorGoesStaleAfterFiveSecondsAndTheSocTriggerStays) {
  Start(true, false, Ini({{"TCPHost", "relay.local"}, {"SDSOC", "70"}}));
  Connect();
  tcp.Send(InverterLine(0, 0, 120, 260) + FndcLine(85, 25));
  frm->UpdateDisplay();
  EXPECT_FALSE(frm->imgFNDCNo.Visible());
  EXPECT_TRUE(frm->fraBatteryMonitor.Visible());
  EXPECT_EQ(frm->lblFNDCStateOfCharge.Caption(), "Battery Charge:  85%");
  EXPECT_EQ(frm->lblFNDCBattTemp.Caption(), "Batt Temp:  25C/77F");
  EXPECT_TRUE(frm->hsbOptSOC.Enabled());

  clock.Advance(seconds{4});
  frm->UpdateDisplay();
  EXPECT_TRUE(frm->fraBatteryMonitor.Visible());
  clock.Advance(seconds{1});
  frm->UpdateDisplay();
  EXPECT_TRUE(frm->imgFNDCNo.Visible());
  EXPECT_FALSE(frm->fraBatteryMonitor.Visible());
  EXPECT_FALSE(frm->hsbOptSOC.Enabled());
  EXPECT_FALSE(frm->txtOptSOC.Enabled());
  EXPECT_FALSE(frm->chkOII.Enabled());
  EXPECT_EQ(settings.SDSOC, 70);
  EXPECT_EQ(frm->txtOptSOC.Text(), "70%");

  dialogs.answers = {DialogAnswer::No};
  frm->mnuSaveSettings.Click();
  EXPECT_EQ(Key("SDSOC"), "70");
}

TEST_F(FrmEbbmarkTest, BatteryTemperatures) {
  Start(true, false, Ini({{"TCPHost", "relay.local"}}));
  Connect();
  const std::vector<std::pair<int, const char*>> temps{{99, "Batt Temp:  No RTS"},
                                                       {-5, "Batt Temp:  -5C/23F"},
                                                       {0, "Batt Temp:  0C/32F"},
                                                       {1, "Batt Temp:  1C/34F"}};
  for (const auto& [temp, text] : temps) {
    tcp.Send(FndcLine(80, temp));
    frm->UpdateDisplay();
    EXPECT_EQ(frm->lblFNDCBattTemp.Caption(), text) << temp;
  }
}

TEST_F(FrmEbbmarkTest, ValidationColoursCompareTriggersWithLiveValues) {
  Start(true, false, Ini({{"TCPHost", "relay.local"}}));
  Connect();
  tcp.Send(InverterLine(0, 0, 120, 260) + FndcLine(80));
  frm->UpdateDisplay();
  EXPECT_EQ(frm->txtOptBattVoltage.BackColour(), kInitial) << "n/a keeps its colour";
  EXPECT_EQ(frm->txtOptSOC.BackColour(), kInitial);

  const std::vector<std::pair<int, Colour>> volts{{26, kGreen}, {25, kGreen}, {27, kRed}};
  for (const auto& [v, colour] : volts) {
    frm->hsbOptBattVoltage.SetValue(v);
    EXPECT_EQ(frm->txtOptBattVoltage.BackColour(), colour) << v;
  }
  const std::vector<std::pair<int, Colour>> socs{{80, kGreen}, {81, kRed}, {60, kGreen}};
  for (const auto& [v, colour] : socs) {
    frm->hsbOptSOC.SetValue(v);
    EXPECT_EQ(frm->txtOptSOC.BackColour(), colour) << v;
  }
  frm->hsbOptBattVoltage.SetValue(9);
  EXPECT_EQ(frm->txtOptBattVoltage.BackColour(), kInitial);
}

TEST_F(FrmEbbmarkTest, TheActionPictureBlinksWhileATriggerIsReached) {
  struct Case {
    int type;
    Image FrmEbbmark::*blinking;
    Image FrmEbbmark::*hidden;
  };
  const std::vector<Case> cases{
      {0, &FrmEbbmark::imgHibernate, &FrmEbbmark::imgShutdown2},
      {1, &FrmEbbmark::imgShutdown2, &FrmEbbmark::imgHibernate},
      {2, &FrmEbbmark::imgHibernate, &FrmEbbmark::imgShutdown2},
  };
  for (const auto& c : cases) {
    Start(true, false, Ini({{"TCPHost", "relay.local"}, {"SOCOII", "0"}}));
    Connect();
    frm->cboShutdownType.SetListIndex(c.type);
    frm->hsbOptSOC.SetValue(80);
    std::vector<bool> seen;
    for (int i = 0; i < 4; ++i) {
      tcp.Send(InverterLine(0, 0, 120, 260) + FndcLine(70));
      frm->UpdateDisplay();
      seen.push_back(((*frm).*c.blinking).Visible());
      EXPECT_FALSE(((*frm).*c.hidden).Visible()) << c.type;
      clock.Advance(seconds{1});
    }
    EXPECT_EQ(seen, (std::vector<bool>{true, false, true, false})) << c.type;

    // Above the trigger again: both pictures hidden.
    tcp.Send(InverterLine(0, 0, 120, 260) + FndcLine(90));
    frm->UpdateDisplay();
    frm->UpdateDisplay();
    EXPECT_FALSE(frm->imgHibernate.Visible());
    EXPECT_FALSE(frm->imgShutdown2.Visible());
  }
}

TEST_F(FrmEbbmarkTest, StatusBarShowsTheServiceAndTheLink) {
  Start(true, false, Ini({{"TCPHost", "relay.local"}}));
  frm->oToolbar.ClickButton("Save");
  frm->UpdateDisplay();
  EXPECT_EQ(frm->oStatusBar.Panel(1), (StatusPanel{"Service: Stopped ", 13, 2400}));
  EXPECT_EQ(frm->oStatusBar.Panel(2).text, "Not Connected");

  service.running = true;
  frm->tmrConnection_Timer();
  tcp.Accept();
  frm->UpdateDisplay();
  EXPECT_EQ(frm->oStatusBar.Panel(1).text, "Service: Running ");
  EXPECT_EQ(frm->oStatusBar.Panel(1).image, 3);
  EXPECT_EQ(frm->oStatusBar.Panel(2).text, "Connected, no data yet");

  tcp.Send(InverterLine(0, 0, 120, 260));
  frm->UpdateDisplay();
  EXPECT_EQ(frm->oStatusBar.Panel(2).text, FormatLocalStamp(clock.Now().wall));

  service.installed = service.running = false;
  frm->UpdateDisplay();
  EXPECT_EQ(frm->oStatusBar.Panel(1).text, "Service: Not Installed ");
  EXPECT_EQ(frm->oStatusBar.Panel(1).image, 4);
  EXPECT_FALSE(frm->oToolbar.ButtonEnabled(2));
  frm->hsbOptSOC.SetValue(90);
  EXPECT_FALSE(SaveEnabled()) << "Save is left alone while Service is disabled";

  service.installed = true;
  frm->UpdateDisplay();
  EXPECT_TRUE(frm->oToolbar.ButtonEnabled(2));
}

TEST_F(FrmEbbmarkTest, ARelayThatSaysNothingIsShownAsSuch) {
  Start(true, false, Ini({{"TCPHost", "relay.local"}}));
  frm->tmrConnection_Timer();
  tcp.Accept();
  frm->UpdateDisplay();
  EXPECT_TRUE(frm->imgConnected.Visible());
  EXPECT_EQ(frm->oStatusBar.Panel(2).text, ebbmark_texts::kConnectedNoData);
  // A greeting, or a line of no known kind, is no data either.
  tcp.Send("Trellan relay ready\r\n");
  tcp.Send("XYZZY,1,2,3\r\n");
  frm->UpdateDisplay();
  EXPECT_EQ(frm->oStatusBar.Panel(2).text, ebbmark_texts::kConnectedNoData);

  // The relay hangs up after a record; the next link starts with no data.
  tcp.Send(InverterLine(0, 0, 120, 260));
  tcp.state = kSockClosing;
  tcp.OnClose();
  clock.Advance(seconds{10});
  frm->tmrConnection_Timer();
  frm->UpdateDisplay();
  EXPECT_EQ(frm->oStatusBar.Panel(2).text, ebbmark_texts::kNotConnected);
  tcp.Accept();
  frm->UpdateDisplay();
  EXPECT_EQ(frm->oStatusBar.Panel(2).text, ebbmark_texts::kConnectedNoData);
  tcp.Send(InverterLine(0, 0, 120, 260));
  frm->UpdateDisplay();
  EXPECT_EQ(frm->oStatusBar.Panel(2).text, FormatLocalStamp(clock.Now().wall));
}

// ------------------------------------------------------------------ finder and address

TEST_F(FrmEbbmarkTest, LookingForARelayKeepsTheTriggerLevels) {
  Start(true, false,
        Ini({{"TCPHost", "old.relay"}, {"SDVoltage", "24"}, {"SDTimer", "30"}, {"SDSOC", "70"}}));
  frm->oToolbar.ClickButton("Save");
  Connect();
  tcp.Send(InverterLine(0, 0, 120, 260));

  bool link_closed_before = false;
  frm->open_finder = [&](Window& owner) {
    EXPECT_EQ(&owner, frm.get());
    link_closed_before = tcp.State() == kSockClosed;
    settings.TCPHost = "new.relay";
    settings.TCPPort = 9100;
  };
  frm->oToolbar.ClickButton("Trellan");
  EXPECT_TRUE(link_closed_before);
  EXPECT_EQ(settings.SDVoltage, 24);
  EXPECT_EQ(settings.SDTimer, 30);
  EXPECT_EQ(settings.SDSOC, 70);
  EXPECT_EQ(frm->txtOptTimer.Text(), "30 minutes");
  EXPECT_TRUE(SaveEnabled());
  EXPECT_TRUE(frm->tmrConnection.Enabled());
  EXPECT_EQ(frm->tmrConnection.Interval(), milliseconds{100});
  EXPECT_FALSE(frm->tmrUpdateDisplay.Enabled());

  frm->tmrConnection_Timer();
  EXPECT_EQ(tcp.connects.back(), (std::pair<std::string, std::int32_t>{"new.relay", 9100}));
  frm->oToolbar.ClickButton("Save");
  EXPECT_EQ(Key("TCPHost"), "new.relay");
  EXPECT_EQ(Key("SDVoltage"), "24");
  EXPECT_EQ(Key("SDTimer"), "30");
  EXPECT_EQ(Key("SDSOC"), "70");
}

TEST_F(FrmEbbmarkTest, ASaveWithNoInverterShownKeepsTheFilesAddress) {
  Start(true, false, Ini({{"TCPHost", "relay.local"}, {"InverterAddress", "3"}}));
  EXPECT_EQ(Key("InverterAddress"), "3");
  frm->open_finder = [](Window&) {};
  frm->oToolbar.ClickButton("Trellan");  // no inverter shown now
  EXPECT_EQ(frm->Stream.Table.MonitoredAddress, -1);
  frm->mnuSaveSettings.Click();
  EXPECT_EQ(Key("InverterAddress"), "3");

  // An inverter heard is saved as it stands.
  Connect();
  tcp.Send(InverterLine(1, 0, 120, 260));
  frm->mnuSaveSettings.Click();
  EXPECT_EQ(Key("InverterAddress"), "1");
}

TEST_F(FrmEbbmarkTest, LoadSettingsStartsTheLiveDisplayOver) {
  Start(true, false, Ini({{"TCPHost", "relay.local"}, {"SDSOC", "70"}}));
  Connect();
  tcp.Send(InverterLine(0, 3, 120, 260) + FndcLine(80));
  frm->UpdateDisplay();
  frm->hsbOptSOC.SetValue(90);

  frm->mnuLoadSettings.Click();
  EXPECT_EQ(tcp.State(), kSockClosed);
  EXPECT_FALSE(frm->Stream.LastDataStamp);
  EXPECT_EQ(frm->lblACInput.Caption(), "AC Input:");
  EXPECT_EQ(frm->lblInverterAddress.Caption(), "Inverter Address: 0") << "keeps its last text";
  EXPECT_TRUE(frm->imgInverterNo.Visible());
  EXPECT_FALSE(frm->fraBatteryMonitor.Visible());
  EXPECT_EQ(frm->oStatusBar.Panel(2).text, "Not Connected");
  EXPECT_EQ(settings.SDSOC, 70) << "reloaded from the file";
  EXPECT_FALSE(SaveEnabled());
  EXPECT_TRUE(frm->tmrConnection.Enabled());
  EXPECT_EQ(frm->tmrConnection.Interval(), milliseconds{100});
}

// Every opening is a fresh window shown over the main window through the
// view's runner; the two windows that work for a while offer the hourglass.
TEST_F(FrmEbbmarkTest, ToolWindowsOpenFreshThroughTheViewsRunner) {
  Start(true);
  testing::ToolWindowRig rig;
  std::vector<std::string> shown;
  std::vector<bool> with_pointer;
  ConnectToolWindows(
      *frm, [&rig] { return rig.Context(); },
      [&](Window& self, Window* owner, std::function<MousePointer()> pointer) {
        EXPECT_EQ(owner, frm.get());
        shown.push_back(self.Name());
        with_pointer.push_back(static_cast<bool>(pointer));
        if (pointer) {
          EXPECT_EQ(pointer(), MousePointer::Default);
        }
      });
  for (int round = 0; round < 2; ++round) {
    frm->open_service_window(*frm);
    frm->open_email_window(*frm);
    frm->open_finder(*frm);
    frm->open_about(*frm);
  }
  const std::vector<std::string> once = {"frmService", "frmEmail", "frmFindServers", "frmAbout"};
  std::vector<std::string> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(shown, twice);
  EXPECT_EQ(with_pointer, (std::vector<bool>{true, true, false, false, true, true, false, false}));
}

// Every picture the main window names has a drawing in config/images, so
// no view can be left with an empty square.
TEST_F(FrmEbbmarkTest, EveryPictureTheWindowNamesHasADrawing) {
  Start(true);
  const auto drawn = [](const char* drawing) {
    if (drawing == nullptr) return false;
    const std::string path = std::string(EBBMARK_SOURCE_DIR) + "/config/images/" + drawing + ".svg";
    return std::ifstream(path).good();
  };
  for (const Control* c : frm->Controls()) {
    if (c->Kind() == ControlKind::Image) {
      const auto& role = static_cast<const Image*>(c)->Picture();
      EXPECT_TRUE(drawn(PictureDrawing(role))) << c->Name() << ": " << role;
    }
  }
  for (const auto& button : frm->oToolbar.Buttons())
    EXPECT_TRUE(drawn(PictureDrawing(button.image))) << button.key;
  EXPECT_TRUE(drawn(PictureDrawing("program")));
  for (int image :
       {FrmEbbmark::kImageRunning, FrmEbbmark::kImageStopped, FrmEbbmark::kImageNotInstalled})
    EXPECT_TRUE(drawn(StatusPictureDrawing(image))) << image;
  EXPECT_EQ(PictureDrawing("no such picture"), nullptr);
  EXPECT_EQ(StatusPictureDrawing(0), nullptr);
}

}  // namespace
}  // namespace ebbmark
