// The main window against a stand-in systemd on a private D-Bus: the status
// bar and the buttons follow the unit as systemd reports it, and start-up
// waits for the first answer instead of for a child process.

#include <gtest/gtest.h>

#include "config/model/frm_ebbmark.h"
#include "tests/support/config_fakes.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/service_fakes.h"
#include "tests/support/systemd_stand_in_posix.h"

namespace ebbmark {
namespace {

using testing::RunUntil;

class MainWindowOverDBus : public ::testing::Test {
 protected:
  void SetUp() override {
    if (bus.Address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    ASSERT_TRUE(systemd.Ok());
  }
  void Open() {
    watch = MakeServiceWatch(io, kServiceName, bus.Address());
    frm = std::make_unique<FrmEbbmark>(ConfigContext{io, clock, fs, "/opt/ebbmark/Ebbmark.ini",
                                                     settings, *watch, dialogs, shell, tcp,
                                                     instance, "", [] {}});
    frm->Form_Load();
  }
  bool Shows(const std::string& text) {
    return RunUntil(io, [&] { return frm->oStatusBar.Panel(1).text == text; });
  }

  asio::io_context io;
  testing::PrivateBus bus;
  testing::SystemdStandIn systemd{io, bus.Address()};
  ManualClock clock;
  testing::FakeFileSystem fs;
  SettingsRecord settings;
  testing::ScriptedDialogs dialogs;
  testing::FakeShell shell;
  testing::FakeTcpClient tcp;
  testing::FakeInstanceCheck instance;
  std::unique_ptr<ServiceWatch> watch;
  std::unique_ptr<FrmEbbmark> frm;
};

TEST_F(MainWindowOverDBus, StatusBarFollowsTheUnitWithoutPolling) {
  fs.Put("/opt/ebbmark/Ebbmark.ini", "[EbbmarkSvc]\r\nSDSOC=70\r\n");
  systemd.Install("inactive");
  Open();
  // Start-up has not waited: the settings load when systemd has answered.
  EXPECT_FALSE(frm->oToolbar.ButtonEnabled(2));
  ASSERT_TRUE(Shows("Service: Stopped "));
  EXPECT_TRUE(frm->oToolbar.ButtonEnabled(2));
  EXPECT_TRUE(frm->oToolbar.ButtonEnabled(3));
  EXPECT_EQ(frm->hsbOptSOC.Value(), 70);
  EXPECT_TRUE(frm->tmrConnection.Enabled()) << "the link starts with the loaded relay";
  EXPECT_TRUE(dialogs.shown.empty());

  // No timer of the window runs here: only systemd's signals move it.
  systemd.SetActiveState("activating");
  ASSERT_TRUE(Shows("Service: Starting "));
  systemd.SetActiveState("active");
  ASSERT_TRUE(Shows("Service: Running "));
  EXPECT_EQ(frm->oStatusBar.Panel(1).image, FrmEbbmark::kImageRunning);
  systemd.SetActiveState("inactive");
  ASSERT_TRUE(Shows("Service: Stopped "));
  EXPECT_EQ(frm->oStatusBar.Panel(1).image, FrmEbbmark::kImageStopped);
}

TEST_F(MainWindowOverDBus, InstalledLaterThenLoadedEnablesServiceAndEmail) {
  Open();
  ASSERT_TRUE(Shows("Service: Not Installed "));
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].title, "Ebbmark Service");

  systemd.Install("inactive");
  ASSERT_TRUE(Shows("Service: Stopped "));
  EXPECT_TRUE(frm->oToolbar.ButtonEnabled(2));
  // The email window edits settings: not before they are loaded.
  EXPECT_FALSE(frm->oToolbar.ButtonEnabled(3));
  frm->mnuLoadSettings.Click();
  EXPECT_TRUE(frm->oToolbar.ButtonEnabled(3));

  systemd.Uninstall();
  ASSERT_TRUE(Shows("Service: Not Installed "));
  EXPECT_FALSE(frm->oToolbar.ButtonEnabled(2));
  EXPECT_FALSE(frm->oToolbar.ButtonEnabled(3));
}

TEST_F(MainWindowOverDBus, RefusedStartAfterSaveIsReported) {
  systemd.Install("inactive");
  systemd.refuse_with = "org.freedesktop.DBus.Error.AccessDenied";
  Open();
  ASSERT_TRUE(Shows("Service: Stopped "));
  frm->hsbOpsTimer.SetValue(30);
  dialogs.answers = {DialogAnswer::Yes};
  frm->oToolbar.ClickButton("Save");
  ASSERT_EQ(dialogs.shown.size(), 1u);  // the question; the answer comes later
  ASSERT_TRUE(RunUntil(io, [&] { return dialogs.shown.size() == 2; }));
  EXPECT_EQ(dialogs.shown[1].text, "An error occured starting the Ebbmark service.");
  ASSERT_EQ(systemd.requests.size(), 1u);
  EXPECT_TRUE(systemd.requests[0].interactive);
}

}  // namespace
}  // namespace ebbmark
