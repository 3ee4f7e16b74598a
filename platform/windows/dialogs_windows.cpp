// Message boxes of EbbmarkSvc on Windows: MessageBoxW with the title, text
// and icon given. The service shows them only on its install and remove
// paths, which a user runs by hand, so they come to the front.

#include <windows.h>

#include <string>

#include "platform/dialogs.h"
#include "platform/windows/message_box_windows.h"
#include "platform/windows/text_windows.h"

namespace ebbmark {
namespace win {

UINT MessageBoxStyle(DialogButtons buttons, DialogIcon icon) {
  UINT style = MB_OK;
  switch (buttons) {
    case DialogButtons::OkCancel:
      style = MB_OKCANCEL;
      break;
    case DialogButtons::YesNo:
      style = MB_YESNO;
      break;
    case DialogButtons::YesNoCancel:
      style = MB_YESNOCANCEL;
      break;
    case DialogButtons::Ok:
      break;
  }
  switch (icon) {
    case DialogIcon::Information:
      return style | MB_ICONINFORMATION;
    case DialogIcon::Warning:
      return style | MB_ICONWARNING;
    case DialogIcon::Error:
      return style | MB_ICONERROR;
    case DialogIcon::Question:
      return style | MB_ICONQUESTION;
    case DialogIcon::None:
      break;
  }
  return style;
}

DialogAnswer MessageBoxAnswer(int message_box_result, DialogButtons buttons) {
  switch (message_box_result) {
    case IDYES:
      return DialogAnswer::Yes;
    case IDNO:
      return DialogAnswer::No;
    case IDCANCEL:
      return DialogAnswer::Cancel;
    case IDOK:
      return DialogAnswer::Ok;
    default:
      // No box could be shown (no desktop).
      return UnansweredDialog(buttons);
  }
}

}  // namespace win

namespace {

class MessageBoxDialogs final : public Dialogs {
 public:
  DialogAnswer Show(const std::string& title, const std::string& text, DialogButtons buttons,
                    DialogIcon icon) override {
    const std::wstring wtitle = win::Widen(title);
    const std::wstring wtext = win::Widen(text);
    return win::MessageBoxAnswer(
        ::MessageBoxW(nullptr, wtext.c_str(), wtitle.c_str(),
                      win::MessageBoxStyle(buttons, icon) | MB_SETFOREGROUND),
        buttons);
  }
};

}  // namespace

Dialogs& ServiceDialogs() {
  static MessageBoxDialogs dialogs;
  return dialogs;
}

}  // namespace ebbmark
