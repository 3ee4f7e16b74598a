#pragma once
// The email window: edits the mail settings in memory and sends a test
// message with exactly the values typed into it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "config/model/controls.h"
#include "config/model/tool_windows.h"

namespace ebbmark {

namespace email_texts {
inline constexpr const char* kTitle = "Test Email";
inline constexpr const char* kSubject = "[Ebbmark] Test Email";
inline constexpr const char* kSent = "Message sent.";
inline constexpr const char* kFailedPrefix = "An error occured trying to send email: \r\n\r\n";
// A port text that is no number fails before anything is sent.
inline constexpr int kPortNotNumber = 13;
inline constexpr const char* kPortNotNumberText = "The SMTP port is not a number";
// The security choices, in the order of their SMTPSecurity values.
inline constexpr const char* kSecurityChoices[] = {
    "STARTTLS if offered, unchecked",
    "STARTTLS, certificate checked",
    "SSL/TLS (465), cert. checked",
};
inline constexpr const char* kPasswordSaved = "A password is saved.";
inline constexpr const char* kPasswordNotSaved = "No password is saved.";
inline constexpr const char* kPasswordToSave = "The new password is saved with the settings.";
inline constexpr const char* kPasswordToRemove = "The password is removed with the settings.";
inline constexpr int kSignInRefused = 3;  // the message never left this program
inline constexpr const char* kNoPasswordToTest =
    "no password is saved for the sign-in; type the password to test it";
inline constexpr const char* kSavedPasswordUnreadable =
    "the saved password cannot be read by this program; type the password to test it";
}  // namespace email_texts

// The port a text stands for: blanks around an optional sign, digits and an
// optional fraction, rounded half to even. Nothing for any other text (an
// empty one included) or one beyond a 32-bit integer.
std::optional<std::int32_t> PortNumber(std::string_view text);

// "This is a test message from Ebbmark running on NAME."
std::string TestMessageBody(const std::string& computer_name);

class FrmEmail : public Window {
 public:
  // A port text that is no number is stored as the standard SMTP port.
  static constexpr std::int32_t kDefaultPort = 25;

  explicit FrmEmail(ToolWindowContext ctx);
  ~FrmEmail() override;

  // Fills the controls from the settings in memory.
  void Form_Load() override;
  // However the window closes: the controls go back into the settings in
  // memory. Nothing is written to the file here.
  void Form_Unload() override;

  Label lblSMTPHost{this, "lblSMTPHost"};
  TextBox txtSMTPHost{this, "txtSMTPHost"};
  Label lblSMTPPort{this, "lblSMTPPort"};
  TextBox txtSMTPPort{this, "txtSMTPPort"};
  Label lblFrom{this, "lblFrom"};
  TextBox txtFrom{this, "txtFrom"};
  Label lblTo{this, "lblTo"};
  TextBox txtTo{this, "txtTo"};
  CheckBox chkEmailOnPowerEvent{this, "chkEmailOnPowerEvent"};
  CheckBox chkEmailActionEvents{this, "chkEmailActionEvents"};
  Label lblSecurity{this, "lblSecurity"};
  ComboBox cboSecurity{this, "cboSecurity"};
  Label lblUser{this, "lblUser"};
  TextBox txtUser{this, "txtUser"};
  Label lblPassword{this, "lblPassword"};
  // Always opens empty: a saved password is never read back into the window.
  TextBox txtPassword{this, "txtPassword"};
  Label lblPasswordState{this, "lblPasswordState"};
  CommandButton cmdTest{this, "cmdTest"};

  MousePointer Pointer() const { return pointer_; }
  // A test message is on its way.
  bool Sending() const { return sending_; }

 private:
  void cmdTest_Click();
  void TestFinished(const MailResult& result);
  void SetPointer(MousePointer p);
  static void DropBlank(char32_t& key);
  void ShowPasswordState();
  // The password the test message signs in with: the typed one, else the
  // one waiting to be saved, else the saved one. Nothing, with the reason in
  // `why`, when there is none to use.
  std::optional<std::string> TestPassword(std::string& why) const;

  ToolWindowContext ctx_;
  MousePointer pointer_ = MousePointer::Default;
  bool sending_ = false;
  // Handed to the mailer's callback as a weak reference: a result that
  // arrives after the window is gone is dropped.
  std::shared_ptr<FrmEmail*> self_ = std::make_shared<FrmEmail*>(this);
};

}  // namespace ebbmark
