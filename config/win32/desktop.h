#pragma once
// What the configuration program asks of the Windows desktop: message boxes
// over its own windows, the shell for the help page, and the mark that keeps
// a second copy from running.

#include <windows.h>

#include <optional>
#include <string>

#include "config/model/seams.h"
#include "platform/dialogs.h"

namespace ebbmark::win32view {

// Message boxes owned by the program's active window, so they are modal to
// it and come up in front of it, centred on it and wide enough for their
// titles (the system sizes a box by its text alone and centres it on the
// screen).
class ViewDialogs final : public Dialogs {
 public:
  DialogAnswer Show(const std::string& title, const std::string& text, DialogButtons buttons,
                    DialogIcon icon) override;
};

// The width a message box's title bar needs for `title` at `dpi`: the text
// in the caption font, the window's icon and close button, and margins.
int MessageBoxTitleWidth(const std::wstring& title, int dpi);

// The system's Open dialog, over the program's active window.
class ViewFileChooser final : public FileChooser {
 public:
  std::optional<std::string> ChooseFile(const std::string& title,
                                        const std::string& current) override;
};

// Opens a web address or a document with the program registered for it.
class ViewShell final : public Shell {
 public:
  bool Open(const std::string& address_or_path) override;
};

// A named mutex in the session's namespace: the first copy creates it, a
// later one finds it. The later copy also brings the first one's window to
// the front, so starting the program again is never silent.
class MutexInstanceCheck final : public InstanceCheck {
 public:
  explicit MutexInstanceCheck(const wchar_t* window_class) : window_class_(window_class) {}
  ~MutexInstanceCheck() override;
  bool AnotherInstanceRunning() override;

 private:
  const wchar_t* window_class_;
  HANDLE mutex_ = nullptr;
};

}  // namespace ebbmark::win32view
