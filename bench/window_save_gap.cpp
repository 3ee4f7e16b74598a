// One save of the Ebbmark window (the Qt view) while polkit's password
// question stands, as a desktop user makes it: how long the window goes
// without painting. Run by bench/window_save_gap.py, which gives it a
// stand-in pkexec that waits and then answers as a dismissed question, a
// stand-in systemd, a relay and a settings folder only root may write.
//
// The program runs as root and saves as nobody (its effective user), as a
// desktop user's window would, so the save has to go through pkexec.
//
// Prints one line:
//   paints=N save_ms=W longest_gap_ms=G
// save_ms from the press of Save to the box that tells its outcome; G the
// longest stretch in it without a paint of the main window.

#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>

#include "config/qt/ebbmark_app.h"

namespace {

class PaintClock : public QObject {
 public:
  explicit PaintClock(QWidget* window) : window_(window) {
    clock_.start();
    qApp->installEventFilter(this);
  }
  qint64 Now() const { return clock_.elapsed(); }
  const std::vector<qint64>& Stamps() const { return stamps_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == window_)
      stamps_.push_back(clock_.elapsed());
    return QObject::eventFilter(watched, event);
  }

 private:
  QWidget* window_;
  QElapsedTimer clock_;
  std::vector<qint64> stamps_;
};

// Waits on Qt's loop until `done`, at most `ms`.
template <typename F>
bool WaitFor(F done, int ms) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 50);
  return done();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ebbmark::EbbmarkApp program;
  program.on_end = [] {};
  program.Start();
  if (program.Ended()) {
    std::fprintf(stderr, "the window ended at start-up\n");
    return 2;
  }
  QWidget* main = program.MainView()->Widget();
  auto* email = main->findChild<QAction*>(QStringLiteral("oToolbar_Email"));
  auto* save = main->findChild<QAction*>(QStringLiteral("oToolbar_Save"));
  if (!email || !save || !WaitFor([&] { return email->isEnabled(); }, 30000)) {
    std::fprintf(stderr, "the settings were not loaded\n");
    return 2;
  }
  // A little time for the relay's first records, so the display changes.
  WaitFor([] { return false; }, 3000);
  program.Model().hsbOptSOC.SetValue(program.Model().hsbOptSOC.Value() == 75 ? 76 : 75);

  // The desktop user's save.
  if (::seteuid(65534) != 0) {
    std::perror("seteuid");
    return 2;
  }
  ::prctl(PR_SET_DUMPABLE, 1);  // for the sanitizers, after the change of user

  PaintClock paints(main);
  qint64 start = 0, end = -1;
  QTimer answerer;
  answerer.setInterval(20);
  QObject::connect(&answerer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    if (QAbstractButton* yes = box->button(QMessageBox::Yes)) {
      // "The service is currently running ... sure?"
      yes->click();
      return;
    }
    if (end < 0) end = paints.Now();
    std::fprintf(stderr, "box: %s\n", qPrintable(box->text()));
    box->accept();
  });
  answerer.start();
  start = paints.Now();
  save->trigger();
  WaitFor([&] { return end >= 0; }, 120000);
  (void)::seteuid(0);
  if (end < 0) {
    std::fprintf(stderr, "the save never ended\n");
    return 2;
  }
  qint64 last = start, longest = 0;
  int count = 0;
  for (qint64 t : paints.Stamps()) {
    if (t < start || t > end) continue;
    ++count;
    longest = std::max(longest, t - last);
    last = t;
  }
  longest = std::max(longest, end - last);
  std::printf("paints=%d save_ms=%lld longest_gap_ms=%lld\n", count,
              static_cast<long long>(end - start), static_cast<long long>(longest));
  std::fflush(stdout);
  answerer.stop();
  program.Model().AppStop();
  WaitFor([&] { return program.Ended(); }, 10000);
  return 0;
}
