#include "config/qt/desktop_seams.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>
#include <QUrl>

namespace ebbmark {

DialogAnswer QtDialogs::Show(const std::string& title, const std::string& text,
                             DialogButtons buttons, DialogIcon icon) {
  QMessageBox::Icon qt_icon = QMessageBox::NoIcon;
  switch (icon) {
    case DialogIcon::None:
      qt_icon = QMessageBox::NoIcon;
      break;
    case DialogIcon::Information:
      qt_icon = QMessageBox::Information;
      break;
    case DialogIcon::Warning:
      qt_icon = QMessageBox::Warning;
      break;
    case DialogIcon::Error:
      qt_icon = QMessageBox::Critical;
      break;
    case DialogIcon::Question:
      qt_icon = QMessageBox::Question;
      break;
  }
  QMessageBox::StandardButtons qt_buttons = QMessageBox::Ok;
  QMessageBox::StandardButton default_button = QMessageBox::Ok;
  QMessageBox::StandardButton escape_button = QMessageBox::Ok;
  switch (buttons) {
    case DialogButtons::Ok:
      break;
    case DialogButtons::OkCancel:
      qt_buttons = QMessageBox::Ok | QMessageBox::Cancel;
      escape_button = QMessageBox::Cancel;
      break;
    case DialogButtons::YesNo:
      qt_buttons = QMessageBox::Yes | QMessageBox::No;
      default_button = QMessageBox::Yes;
      escape_button = QMessageBox::No;
      break;
    case DialogButtons::YesNoCancel:
      qt_buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
      default_button = QMessageBox::Yes;
      escape_button = QMessageBox::Cancel;
      break;
  }

  QWidget* parent = QApplication::activeModalWidget();
  if (!parent) parent = QApplication::activeWindow();
  if (!parent && fallback_parent) parent = fallback_parent();

  // The texts break lines the Windows way; a label wants plain line feeds.
  QString body = QString::fromStdString(text);
  body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QMessageBox box(qt_icon, QString::fromStdString(title), body, qt_buttons, parent);
  box.setObjectName(QStringLiteral("messageBox"));
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(default_button);
  box.setEscapeButton(escape_button);
  switch (box.exec()) {
    case QMessageBox::Yes:
      return DialogAnswer::Yes;
    case QMessageBox::No:
      return DialogAnswer::No;
    case QMessageBox::Cancel:
      return DialogAnswer::Cancel;
    default:
      // Ok, or a box closed by its title bar: the escape answer.
      return UnansweredDialog(buttons);
  }
}

bool QtShell::Open(const std::string& address_or_path) {
  if (address_or_path.empty()) return false;
  const QString text = QString::fromStdString(address_or_path);
  const QUrl url = QFileInfo(text).isAbsolute() ? QUrl::fromLocalFile(text) : QUrl(text);
  // A local file that is not there would only make the browser show an
  // error page; say so here instead.
  if (url.isLocalFile() && !QFileInfo::exists(url.toLocalFile())) return false;
  return QDesktopServices::openUrl(url);
}

LockFileInstanceCheck::LockFileInstanceCheck(QString path) : path_(std::move(path)) {
  if (path_.isEmpty()) {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) folder = QDir::tempPath();
    path_ = QDir(folder).filePath(QStringLiteral("Ebbmark.lock"));
  }
}

bool LockFileInstanceCheck::AnotherInstanceRunning() {
  if (lock_ && lock_->isLocked()) return false;  // this copy holds it
  lock_ = std::make_unique<QLockFile>(path_);
  // A lock left by a copy that died is taken over at once; the lock of a
  // live copy never goes stale with age, however long it runs.
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) return false;
  // Only a live holder counts; any other failure (a folder that cannot be
  // written) lets this copy run.
  return lock_->error() == QLockFile::LockFailedError;
}

}  // namespace ebbmark
