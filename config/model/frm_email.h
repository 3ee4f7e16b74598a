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
  CommandButton cmdTest{this, "cmdTest"};

  MousePointer Pointer() const { return pointer_; }
  // A test message is on its way.
  bool Sending() const { return sending_; }

 private:
  void cmdTest_Click();
  void TestFinished(const MailResult& result);
  void SetPointer(MousePointer p);
  static void DropBlank(char32_t& key);

  ToolWindowContext ctx_;
  MousePointer pointer_ = MousePointer::Default;
  bool sending_ = false;
  // Handed to the mailer's callback as a weak reference: a result that
  // arrives after the window is gone is dropped.
  std::shared_ptr<FrmEmail*> self_ = std::make_shared<FrmEmail*>(this);
};

}  // namespace ebbmark
