#include "config/model/frm_email.h"

#include <memory>

#include <gtest/gtest.h>

#include "tests/support/secret_fakes.h"
#include "tests/support/tool_window_fakes.h"

namespace ebbmark {
namespace {

using testing::Open;
using testing::ToolWindowRig;

class EmailWindow : public ::testing::Test {
 protected:
  EmailWindow() {
    rig.settings.SMTPHost = "mail.saved.example";
    rig.settings.SMTPPort = 587;
    rig.settings.SMTPFrom = "Ebbmark <ebbmark@saved.example>";
    rig.settings.SMTPTo = "owner@saved.example";
    rig.settings.EmailOptions = 2;
  }
  ToolWindowRig rig;
  FrmEmail window{rig.Context()};
};

TEST_F(EmailWindow, DesignedWindow) {
  FrmEmail fresh(rig.Context());
  EXPECT_EQ(fresh.Name(), "frmEmail");
  EXPECT_EQ(fresh.Caption(), "Email Settings");
  EXPECT_EQ(fresh.lblSMTPHost.Caption(), "SMTP Server:");
  EXPECT_EQ(fresh.lblSMTPPort.Caption(), "Port:");
  EXPECT_EQ(fresh.lblFrom.Caption(), "From Address:");
  EXPECT_EQ(fresh.lblTo.Caption(), "To Address:");
  EXPECT_EQ(fresh.txtSMTPPort.Text(), "25");
  EXPECT_EQ(fresh.txtSMTPPort.MaxLength(), 5);
  EXPECT_EQ(fresh.txtTo.MaxLength(), 80);
  EXPECT_EQ(fresh.chkEmailOnPowerEvent.Caption(), "Email power events");
  EXPECT_EQ(fresh.chkEmailOnPowerEvent.ToolTip(),
            "Sends email alerts if AC power failes and when it returns");
  EXPECT_EQ(fresh.chkEmailActionEvents.Caption(), "Email action event");
  EXPECT_EQ(fresh.chkEmailActionEvents.ToolTip(),
            "Sends email alert when shutdown event has been triggered");
  EXPECT_EQ(fresh.cmdTest.Caption(), "Test Email");
}

TEST_F(EmailWindow, OpensWithTheSettingsInMemory) {
  Open(window);
  EXPECT_EQ(window.txtSMTPHost.Text(), "mail.saved.example");
  EXPECT_EQ(window.txtSMTPPort.Text(), "587");
  EXPECT_EQ(window.txtFrom.Text(), "Ebbmark <ebbmark@saved.example>");
  EXPECT_EQ(window.txtTo.Text(), "owner@saved.example");
  EXPECT_EQ(window.chkEmailOnPowerEvent.Value(), CheckBox::Unchecked);
  EXPECT_EQ(window.chkEmailActionEvents.Value(), CheckBox::Checked);
}

TEST_F(EmailWindow, EmailOptionsFollowTheTwoBoxes) {
  for (int options = 0; options <= 3; ++options) {
    // Opening shows the bits ...
    ToolWindowRig r;
    r.settings.EmailOptions = options;
    FrmEmail w(r.Context());
    Open(w);
    EXPECT_EQ(w.chkEmailOnPowerEvent.Value() == CheckBox::Checked, (options & 1) != 0);
    EXPECT_EQ(w.chkEmailActionEvents.Value() == CheckBox::Checked, (options & 2) != 0);
    w.Close();
    EXPECT_EQ(r.settings.EmailOptions, options);

    // ... and clicks make them.
    r.settings.EmailOptions = 0;
    Open(w);
    if (options & 1) w.chkEmailOnPowerEvent.Click();
    if (options & 2) w.chkEmailActionEvents.Click();
    w.Close();
    EXPECT_EQ(r.settings.EmailOptions, options);
  }
}

TEST_F(EmailWindow, ClosingCopiesTheBoxesBack) {
  Open(window);
  window.txtSMTPHost.SetText("smtp.new.example");
  window.txtSMTPPort.SetText("465");
  window.txtFrom.SetText("Shed <shed@new.example>");
  window.txtTo.SetText("me@new.example");
  EXPECT_EQ(rig.settings.SMTPHost, "mail.saved.example");  // only on close
  window.Close();
  EXPECT_EQ(rig.settings.SMTPHost, "smtp.new.example");
  EXPECT_EQ(rig.settings.SMTPPort, 465);
  EXPECT_EQ(rig.settings.SMTPFrom, "Shed <shed@new.example>");
  EXPECT_EQ(rig.settings.SMTPTo, "me@new.example");
}

TEST_F(EmailWindow, TypedBlanksAreDroppedInServerAndRecipientOnly) {
  Open(window);
  for (TextBox* box : {&window.txtSMTPHost, &window.txtTo}) {
    EXPECT_FALSE(box->KeyPress(U' ')) << box->Name();
    EXPECT_TRUE(box->KeyPress(U'x')) << box->Name();
    EXPECT_TRUE(box->KeyPress(U'\u00e9')) << box->Name();
  }
  EXPECT_TRUE(window.txtFrom.KeyPress(U' '));
  EXPECT_TRUE(window.txtSMTPPort.KeyPress(U' '));
  // Asking about a key changes nothing by itself.
  EXPECT_EQ(window.txtSMTPHost.Text(), "mail.saved.example");
}

TEST_F(EmailWindow, ValuesFromTheFileAreShownAndKeptAsTheyAre) {
  // A list written by hand with blanks after its commas: opening and closing
  // the window must not rewrite it (that would look like an unsaved change).
  rig.settings.SMTPTo = "ops@example.org, boss@example.org";
  rig.settings.SMTPHost = "mail.example.org ";
  Open(window);
  EXPECT_EQ(window.txtTo.Text(), "ops@example.org, boss@example.org");
  EXPECT_EQ(window.txtSMTPHost.Text(), "mail.example.org ");
  window.Close();
  EXPECT_EQ(rig.settings.SMTPTo, "ops@example.org, boss@example.org");
  EXPECT_EQ(rig.settings.SMTPHost, "mail.example.org ");
}

TEST_F(EmailWindow, PortTextThatIsNoNumberIsStoredAs25) {
  struct Case {
    const char* text;
    std::int32_t stored;
  };
  const Case cases[] = {
      {"2525", 2525}, {" 465 ", 465}, {"", 25}, {"abc", 25},   {"25a", 25},
      {"-", 25},      {".", 25},      {"0", 0}, {"+587", 587}, {"99999", 99999},
  };
  for (const auto& c : cases) {
    Open(window);
    window.txtSMTPPort.SetText(c.text);
    window.Close();
    EXPECT_EQ(rig.settings.SMTPPort, c.stored) << '"' << c.text << '"';
  }
}

TEST(EmailPortNumber, Table) {
  struct Case {
    const char* text;
    std::optional<std::int32_t> port;
  };
  const Case cases[] = {
      {"25", 25},
      {" 25", 25},
      {"25\t", 25},
      {"2.5", 2},
      {"3.5", 4},
      {"-1", -1},
      {"1.", 1},
      {".5", 0},
      {"", std::nullopt},
      {" ", std::nullopt},
      {"2 5", std::nullopt},
      {"1e3", std::nullopt},
      {"&H19", std::nullopt},
      {"99999999999", std::nullopt},
      {"25;", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(PortNumber(c.text), c.port) << '"' << c.text << '"';
}

TEST_F(EmailWindow, TestMessageUsesTheTypedValues) {
  Open(window);
  window.txtSMTPHost.SetText("smtp.typed.example");
  window.txtSMTPPort.SetText("2525");
  window.txtFrom.SetText("typed@from.example");
  window.txtTo.SetText("typed@to.example");
  rig.mailer.hold = true;
  window.cmdTest.Click();

  ASSERT_EQ(rig.mailer.sent.size(), 1u);
  const MailMessage& m = rig.mailer.sent[0];
  EXPECT_EQ(m.host, "smtp.typed.example");
  EXPECT_EQ(m.port, 2525);
  EXPECT_EQ(m.from, "typed@from.example");
  EXPECT_EQ(m.to, "typed@to.example");
  EXPECT_EQ(m.subject, "[Ebbmark] Test Email");
  EXPECT_EQ(m.body, "This is a test message from Ebbmark running on BENCH-PC.");

  // While the message is on its way the button waits.
  EXPECT_FALSE(window.cmdTest.Enabled());
  EXPECT_EQ(window.Pointer(), MousePointer::Hourglass);
  window.cmdTest.Click();
  EXPECT_EQ(rig.mailer.sent.size(), 1u);

  rig.mailer.Release();
  rig.Poll();
  ASSERT_EQ(rig.dialogs.shown.size(), 1u);
  EXPECT_EQ(rig.dialogs.shown[0].title, "Test Email");
  EXPECT_EQ(rig.dialogs.shown[0].text, "Message sent.");
  EXPECT_EQ(rig.dialogs.shown[0].icon, DialogIcon::None);
  EXPECT_TRUE(window.cmdTest.Enabled());
  EXPECT_EQ(window.Pointer(), MousePointer::Default);
  // The test changes no setting.
  EXPECT_EQ(rig.settings.SMTPHost, "mail.saved.example");
}

TEST_F(EmailWindow, FailedTestNamesTheError) {
  Open(window);
  rig.mailer.result = {false, 67, "Login denied"};
  window.cmdTest.Click();
  rig.Poll();
  ASSERT_EQ(rig.dialogs.shown.size(), 1u);
  EXPECT_EQ(rig.dialogs.shown[0].title, "Test Email");
  EXPECT_EQ(rig.dialogs.shown[0].text,
            "An error occured trying to send email: \r\n\r\n67, Login denied");
  EXPECT_EQ(rig.dialogs.shown[0].icon, DialogIcon::Error);
  EXPECT_TRUE(window.cmdTest.Enabled());
  EXPECT_TRUE(window.Visible());
}

TEST_F(EmailWindow, TestWithAPortThatIsNoNumberFailsWithoutSending) {
  Open(window);
  window.txtSMTPPort.SetText("smtp");
  window.cmdTest.Click();
  EXPECT_TRUE(rig.mailer.sent.empty());
  ASSERT_EQ(rig.dialogs.shown.size(), 1u);
  EXPECT_EQ(rig.dialogs.shown[0].text,
            "An error occured trying to send email: \r\n\r\n13, The SMTP port is not a number");
  EXPECT_EQ(rig.dialogs.shown[0].icon, DialogIcon::Error);
  EXPECT_TRUE(window.cmdTest.Enabled());
}

TEST_F(EmailWindow, ResultAfterTheWindowIsGoneIsDropped) {
  auto w = std::make_unique<FrmEmail>(rig.Context());
  Open(*w);
  rig.mailer.hold = true;
  w->cmdTest.Click();
  w->Close();
  w.reset();
  rig.mailer.Release();
  rig.Poll();
  EXPECT_TRUE(rig.dialogs.shown.empty());
  EXPECT_EQ(rig.settings.SMTPPort, 587);
}

// ---- Sign-in ----

constexpr const char* kSecret = "/opt/ebbmark/smtp.secret";

class EmailSignIn : public EmailWindow {
 protected:
  EmailSignIn() {
    rig.settings.SMTPSecurity = 1;
    rig.settings.SMTPUser = "alerts@saved.example";
    rig.settings.SMTPPasswordSet = true;
    secrets.files[kSecret] = "saved password";
  }
  ToolWindowContext Context() {
    ToolWindowContext c = rig.Context();
    c.secrets = &secrets;
    c.secret_path = kSecret;
    return c;
  }
  testing::FakeSecretStore secrets;
  FrmEmail signed_in{Context()};
};

TEST_F(EmailSignIn, OpensWithTheChoiceAndUserButNeverThePassword) {
  EXPECT_EQ(signed_in.cboSecurity.ListCount(), 3);
  EXPECT_EQ(signed_in.txtPassword.PasswordChar(), '*');
  Open(signed_in);
  EXPECT_EQ(signed_in.cboSecurity.ListIndex(), 1);
  EXPECT_EQ(signed_in.txtUser.Text(), "alerts@saved.example");
  EXPECT_EQ(signed_in.txtPassword.Text(), "");
  EXPECT_EQ(signed_in.lblPasswordState.Caption(), "A password is saved.");
  EXPECT_TRUE(secrets.reads.empty()) << "opening never reads the password";

  rig.settings.SMTPPasswordSet = false;
  signed_in.Close();
  Open(signed_in);
  EXPECT_EQ(signed_in.lblPasswordState.Caption(), "No password is saved.");
}

TEST_F(EmailSignIn, ClosingKeepsATypedPasswordForTheSaveOnly) {
  Open(signed_in);
  signed_in.cboSecurity.SetListIndex(2);
  signed_in.txtUser.SetText("other@saved.example");
  signed_in.Close();
  EXPECT_EQ(rig.settings.SMTPSecurity, 2);
  EXPECT_EQ(rig.settings.SMTPUser, "other@saved.example");
  EXPECT_FALSE(rig.settings.SMTPPasswordChange) << "an empty box keeps the saved password";

  Open(signed_in);
  signed_in.txtPassword.SetText("new one");
  signed_in.Close();
  EXPECT_EQ(rig.settings.SMTPPasswordChange, std::optional<std::string>("new one"));
  Open(signed_in);
  EXPECT_EQ(signed_in.txtPassword.Text(), "");
  EXPECT_EQ(signed_in.lblPasswordState.Caption(), "The new password is saved with the settings.");

  // No user name, no sign-in: the saved password goes with the next save.
  signed_in.txtUser.SetText("");
  signed_in.Close();
  EXPECT_EQ(rig.settings.SMTPPasswordChange, std::optional<std::string>(""));
  EXPECT_EQ(secrets.files[kSecret], "saved password") << "nothing written by the window";
}

TEST_F(EmailSignIn, ALineBreakInUserOrPasswordIsNotKept) {
  Open(signed_in);
  signed_in.txtUser.SetText("alerts\r\nRSET");
  signed_in.txtPassword.SetText(std::string("pa55\0word", 9));
  signed_in.Close();
  EXPECT_EQ(rig.settings.SMTPUser, "alerts@saved.example");
  EXPECT_FALSE(rig.settings.SMTPPasswordChange);
  ASSERT_FALSE(rig.dialogs.shown.empty());
  EXPECT_EQ(rig.dialogs.shown.back().icon, DialogIcon::Error);
  for (const auto& d : rig.dialogs.shown) EXPECT_EQ(d.text.find("pa55"), std::string::npos);
}

TEST_F(EmailSignIn, TestMessageSignsInWithTheTypedOrElseTheSavedPassword) {
  Open(signed_in);
  rig.mailer.hold = true;
  signed_in.cmdTest.Click();
  ASSERT_EQ(rig.mailer.sent.size(), 1u);
  EXPECT_EQ(rig.mailer.sent[0].security, 1);
  EXPECT_EQ(rig.mailer.sent[0].user, "alerts@saved.example");
  EXPECT_EQ(rig.mailer.sent[0].password, "saved password");
  rig.mailer.Release();
  rig.Poll();

  signed_in.txtPassword.SetText("typed");
  signed_in.cboSecurity.SetListIndex(2);
  signed_in.cmdTest.Click();
  ASSERT_EQ(rig.mailer.sent.size(), 2u);
  EXPECT_EQ(rig.mailer.sent[1].security, 2);
  EXPECT_EQ(rig.mailer.sent[1].password, "typed");
}

// On Linux the desktop user cannot read the file the service reads: the
// test says what to do instead of signing in without a password.
TEST_F(EmailSignIn, TestWithoutAUsablePasswordSaysWhatToDo) {
  secrets.unreadable.insert(kSecret);
  Open(signed_in);
  signed_in.cmdTest.Click();
  EXPECT_TRUE(rig.mailer.sent.empty());
  ASSERT_EQ(rig.dialogs.shown.size(), 1u);
  EXPECT_EQ(rig.dialogs.shown[0].text,
            "An error occured trying to send email: \r\n\r\n3, the saved password cannot be "
            "read by this program; type the password to test it");
  EXPECT_TRUE(signed_in.cmdTest.Enabled());

  secrets.unreadable.clear();
  secrets.files.clear();
  signed_in.cmdTest.Click();
  EXPECT_TRUE(rig.mailer.sent.empty());
  EXPECT_NE(rig.dialogs.shown.back().text.find("no password is saved"), std::string::npos);
}

}  // namespace
}  // namespace ebbmark
