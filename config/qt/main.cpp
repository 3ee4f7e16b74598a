// Ebbmark, the configuration program, on the Linux desktop.
//
// Diagnostic: with EBBMARK_REPORT_FIRST_PAINT set, the program prints one
// line to stderr when its main window is first painted:
//   first-paint epoch_ms=1767772800123 since_main_ms=85
// so that start-up time can be measured from outside (epoch_ms against the
// moment the program was started).

#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEvent>

#include "config/qt/ebbmark_app.h"
#include "config/qt/pictures.h"

namespace {

class FirstPaintReporter final : public QObject {
 public:
  explicit FirstPaintReporter(const QElapsedTimer& since_main) : since_main_(since_main) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (!done_ && event->type() == QEvent::Paint &&
        watched->objectName() == QLatin1String("frmEbbmark")) {
      done_ = true;
      std::fprintf(stderr, "first-paint epoch_ms=%lld since_main_ms=%lld\n",
                   static_cast<long long>(QDateTime::currentMSecsSinceEpoch()),
                   static_cast<long long>(since_main_.elapsed()));
      std::fflush(stderr);
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  const QElapsedTimer& since_main_;
  bool done_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer since_main;
  since_main.start();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Ebbmark"));
  QApplication::setDesktopFileName(QStringLiteral("ebbmark"));
  QApplication::setWindowIcon(ebbmark::ProgramIcon());
  // The program ends through the model (Exit, or closing the main window),
  // not because its last window was hidden.
  QApplication::setQuitOnLastWindowClosed(false);

  ebbmark::EbbmarkApp program;
  program.on_end = [] { QCoreApplication::quit(); };

  FirstPaintReporter reporter(since_main);
  if (std::getenv("EBBMARK_REPORT_FIRST_PAINT")) app.installEventFilter(&reporter);
  program.Start();
  if (program.Ended()) return 0;
  return QApplication::exec();
}
