#include "config/model/frm_email.h"

#include <cctype>

#include "base/mail_sign_in.h"
#include "common/numeric_text.h"
#include "common/settings.h"
#include "platform/computer_name.h"

namespace ebbmark {

std::optional<std::int32_t> PortNumber(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) ++digits;
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) ++digits;
  }
  if (digits == 0 || i != text.size()) return std::nullopt;
  return TextToInt32(text);
}

std::string TestMessageBody(const std::string& computer_name) {
  return "This is a test message from Ebbmark running on " + computer_name + ".";
}

FrmEmail::FrmEmail(ToolWindowContext ctx)
    : Window("frmEmail", "Email Settings", 4875, 4335), ctx_(std::move(ctx)) {
  lblSMTPHost.SetGeometry({120, 180, 1215, 255});
  lblSMTPHost.SetCaption("SMTP Server:");
  txtSMTPHost.SetGeometry({1380, 150, 1935, 285});
  lblSMTPPort.SetGeometry({3390, 180, 435, 255});
  lblSMTPPort.SetCaption("Port:");
  // Five digits whole, margins and border included: a port cut to four
  // looks like another port.
  txtSMTPPort.SetGeometry({3870, 150, 765, 285});
  txtSMTPPort.SetMaxLength(5);
  txtSMTPPort.SetText("25");
  lblFrom.SetGeometry({120, 570, 1215, 255});
  lblFrom.SetCaption("From Address:");
  txtFrom.SetGeometry({1380, 540, 3255, 285});
  lblTo.SetGeometry({120, 960, 1215, 255});
  lblTo.SetCaption("To Address:");
  txtTo.SetGeometry({1380, 930, 3255, 285});
  txtTo.SetMaxLength(80);
  chkEmailOnPowerEvent.SetGeometry({1380, 1350, 2655, 255});
  chkEmailOnPowerEvent.SetCaption("Email power events");
  chkEmailOnPowerEvent.SetToolTip("Sends email alerts if AC power failes and when it returns");
  chkEmailActionEvents.SetGeometry({1380, 1680, 2655, 255});
  chkEmailActionEvents.SetCaption("Email action event");
  chkEmailActionEvents.SetToolTip("Sends email alert when shutdown event has been triggered");
  // The sign-in, below the notices and in the same columns as the addresses.
  lblSecurity.SetGeometry({120, 2040, 1215, 255});
  lblSecurity.SetCaption("Security:");
  cboSecurity.SetGeometry({1380, 2010, 3255, 315});
  for (const char* choice : email_texts::kSecurityChoices) cboSecurity.AddItem(choice);
  cboSecurity.SetListIndex(0);
  lblUser.SetGeometry({120, 2430, 1215, 255});
  lblUser.SetCaption("User Name:");
  txtUser.SetGeometry({1380, 2400, 3255, 285});
  lblPassword.SetGeometry({120, 2820, 1215, 255});
  lblPassword.SetCaption("Password:");
  txtPassword.SetGeometry({1380, 2790, 1755, 285});
  txtPassword.SetPasswordChar('*');
  txtPassword.SetMaxLength(static_cast<int>(kMaxPasswordBytes));
  txtPassword.SetToolTip("Leave empty to keep the saved password");
  lblPasswordState.SetGeometry({1380, 3135, 3255, 255});
  cmdTest.SetGeometry({3240, 3480, 1395, 375});
  cmdTest.SetCaption("Test Email");

  // A server name or address list never holds a blank: a typed one is
  // dropped before it lands, so the caret stays where the user types. What
  // the settings file holds is shown as it is (a list written with blanks
  // after its commas is not rewritten by merely opening the window). The
  // sender may carry a display name with blanks.
  txtSMTPHost.OnKeyPress = DropBlank;
  txtTo.OnKeyPress = DropBlank;
  cmdTest.OnClick = [this] { cmdTest_Click(); };
}

FrmEmail::~FrmEmail() = default;

void FrmEmail::DropBlank(char32_t& key) {
  if (key == U' ') key = 0;
}

void FrmEmail::SetPointer(MousePointer p) {
  if (p == pointer_) return;
  pointer_ = p;
  changed.Emit();
}

void FrmEmail::Form_Load() {
  const SettingsRecord& s = ctx_.settings;
  txtSMTPHost.SetText(s.SMTPHost);
  txtSMTPPort.SetText(std::to_string(s.SMTPPort));
  txtFrom.SetText(s.SMTPFrom);
  txtTo.SetText(s.SMTPTo);
  chkEmailOnPowerEvent.SetValue((s.EmailOptions & 1) ? CheckBox::Checked : CheckBox::Unchecked);
  chkEmailActionEvents.SetValue((s.EmailOptions & 2) ? CheckBox::Checked : CheckBox::Unchecked);
  cboSecurity.SetListIndex(s.SMTPSecurity >= 0 && s.SMTPSecurity <= 2 ? s.SMTPSecurity : 0);
  txtUser.SetText(s.SMTPUser);
  txtPassword.SetText("");
  ShowPasswordState();
}

void FrmEmail::ShowPasswordState() {
  const SettingsRecord& s = ctx_.settings;
  const char* state =
      s.SMTPPasswordSet ? email_texts::kPasswordSaved : email_texts::kPasswordNotSaved;
  if (s.SMTPPasswordChange) {
    state = s.SMTPPasswordChange->empty() ? email_texts::kPasswordToRemove
                                          : email_texts::kPasswordToSave;
  }
  lblPasswordState.SetCaption(state);
}

void FrmEmail::Form_Unload() {
  SettingsRecord& s = ctx_.settings;
  s.SMTPHost = txtSMTPHost.Text();
  s.SMTPPort = PortNumber(txtSMTPPort.Text()).value_or(kDefaultPort);
  s.SMTPFrom = txtFrom.Text();
  s.SMTPTo = txtTo.Text();
  s.EmailOptions = (chkEmailOnPowerEvent.Value() == CheckBox::Checked ? 1 : 0) +
                   (chkEmailActionEvents.Value() == CheckBox::Checked ? 2 : 0);
  s.SMTPSecurity = cboSecurity.ListIndex() >= 0 ? cboSecurity.ListIndex() : 0;

  // A user name or password that could not go into an SMTP command is not
  // kept: the window says so and the one from before stays.
  std::string refused;
  if (const auto problem = CheckUserName(txtUser.Text()); problem == SignInProblem::None) {
    s.SMTPUser = txtUser.Text();
  } else {
    refused = SignInProblemText(problem);
  }
  const std::string& typed = txtPassword.Text();
  if (!typed.empty()) {
    if (const auto problem = CheckPassword(typed); problem == SignInProblem::None) {
      s.SMTPPasswordChange = typed;
    } else {
      refused = SignInProblemText(problem);
    }
  }
  // Without a user name nothing signs in: a saved password has no use left.
  if (s.SMTPUser.empty() && (s.SMTPPasswordSet || s.SMTPPasswordChange)) {
    s.SMTPPasswordChange = s.SMTPPasswordSet ? std::optional<std::string>("") : std::nullopt;
  }
  txtPassword.SetText("");
  if (!refused.empty()) {
    refused[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(refused[0])));
    ctx_.dialogs.Show("Email Settings", refused + ", so it was not kept.", DialogButtons::Ok,
                      DialogIcon::Error);
  }
}

std::optional<std::string> FrmEmail::TestPassword(std::string& why) const {
  if (!txtPassword.Text().empty()) return txtPassword.Text();
  const SettingsRecord& s = ctx_.settings;
  if (s.SMTPPasswordChange && !s.SMTPPasswordChange->empty()) return *s.SMTPPasswordChange;
  if (ctx_.secrets == nullptr || ctx_.secret_path.empty()) {
    why = email_texts::kNoPasswordToTest;
    return std::nullopt;
  }
  const SecretRead read = ctx_.secrets->Read(ctx_.secret_path);
  switch (read.status) {
    case SecretRead::Status::Ok:
      return read.value;
    case SecretRead::Status::Missing:
      why = email_texts::kNoPasswordToTest;
      break;
    case SecretRead::Status::Error:
      // A desktop user cannot read the file the service reads, by design.
      why = email_texts::kSavedPasswordUnreadable;
      break;
  }
  return std::nullopt;
}

void FrmEmail::cmdTest_Click() {
  SetPointer(MousePointer::Hourglass);
  cmdTest.SetEnabled(false);
  sending_ = true;

  const auto port = PortNumber(txtSMTPPort.Text());
  if (!port) {
    TestFinished({false, email_texts::kPortNotNumber, email_texts::kPortNotNumberText});
    return;
  }
  // The same range a save holds the port to, said the same way.
  if (std::string range = RangeProblem(Setting("SMTPPort"), *port); !range.empty()) {
    TestFinished({false, email_texts::kPortNotNumber, std::move(range)});
    return;
  }
  MailMessage m;
  m.host = txtSMTPHost.Text();
  m.port = *port;
  m.from = txtFrom.Text();
  m.to = txtTo.Text();
  m.subject = email_texts::kSubject;
  m.body = TestMessageBody(ctx_.computer_name ? ctx_.computer_name() : GetComputerNameText());
  m.security = cboSecurity.ListIndex() >= 0 ? cboSecurity.ListIndex() : 0;
  m.user = txtUser.Text();
  if (!m.user.empty()) {
    std::string why;
    auto password = TestPassword(why);
    if (!password) {
      TestFinished({false, email_texts::kSignInRefused, why});
      return;
    }
    m.password = std::move(*password);
  }
  std::weak_ptr<FrmEmail*> self = self_;
  ctx_.mailer.Send(m, [self](MailResult result) {
    if (auto alive = self.lock()) (*alive)->TestFinished(result);
  });
}

void FrmEmail::TestFinished(const MailResult& result) {
  sending_ = false;
  SetPointer(MousePointer::Default);
  if (result.sent) {
    ctx_.dialogs.Show(email_texts::kTitle, email_texts::kSent, DialogButtons::Ok, DialogIcon::None);
  } else {
    ctx_.dialogs.Show(
        email_texts::kTitle,
        email_texts::kFailedPrefix + std::to_string(result.error_number) + ", " + result.error_text,
        DialogButtons::Ok, DialogIcon::Error);
  }
  cmdTest.SetEnabled(true);
}

}  // namespace ebbmark
