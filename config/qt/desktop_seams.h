#pragma once
// What the configuration program asks of the Linux desktop: message boxes,
// the default browser, and one copy of the program per user.

#include <functional>
#include <memory>

#include <QLockFile>
#include <QString>

#include "config/model/seams.h"
#include "platform/dialogs.h"

class QWidget;

namespace ebbmark {

// Message boxes over the active window of the program.
class QtDialogs final : public Dialogs {
 public:
  // The window a box belongs to when no other window of the program is
  // active (the main window); may return null.
  std::function<QWidget*()> fallback_parent;

  DialogAnswer Show(const std::string& title, const std::string& text, DialogButtons buttons,
                    DialogIcon icon) override;
};

// Opens web addresses and files with the desktop's default program
// (xdg-open and its kind).
class QtShell final : public Shell {
 public:
  bool Open(const std::string& address_or_path) override;
};

// One Ebbmark per user: a lock file in the user's runtime folder, which a
// crashed copy leaves behind as a stale lock that the next start takes over.
class LockFileInstanceCheck final : public InstanceCheck {
 public:
  // `path` empty: Ebbmark.lock in the runtime folder (XDG_RUNTIME_DIR, else
  // the temporary folder).
  explicit LockFileInstanceCheck(QString path = {});
  bool AnotherInstanceRunning() override;
  const QString& Path() const { return path_; }

 private:
  QString path_;
  std::unique_ptr<QLockFile> lock_;
};

}  // namespace ebbmark
