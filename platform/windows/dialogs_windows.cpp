// Message boxes of EbbmarkSvc on Windows: MessageBoxW with the title, text
// and icon given. The service shows them only on its install and remove
// paths, which a user runs by hand, so they come to the front.

#include <windows.h>

#include <string>

#include "platform/dialogs.h"
#include "platform/windows/text_windows.h"

namespace ebbmark {
namespace {

UINT ButtonsStyle(DialogButtons buttons) {
  switch (buttons) {
    case DialogButtons::OkCancel:
      return MB_OKCANCEL;
    case DialogButtons::YesNo:
      return MB_YESNO;
    case DialogButtons::YesNoCancel:
      return MB_YESNOCANCEL;
    case DialogButtons::Ok:
      break;
  }
  return MB_OK;
}

UINT IconStyle(DialogIcon icon) {
  switch (icon) {
    case DialogIcon::Information:
      return MB_ICONINFORMATION;
    case DialogIcon::Warning:
      return MB_ICONWARNING;
    case DialogIcon::Error:
      return MB_ICONERROR;
    case DialogIcon::Question:
      return MB_ICONQUESTION;
    case DialogIcon::None:
      break;
  }
  return 0;
}

class MessageBoxDialogs final : public Dialogs {
 public:
  DialogAnswer Show(const std::string& title, const std::string& text, DialogButtons buttons,
                    DialogIcon icon) override {
    const std::wstring wtitle = win::Widen(title);
    const std::wstring wtext = win::Widen(text);
    const int answer = ::MessageBoxW(nullptr, wtext.c_str(), wtitle.c_str(),
                                     ButtonsStyle(buttons) | IconStyle(icon) | MB_SETFOREGROUND);
    switch (answer) {
      case IDYES:
        return DialogAnswer::Yes;
      case IDNO:
        return DialogAnswer::No;
      case IDCANCEL:
        return DialogAnswer::Cancel;
      case IDOK:
        return DialogAnswer::Ok;
      default:
        // No box could be shown (no desktop): a question is declined, a
        // notice counts as seen.
        break;
    }
    switch (buttons) {
      case DialogButtons::YesNo:
        return DialogAnswer::No;
      case DialogButtons::YesNoCancel:
      case DialogButtons::OkCancel:
        return DialogAnswer::Cancel;
      case DialogButtons::Ok:
        break;
    }
    return DialogAnswer::Ok;
  }
};

}  // namespace

Dialogs& ServiceDialogs() {
  static MessageBoxDialogs dialogs;
  return dialogs;
}

}  // namespace ebbmark
