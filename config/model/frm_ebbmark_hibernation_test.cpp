// The main window's warning that "Hibernate" cannot happen on this computer.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/model/frm_ebbmark.h"
#include "tests/support/config_fakes.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/hibernation_fakes.h"
#include "tests/support/service_fakes.h"

namespace ebbmark {
namespace {

using testing::FakeHibernationCheck;

constexpr const char* kIni = "/opt/ebbmark/Ebbmark.ini";
constexpr int kHibernate = 2;
constexpr int kShutdown = 1;

class HibernateWarning : public ::testing::Test {
 protected:
  void Start(const std::string& shutdown_type = "0", HibernationCheck* check = nullptr) {
    service.installed = true;
    fs.Put(kIni, "[EbbmarkSvc]\r\nShutdownType=" + shutdown_type + "\r\n");
    ConfigContext ctx{io,      clock, fs,  kIni,     settings, watch,
                      dialogs, shell, tcp, instance, "",       [] {}};
    frm = std::make_unique<FrmEbbmark>(std::move(ctx));
    frm->UseHibernationCheck(check);
    frm->Form_Load();
  }
  // Where everything of the window stands, to compare before and after.
  std::map<std::string, Rect> Layout() const {
    std::map<std::string, Rect> at;
    for (const Control* c : frm->Controls()) at[c->Name()] = c->Geometry();
    at["(window)"] = Rect{0, 0, frm->Width(), frm->Height()};
    return at;
  }
  bool Warned() const { return frm->lblHibernateWarning.Visible(); }

  asio::io_context io;
  ManualClock clock;
  testing::FakeFileSystem fs;
  SettingsRecord settings;
  testing::FakeServiceControl service;
  PolledServiceWatch watch{service, kServiceName, nullptr};
  testing::ScriptedDialogs dialogs;
  testing::FakeShell shell;
  testing::FakeTcpClient tcp;
  testing::FakeInstanceCheck instance;
  FakeHibernationCheck check;
  std::unique_ptr<FrmEbbmark> frm;
};

TEST_F(HibernateWarning, ShownBesideTheChoiceOnlyWhenTheComputerCannot) {
  Start("0", &check);
  EXPECT_EQ(check.asked, 0);  // nothing to ask while hibernation is not chosen
  EXPECT_FALSE(Warned());
  const auto before = Layout();

  frm->cboShutdownType.SetListIndex(kHibernate);
  EXPECT_EQ(check.asked, 1);
  EXPECT_FALSE(Warned());  // the answer is not there yet
  check.Answer(HibernateSupport::Unable);
  ASSERT_TRUE(Warned());
  EXPECT_EQ(frm->lblHibernateWarning.Caption(),
            "This computer cannot hibernate: the service will shut it down instead.");
  // The choice keeps its caption and its value.
  EXPECT_EQ(frm->cboShutdownType.Text(), "Hibernate (if enabled in OS)");
  EXPECT_EQ(settings.ShutdownType, 2);

  // Right under the action type, with the rows below moved clear of it.
  const Control& warning = frm->lblHibernateWarning;
  EXPECT_GE(warning.Top(), frm->cboShutdownType.Top() + frm->cboShutdownType.Height());
  const int warning_bottom = warning.Top() + warning.Height();
  for (const Control* c :
       {static_cast<const Control*>(&frm->lblOptBattVoltage),
        static_cast<const Control*>(&frm->hsbOptBattVoltage),
        static_cast<const Control*>(&frm->txtOptSOC), static_cast<const Control*>(&frm->chkOII)})
    EXPECT_GE(c->Top(), warning_bottom) << c->Name();
  const auto& settings_frame = frm->fraSettings;
  EXPECT_LE(frm->chkOII.Top() + frm->chkOII.Height(), settings_frame.Height());
  EXPECT_GT(frm->Height(), before.at("(window)").height);
  EXPECT_EQ(frm->fraNetwork.Geometry(), before.at("fraNetwork"));  // the rest stays

  // Another action: the warning goes and everything is back where it was.
  frm->cboShutdownType.SetListIndex(kShutdown);
  EXPECT_FALSE(Warned());
  EXPECT_EQ(Layout(), before);
  // Hibernate again: the last answer shows at once, and is asked afresh.
  frm->cboShutdownType.SetListIndex(kHibernate);
  EXPECT_TRUE(Warned());
  EXPECT_EQ(check.asked, 2);
  check.Answer(HibernateSupport::Able);  // switched on in the meantime
  EXPECT_FALSE(Warned());
  EXPECT_EQ(Layout(), before);
}

TEST_F(HibernateWarning, NoWarningWhenItCanOrCouldNotBeAsked) {
  Start("2", &check);
  EXPECT_EQ(check.asked, 1);  // the loaded choice is asked about
  check.Answer(HibernateSupport::Able);
  EXPECT_FALSE(Warned());
  frm->cboShutdownType.SetListIndex(kHibernate);
  check.Answer(HibernateSupport::Unknown);
  EXPECT_FALSE(Warned());
}

TEST_F(HibernateWarning, LoadedHibernationOnAComputerThatCannot) {
  Start("2", &check);
  check.Answer(HibernateSupport::Unable);
  EXPECT_TRUE(Warned());
  // Loading the same settings again keeps one warning, not two shifts.
  const auto warned = Layout();
  frm->mnuLoadSettings.Click();
  check.Answer(HibernateSupport::Unable);
  EXPECT_TRUE(Warned());
  EXPECT_EQ(Layout(), warned);
}

TEST_F(HibernateWarning, OneQuestionAtATime) {
  Start("0", &check);
  frm->cboShutdownType.SetListIndex(kHibernate);
  frm->cboShutdownType.SetListIndex(kHibernate);
  frm->cboShutdownType.SetListIndex(kHibernate);
  EXPECT_EQ(check.asked, 1);
  check.Answer(HibernateSupport::Unable);
  frm->cboShutdownType.SetListIndex(kHibernate);
  EXPECT_EQ(check.asked, 2);
}

TEST_F(HibernateWarning, AnAnswerAfterTheWindowIsGoneIsDropped) {
  Start("2", &check);
  ASSERT_EQ(check.pending.size(), 1u);
  frm.reset();
  check.Answer(HibernateSupport::Unable);  // under ASan: no use after free
  SUCCEED();
}

TEST_F(HibernateWarning, WithoutACheckNeverWarned) {
  Start("2");
  frm->cboShutdownType.SetListIndex(kHibernate);
  EXPECT_FALSE(Warned());
}

}  // namespace
}  // namespace ebbmark
