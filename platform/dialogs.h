#pragma once
// Message boxes. The service shows them only on its install and remove paths;
// the configuration program asks its questions through them.

#include <string>

namespace ebbmark {

enum class DialogIcon { None, Information, Warning, Error, Question };
enum class DialogButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class DialogAnswer { Ok, Cancel, Yes, No };

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // Shows a modal message and returns the answer (Ok for an Ok-only box).
  virtual DialogAnswer Show(const std::string& title, const std::string& text,
                            DialogButtons buttons, DialogIcon icon) = 0;
};

// The answer when nobody can answer (no desktop, no terminal): a question is
// declined, a notice counts as seen.
inline DialogAnswer UnansweredDialog(DialogButtons buttons) {
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

// Message boxes of EbbmarkSvc: the terminal on Linux (information on stdout,
// errors on stderr), MessageBoxW on Windows.
Dialogs& ServiceDialogs();

}  // namespace ebbmark
