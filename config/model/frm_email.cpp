#include "config/model/frm_email.h"

#include <cctype>

#include "common/numeric_text.h"
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
    : Window("frmEmail", "Email Settings", 4875, 2895), ctx_(std::move(ctx)) {
  lblSMTPHost.SetGeometry({120, 180, 1215, 255});
  lblSMTPHost.SetCaption("SMTP Server:");
  txtSMTPHost.SetGeometry({1380, 150, 2055, 285});
  lblSMTPPort.SetGeometry({3555, 180, 435, 255});
  lblSMTPPort.SetCaption("Port:");
  txtSMTPPort.SetGeometry({4020, 150, 615, 285});
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
  cmdTest.SetGeometry({3240, 2040, 1395, 375});
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
}

void FrmEmail::Form_Unload() {
  SettingsRecord& s = ctx_.settings;
  s.SMTPHost = txtSMTPHost.Text();
  s.SMTPPort = PortNumber(txtSMTPPort.Text()).value_or(kDefaultPort);
  s.SMTPFrom = txtFrom.Text();
  s.SMTPTo = txtTo.Text();
  s.EmailOptions = (chkEmailOnPowerEvent.Value() == CheckBox::Checked ? 1 : 0) +
                   (chkEmailActionEvents.Value() == CheckBox::Checked ? 2 : 0);
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
  MailMessage m;
  m.host = txtSMTPHost.Text();
  m.port = *port;
  m.from = txtFrom.Text();
  m.to = txtTo.Text();
  m.subject = email_texts::kSubject;
  m.body = TestMessageBody(ctx_.computer_name ? ctx_.computer_name() : GetComputerNameText());
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
