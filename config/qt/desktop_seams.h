#pragma once
// What the configuration program asks of the Linux desktop: message boxes,
// the default browser, and one copy of the program per user.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QLocalServer>
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

// The desktop's file chooser (Qt's dialog, or the desktop's own through
// Qt's platform theme), over the active window of the program.
class QtFileChooser final : public FileChooser {
 public:
  std::function<QWidget*()> fallback_parent;
  std::optional<std::string> ChooseFile(const std::string& title,
                                        const std::string& current) override;
};

// One Ebbmark per user: a lock file in the user's runtime folder, which a
// crashed copy leaves behind as a stale lock that the next start takes over.
// The copy holding it listens on a local socket beside it; a later copy
// knocks there before it ends, and the first one brings its window to the
// front, so starting the program again is never silent.
class LockFileInstanceCheck final : public InstanceCheck {
 public:
  // `path` empty: Ebbmark.lock in the runtime folder (XDG_RUNTIME_DIR, else
  // the temporary folder).
  explicit LockFileInstanceCheck(QString path = {});
  bool AnotherInstanceRunning() override;
  const QString& Path() const { return path_; }
  // The local socket's path.
  QString SocketPath() const { return path_ + QStringLiteral(".socket"); }

  // Run (on Qt's loop) each time a later copy asks this one to show itself.
  std::function<void()> on_raise;

 private:
  void Listen();
  void KnockOnTheFirstCopy();

  QString path_;
  std::unique_ptr<QLockFile> lock_;
  std::unique_ptr<QLocalServer> server_;
};

// The least width a message box is given so its title bar holds its title.
int MessageBoxTitleWidth(const QWidget& box);

// Brings `window` (and whatever modal window stands over it) to the front,
// restored when minimised.
void RaiseWindow(QWidget* window);

}  // namespace ebbmark
