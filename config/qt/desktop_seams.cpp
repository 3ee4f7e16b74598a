#include "config/qt/desktop_seams.h"

#include <algorithm>

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLocalSocket>
#include <QMessageBox>
#include <QScreen>
#include <QSpacerItem>
#include <QStandardPaths>
#include <QStyle>
#include <QTimer>
#include <QUrl>

namespace ebbmark {
namespace {

// What a title bar needs for `box`'s title: the text in the title font
// (the desktop's; Qt's bold application font stands in for it), the
// window's icon and its buttons, and a margin.
int TitleWidth(const QWidget& box) {
  QFont title_font = QApplication::font("QMdiSubWindowTitleBar");
  title_font.setBold(true);
  const int text = QFontMetrics(title_font).horizontalAdvance(box.windowTitle());
  const int icon = box.style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &box);
  // Icon, close, maximise (greyed), minimise and the frame's padding.
  return text + 4 * icon + 2 * QFontMetrics(title_font).averageCharWidth();
}

void CentreOn(QWidget& box, const QWidget& window) {
  const QWidget* top = window.window();
  if (!top->isVisible()) return;
  const QRect over = top->frameGeometry();
  QRect mine = box.frameGeometry();
  mine.moveCenter(over.center());
  // Kept on the window's screen, wholly.
  if (const QScreen* screen = top->screen()) {
    const QRect room = screen->availableGeometry();
    mine.moveLeft(std::clamp(mine.left(), room.left(),
                             std::max(room.left(), room.right() - mine.width() + 1)));
    mine.moveTop(std::clamp(mine.top(), room.top(),
                            std::max(room.top(), room.bottom() - mine.height() + 1)));
  }
  box.move(mine.topLeft());
}

}  // namespace

// The width a message box needs for its title bar (tests compare with it).
int MessageBoxTitleWidth(const QWidget& box) {
  return TitleWidth(box);
}

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
  // A box sizes itself by its text alone, and a window manager then cuts a
  // longer title to a few letters: the box is made wide enough for it.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(TitleWidth(box), 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
  // Centred on its window once shown and sized, also when that window has
  // not been placed yet (at start-up) and the system would put it anywhere.
  if (parent) {
    QTimer::singleShot(0, &box, [&box, parent] { CentreOn(box, *parent); });
  }
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
  if (lock_->tryLock(0)) {
    Listen();
    return false;
  }
  // Only a live holder counts; any other failure (a folder that cannot be
  // written) lets this copy run.
  if (lock_->error() != QLockFile::LockFailedError) return false;
  KnockOnTheFirstCopy();
  return true;
}

void LockFileInstanceCheck::Listen() {
  server_ = std::make_unique<QLocalServer>();
  // Only this user may knock; a socket left by a copy that died goes, as
  // its lock did.
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  QLocalServer::removeServer(SocketPath());
  QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
    while (QLocalSocket* knock = server_->nextPendingConnection()) {
      // The knock is the whole message.
      QObject::connect(knock, &QLocalSocket::disconnected, knock, &QObject::deleteLater);
      knock->disconnectFromServer();
      if (on_raise) on_raise();
    }
  });
  // Without the socket the program still runs alone; a later copy then
  // just ends, as it did before.
  if (!server_->listen(SocketPath())) server_.reset();
}

void LockFileInstanceCheck::KnockOnTheFirstCopy() {
  // Bounded: this copy is ending anyway, and a first copy that does not
  // answer must not keep it.
  QLocalSocket knock;
  knock.connectToServer(SocketPath());
  if (knock.waitForConnected(1000)) knock.disconnectFromServer();
}

void RaiseWindow(QWidget* window) {
  if (window == nullptr) return;
  QWidget* top = window->window();
  if (top->isMinimized()) top->setWindowState(top->windowState() & ~Qt::WindowMinimized);
  top->show();
  top->raise();
  top->activateWindow();
  // A message box or helper window over it keeps the input; it comes up too.
  if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != top) {
    modal->raise();
    modal->activateWindow();
  }
}

std::optional<std::string> QtFileChooser::ChooseFile(const std::string& title,
                                                     const std::string& current) {
  QWidget* parent = QApplication::activeModalWidget();
  if (!parent) parent = QApplication::activeWindow();
  if (!parent && fallback_parent) parent = fallback_parent();
  QString start = QString::fromStdString(current);
  if (start.isEmpty() || !QFileInfo::exists(QFileInfo(start).absolutePath()))
    start = QDir::homePath();
  const QString chosen = QFileDialog::getOpenFileName(parent, QString::fromStdString(title), start);
  if (chosen.isEmpty()) return std::nullopt;
  return QDir::toNativeSeparators(chosen).toStdString();
}

}  // namespace ebbmark
