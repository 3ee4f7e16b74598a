// The Qt window driven the way a user drives it, against the relay simulator
// on 127.0.0.1. The program runs its production path: the settings come from
// EBBMARK_HOME, and the service's state comes from systemd over D-Bus, which
// here is a stand-in on a private bus daemon that reports an installed,
// running service.

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOption>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "config/model/frm_find_servers.h"
#include "config/model/frm_network.h"
#include "config/qt/asio_pump.h"
#include "config/qt/desktop_seams.h"
#include "config/qt/ebbmark_app.h"
#include "config/qt/window_view.h"
#include "tests/support/hibernation_fakes.h"
#include "tests/support/systemd_stand_in_posix.h"
#include "tests/support/tool_window_fakes.h"

namespace {

constexpr int kWaitMs = 20000;

class ViewTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cleanupTestCase();
  void ShowsTheLiveValuesOfTheRelay();
  void SocScrollBarDrivesItsBoxTheSaveButtonAndTheColour();
  void TypedBlanksAreDroppedWhereTheUserTypes();
  // Run a second time at 144 DPI (QT_FONT_DPI) by its own ctest entry.
  void TextsFitTheirBoxes();
  void FinderSelectsNothingUntilTheUserDoes();
  void FinderTakesATypedAddress();
  void BrowseChoosesTheRunFile();
  void MessageBoxesFitTheirTitlesCentredOnTheirWindow();
  void ASecondCopyBringsTheFirstToTheFront();
  // A desktop user's save through pkexec (a stand-in that, like the real
  // one, gives the real helper root) and the helper: slow, polkit's
  // password question stands 20 s.
  void ADesktopUserSavesTheSignInThroughTheHelperAndTheWindowStaysLive();
  // Not a check: pictures of the six windows for a person to look at,
  // taken only when EBBMARK_SCREENSHOT_DIR names a folder.
  void Screenshots();

 private:
  // Closes a message box nobody expected, so a test fails instead of
  // waiting forever, and remembers what it said.
  void GuardAgainstMessageBoxes();
  template <typename T>
  T* Find(QWidget* top, const char* name) {
    T* found = top->findChild<T*>(QLatin1String(name));
    if (!found) qWarning("no widget named %s", name);
    return found;
  }

  // Runs `check` inside the modal window that `action_name` opens, then
  // closes that window.
  void InModal(QWidget* main, const char* action_name, const std::function<void(QWidget*)>& check);
  // The names of the widgets under `top` whose text does not fit them.
  static QStringList Misfits(QWidget* top);

  // The X screen's picture of `window`, as a PNG in `folder`.
  static void Shoot(QWidget* window, const QString& folder, const QString& name);

  QTemporaryDir dir_;
  asio::io_context bus_io_;
  std::unique_ptr<ebbmark::testing::PrivateBus> bus_;
  std::unique_ptr<ebbmark::testing::SystemdStandIn> systemd_;
  std::unique_ptr<ebbmark::AsioPump> bus_pump_;
  QProcess relay_;
  int port_ = 0;
  QString unexpected_box_;
  QTimer guard_;
};

void ViewTest::initTestCase() {
  QVERIFY(dir_.isValid());
  const QDir dir(dir_.path());
  QVERIFY(dir.mkpath(QStringLiteral("bin")));
  QVERIFY(dir.mkpath(QStringLiteral("run")));
  QFile::setPermissions(dir.filePath(QStringLiteral("run")),
                        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

  // systemd's stand-in, served from this test's own loop; the program finds
  // it where it looks for the system bus.
  bus_ = std::make_unique<ebbmark::testing::PrivateBus>();
  if (bus_->Address().empty()) QSKIP("dbus-daemon is not available");
  systemd_ = std::make_unique<ebbmark::testing::SystemdStandIn>(bus_io_, bus_->Address());
  QVERIFY(systemd_->Ok());
  systemd_->Install("active");
  bus_pump_ = std::make_unique<ebbmark::AsioPump>(bus_io_);
  bus_pump_->Start();
  qputenv("DBUS_SYSTEM_BUS_ADDRESS", QByteArray::fromStdString(bus_->Address()));

  relay_.setProgram(QStringLiteral(EBBMARK_RELAY_SIM));
  relay_.setArguments({"--port", "0", "--no-udp", "--inverters", "0", "--fndc", "a", "--ac", "120",
                       "--current", "3", "--battery", "26", "--soc", "80", "--temp", "25"});
  relay_.start();
  QVERIFY2(relay_.waitForStarted(10000), "relay-sim did not start");
  // First line: "listening tcp=127.0.0.1:PORT ...".
  for (int i = 0; i < 100 && !relay_.canReadLine(); ++i) relay_.waitForReadyRead(100);
  const QString first = QString::fromUtf8(relay_.readLine());
  const auto match = QRegularExpression(QStringLiteral("tcp=127\\.0\\.0\\.1:(\\d+)")).match(first);
  QVERIFY2(match.hasMatch(), qPrintable("unexpected relay-sim output: " + first));
  port_ = match.captured(1).toInt();

  QFile ini(dir.filePath(QStringLiteral("Ebbmark.ini")));
  QVERIFY(ini.open(QIODevice::WriteOnly));
  ini.write(QStringLiteral("[EbbmarkSvc]\nTCPHost=127.0.0.1\nTCPPort=%1\nInverterAddress=0\n"
                           "ShutdownType=1\nSDSOC=70\nSOCOII=1\n"
                           "SMTPTo=ops@example.org, boss@example.org\n")
                .arg(port_)
                .toUtf8());
  ini.close();

  qputenv("EBBMARK_HOME", dir_.path().toUtf8());
  qputenv("PATH", dir.filePath(QStringLiteral("bin")).toUtf8() + ":" + qgetenv("PATH"));
  // The single-instance lock goes into this test's own runtime folder.
  qputenv("XDG_RUNTIME_DIR", dir.filePath(QStringLiteral("run")).toUtf8());

  guard_.setInterval(5000);
  connect(&guard_, &QTimer::timeout, this, &ViewTest::GuardAgainstMessageBoxes);
  guard_.start();
}

void ViewTest::cleanupTestCase() {
  guard_.stop();
  if (bus_pump_) bus_pump_->Stop();
  systemd_.reset();
  relay_.terminate();
  if (!relay_.waitForFinished(5000)) {
    relay_.kill();
    relay_.waitForFinished(5000);
  }
}

void ViewTest::GuardAgainstMessageBoxes() {
  if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
    unexpected_box_ = box->windowTitle() + ": " + box->text();
    box->reject();
  }
}

void ViewTest::ShowsTheLiveValuesOfTheRelay() {
  ebbmark::EbbmarkApp program;
  program.Start();
  QWidget* main = program.MainView()->Widget();
  QTRY_VERIFY_WITH_TIMEOUT(main->isVisible(), kWaitMs);
  QCOMPARE(main->objectName(), QStringLiteral("frmEbbmark"));
  QCOMPARE(main->windowTitle(), QStringLiteral("Ebbmark"));

  auto* ac = Find<QLabel>(main, "lblACInput");
  QVERIFY(ac);
  QTRY_COMPARE_WITH_TIMEOUT(ac->text(), QStringLiteral("AC Input: 120v AC"), kWaitMs);
  QCOMPARE(Find<QLabel>(main, "lblInverterCurrent")->text(),
           QStringLiteral("Inverter Current: 3 A"));
  QCOMPARE(Find<QLabel>(main, "lblBatteryVoltage")->text(), QStringLiteral("Battery Voltage: 26v"));
  QCOMPARE(Find<QLineEdit>(main, "txtTrellanHost")->text(), QStringLiteral("127.0.0.1"));
  QTRY_VERIFY_WITH_TIMEOUT(Find<QWidget>(main, "fraBatteryMonitor")->isVisible(), kWaitMs);
  QCOMPARE(Find<QLabel>(main, "lblFNDCStateOfCharge")->text(),
           QStringLiteral("Battery Charge:  80%"));

  // The indicators: link up, inverter and battery monitor heard.
  QVERIFY(Find<QWidget>(main, "imgConnected")->isVisible());
  QVERIFY(!Find<QWidget>(main, "imgInverterNo")->isVisible());
  QVERIFY(Find<QWidget>(main, "imgInverterYes")->isVisible());
  QVERIFY(!Find<QWidget>(main, "imgFNDCNo")->isVisible());
  QVERIFY(Find<QWidget>(main, "imgBattery1")->isVisible());

  // Status bar: the service's state with its picture, and the time of the
  // last record instead of "Not Connected".
  QTRY_COMPARE_WITH_TIMEOUT(Find<QLabel>(main, "oStatusBarText1")->text(),
                            QStringLiteral("Service: Running "), kWaitMs);
  QVERIFY(!Find<QLabel>(main, "oStatusBarImage1")->pixmap().isNull());
  const QString stamp = Find<QLabel>(main, "oStatusBarText2")->text();
  QVERIFY2(stamp.contains(QRegularExpression(QStringLiteral("\\d+:\\d\\d:\\d\\d"))),
           qPrintable("status panel 2: " + stamp));

  // The service's panel follows what systemd announces, as it happens.
  auto* service = Find<QLabel>(main, "oStatusBarText1");
  systemd_->SetActiveState("deactivating");
  QTRY_COMPARE_WITH_TIMEOUT(service->text(), QStringLiteral("Service: Stopping "), kWaitMs);
  systemd_->SetActiveState("inactive");
  QTRY_COMPARE_WITH_TIMEOUT(service->text(), QStringLiteral("Service: Stopped "), kWaitMs);
  systemd_->SetActiveState("activating");
  QTRY_COMPARE_WITH_TIMEOUT(service->text(), QStringLiteral("Service: Starting "), kWaitMs);
  systemd_->SetActiveState("active");
  QTRY_COMPARE_WITH_TIMEOUT(service->text(), QStringLiteral("Service: Running "), kWaitMs);

  // File, Exit ends the program.
  auto* exit = main->findChild<QAction*>(QStringLiteral("mnuExit"));
  QVERIFY(exit);
  exit->trigger();
  QTRY_VERIFY_WITH_TIMEOUT(program.Ended(), kWaitMs);
  QVERIFY2(unexpected_box_.isEmpty(), qPrintable(unexpected_box_));
}

void ViewTest::SocScrollBarDrivesItsBoxTheSaveButtonAndTheColour() {
  ebbmark::EbbmarkApp program;
  program.Start();
  QWidget* main = program.MainView()->Widget();
  QTRY_VERIFY_WITH_TIMEOUT(main->isVisible(), kWaitMs);

  auto* bar = Find<QScrollBar>(main, "hsbOptSOC");
  auto* box = Find<QLineEdit>(main, "txtOptSOC");
  auto* save = main->findChild<QAction*>(QStringLiteral("oToolbar_Save"));
  QVERIFY(bar && box && save);
  // The settings load once the service manager has answered.
  QTRY_COMPARE_WITH_TIMEOUT(box->text(), QStringLiteral("70%"), kWaitMs);
  // The bar is usable only while the battery monitor is heard.
  QTRY_VERIFY_WITH_TIMEOUT(bar->isEnabled(), kWaitMs);
  QTRY_VERIFY_WITH_TIMEOUT(Find<QLabel>(main, "lblACInput")->text().endsWith("v AC"), kWaitMs);

  // A click in the groove right of the thumb (at 70% of the range; the
  // thumb stands near 27%): one large step up.
  QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() * 7 / 10, bar->height() / 2));
  QTRY_COMPARE_WITH_TIMEOUT(box->text(), QStringLiteral("75%"), kWaitMs);
  QCOMPARE(program.Model().Settings().SDSOC, 75);
  QVERIFY(save->isEnabled());
  // 75 is at or below the live 80%: green.
  QCOMPARE(box->palette().color(QPalette::Base), QColor(128, 255, 128));

  // Back to the saved value with the arrow keys: nothing left to save.
  for (int i = 0; i < 5; ++i) QTest::keyClick(bar, Qt::Key_Left);
  QCOMPARE(box->text(), QStringLiteral("70%"));
  QVERIFY(!save->isEnabled());

  // Above the live value: red.
  bar->triggerAction(QAbstractSlider::SliderToMaximum);
  QCOMPARE(box->text(), QStringLiteral("99%"));
  QCOMPARE(box->palette().color(QPalette::Base), QColor(255, 128, 128));
  QVERIFY(save->isEnabled());

  // The lowest position means "no SOC trigger".
  bar->triggerAction(QAbstractSlider::SliderToMinimum);
  QCOMPARE(box->text(), QStringLiteral("n/a"));
  QCOMPARE(program.Model().Settings().SDSOC, 59);

  // Closing the window ends the program, changes unsaved.
  main->close();
  QTRY_VERIFY_WITH_TIMEOUT(program.Ended(), kWaitMs);
  QVERIFY2(unexpected_box_.isEmpty(), qPrintable(unexpected_box_));
}

void ViewTest::InModal(QWidget* main, const char* action_name,
                       const std::function<void(QWidget*)>& check) {
  bool ran = false;
  QTimer::singleShot(300, [&] {
    QWidget* dialog = QApplication::activeModalWidget();
    QVERIFY(dialog);
    ran = true;
    check(dialog);
    QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
  });
  auto* action = main->findChild<QAction*>(QLatin1String(action_name));
  QVERIFY(action);
  action->trigger();
  QVERIFY(ran);
}

void ViewTest::TypedBlanksAreDroppedWhereTheUserTypes() {
  ebbmark::EbbmarkApp program;
  // Root again before the program goes, whatever happened (its lock is root's).
  const auto back_to_root = qScopeGuard([] {
    if (::geteuid() != 0) (void)::seteuid(0);
  });
  program.Start();
  QWidget* main = program.MainView()->Widget();
  QTRY_VERIFY_WITH_TIMEOUT(main->isVisible(), kWaitMs);
  auto* save = main->findChild<QAction*>(QStringLiteral("oToolbar_Save"));
  QTRY_VERIFY_WITH_TIMEOUT(main->findChild<QAction*>(QStringLiteral("oToolbar_Email"))->isEnabled(),
                           kWaitMs);

  // Opening and closing the window leaves the file's list as it is.
  InModal(main, "oToolbar_Email", [&](QWidget* dialog) {
    QCOMPARE(Find<QLineEdit>(dialog, "txtTo")->text(),
             QStringLiteral("ops@example.org, boss@example.org"));
  });
  QVERIFY(!save->isEnabled());
  QCOMPARE(program.Model().Settings().SMTPTo, std::string("ops@example.org, boss@example.org"));

  InModal(main, "oToolbar_Email", [&](QWidget* dialog) {
    for (const char* name : {"txtTo", "txtSMTPHost"}) {
      auto* box = Find<QLineEdit>(dialog, name);
      box->setFocus();
      box->setText(QStringLiteral("ops@example.org"));
      box->setCursorPosition(0);
      QTest::keyClicks(box, QStringLiteral("x y "));
      QCOMPARE(box->text(), QStringLiteral("xyops@example.org"));
      QCOMPARE(box->cursorPosition(), 2);
    }
    // The sender may hold a display name.
    auto* from = Find<QLineEdit>(dialog, "txtFrom");
    from->setFocus();
    from->clear();
    QTest::keyClicks(from, QStringLiteral("Shed Box"));
    QCOMPARE(from->text(), QStringLiteral("Shed Box"));
  });
  QCOMPARE(program.Model().Settings().SMTPTo, std::string("xyops@example.org"));
  QCOMPARE(program.Model().Settings().SMTPHost, std::string("xyops@example.org"));
  QCOMPARE(program.Model().Settings().SMTPFrom, std::string("Shed Box"));
  main->close();
  QTRY_VERIFY_WITH_TIMEOUT(program.Ended(), kWaitMs);
  QVERIFY2(unexpected_box_.isEmpty(), qPrintable(unexpected_box_));
}

QStringList ViewTest::Misfits(QWidget* top) {
  QStringList misfits;
  const auto fails = [&](QWidget* w, double need, double room) {
    if (w->isVisible() && need > room)
      misfits << QStringLiteral("%1 (%2 > %3)").arg(w->objectName()).arg(need).arg(room);
  };
  for (auto* label : top->findChildren<QLabel*>()) {
    if (label->text().isEmpty() || label->objectName().isEmpty()) continue;
    const QFontMetricsF fm(label->font());
    const QRect room = label->contentsRect();
    if (label->wordWrap()) {
      const QRectF need =
          fm.boundingRect(QRectF(0, 0, room.width(), 1e6), Qt::TextWordWrap, label->text());
      fails(label, need.height(), room.height());
    } else {
      fails(label, fm.horizontalAdvance(label->text()), room.width());
    }
  }
  // Boxes that show what the program computes; what the user types scrolls.
  // A box for a few characters (a port) shows as many as it takes whole.
  for (auto* edit : top->findChildren<QLineEdit*>()) {
    if (edit->objectName().isEmpty()) continue;
    const QFontMetricsF fm(edit->font());
    if (edit->maxLength() <= 5) {
      fails(edit, fm.horizontalAdvance(QString(edit->maxLength(), QLatin1Char('0'))),
            ebbmark::TextRoom(edit));
    }
    if (!edit->isReadOnly()) continue;
    fails(edit, fm.horizontalAdvance(edit->text()), ebbmark::TextRoom(edit));
  }
  for (auto* check : top->findChildren<QCheckBox*>())
    fails(check, check->sizeHint().width(), check->width());
  for (auto* button : top->findChildren<QPushButton*>())
    fails(button, QFontMetricsF(button->font()).horizontalAdvance(button->text()) + 8,
          button->width());
  for (auto* combo : top->findChildren<QComboBox*>()) {
    // Every entry, beside the drop-down arrow.
    QStyleOptionComboBox option;
    option.initFrom(combo);
    const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                       QStyle::SC_ComboBoxEditField, combo);
    const QFontMetricsF fm(combo->font());
    for (int i = 0; i < combo->count(); ++i)
      fails(combo, fm.horizontalAdvance(combo->itemText(i)), field.width());
  }
  for (auto* frame : top->findChildren<QGroupBox*>())
    fails(frame, QFontMetricsF(frame->font()).horizontalAdvance(frame->title()) + 16,
          frame->width());
  return misfits;
}

void ViewTest::TextsFitTheirBoxes() {
  ebbmark::EbbmarkApp program;
  program.Start();
  QWidget* main = program.MainView()->Widget();
  QTRY_VERIFY_WITH_TIMEOUT(main->isVisible(), kWaitMs);
  QTRY_VERIFY_WITH_TIMEOUT(main->findChild<QAction*>(QStringLiteral("oToolbar_Email"))->isEnabled(),
                           kWaitMs);
  auto& model = program.Model();
  // The longest texts the window computes: the timer's longest duration
  // and the not-configured notice with its widest mark.
  model.hsbOpsTimer.SetValue(23 * 60 + 59);
  QCOMPARE(Find<QLineEdit>(main, "txtOptTimer")->text(), QStringLiteral("23 hrs 59 mins"));
  QCOMPARE(Find<QLabel>(main, "lblFNDCDetected")->text(),
           QStringLiteral("Battery Monitor Detected "));
  // The longest action type, on a computer that cannot hibernate.
  ebbmark::testing::FakeHibernationCheck hibernation;
  model.UseHibernationCheck(&hibernation);
  model.cboShutdownType.SetListIndex(2);
  hibernation.Answer(ebbmark::HibernateSupport::Unable);
  QVERIFY(Find<QLabel>(main, "lblHibernateWarning")->isVisible());
  model.Settings().TCPHost.clear();
  for (int turn = 0; turn < 4; ++turn) {
    model.tmrConnection_Timer();
    QVERIFY(
        Find<QLineEdit>(main, "txtTrellanHost")->text().startsWith("Trellan not configured..."));
    const QStringList misfits = Misfits(main);
    QVERIFY2(misfits.isEmpty(), qPrintable(misfits.join(", ")));
  }
  for (const char* action : {"oToolbar_Email", "oToolbar_Service", "mnuAbout", "oToolbar_Network"})
    InModal(main, action, [&](QWidget* dialog) {
      const QStringList misfits = Misfits(dialog);
      QVERIFY2(misfits.isEmpty(), qPrintable(misfits.join(", ")));
    });
  main->close();
  QTRY_VERIFY_WITH_TIMEOUT(program.Ended(), kWaitMs);

  // The finder, with every text it can show: the search's states, the
  // notes, every hint under the address box, a selected entry.
  ebbmark::testing::ToolWindowRig rig;
  rig.network.Add(0xC0A80114, 0xFFFFFF00);  // 192.168.1.20/24
  ebbmark::FrmFindServers finder(rig.Context());
  finder.Form_Load();
  finder.Show();
  ebbmark::WindowView view(finder, nullptr);
  QWidget* window = view.Widget();
  window->show();
  const auto check = [&](const char* state) {
    const QStringList misfits = Misfits(window);
    QVERIFY2(misfits.isEmpty(), qPrintable(QString::fromUtf8(state) + ": " + misfits.join(", ")));
  };
  check("searching");
  finder.tmrSearch_Timer();
  check("no answer");
  for (const char* typed :
       {"shed:0", "192.168.1.300", "sh_ed", "2001:db8:0:0:0:0:0:1:8467", "[fe80::1]:65535"}) {
    finder.txtAddress.SetText(typed);
    check(typed);
  }
  rig.sockets.last->Answer("\nTCP,shed-relay-in-the-garden,65535,10,0,10\r", "192.168.100.200");
  finder.lstServers.SetListIndex(0);
  check("selected");
  finder.Close();
  const auto note = [&](const char* text) {
    finder.Form_Load();
    finder.Show();
    QCOMPARE(finder.lblNoNetwork.Caption(), std::string(text));
    check(text);
    finder.Close();
  };
  rig.network.readable = false;
  note(ebbmark::find_servers_texts::kNoNetwork);
  rig.network.readable = true;
  rig.sockets.bind_ok = false;
  note(ebbmark::find_servers_texts::kNoSocket);

  // The network window with every live line and its longest password state.
  rig.settings.NUTPasswordSet = true;
  rig.settings.NUTPasswordChange = "";
  ebbmark::FrmNetwork network(rig.Context());
  network.Form_Load();
  network.Show();
  ebbmark::WindowView network_view(network, nullptr);
  network_view.Widget()->show();
  using Kind = ebbmark::FollowersAnswer::Kind;
  for (const ebbmark::FollowersAnswer& answer :
       std::vector<ebbmark::FollowersAnswer>{ebbmark::FollowersAnswer{Kind::NoAnswer, 0, {}},
                                             ebbmark::FollowersAnswer{Kind::NotRunning, 0, {}},
                                             ebbmark::FollowersAnswer{Kind::Count, 0, {}},
                                             ebbmark::FollowersAnswer{Kind::Count, 64, {}},
                                             {Kind::Error, 0, "UNKNOWN-UPS"},
                                             {Kind::Error, 0, "FEATURE-NOT-CONFIGURED"}}) {
    network.lblFollowers.SetCaption(ebbmark::FollowersText(answer));
    const QStringList misfits = Misfits(network_view.Widget());
    QVERIFY2(misfits.isEmpty(), qPrintable(QString::fromStdString(network.lblFollowers.Caption()) +
                                           ": " + misfits.join(", ")));
  }
  network.Close();
}

void ViewTest::FinderSelectsNothingUntilTheUserDoes() {
  ebbmark::testing::ToolWindowRig rig;
  rig.network.Add(0xC0A80114, 0xFFFFFF00);  // 192.168.1.20/24
  ebbmark::FrmFindServers finder(rig.Context());
  finder.Form_Load();
  finder.Show();
  ebbmark::WindowView view(finder, nullptr);
  QWidget* window = view.Widget();
  // An answer arrives before the window has the focus.
  QVERIFY(rig.sockets.last);
  rig.sockets.last->Answer("\nTCP,shed-relay,8467,2,0,1\r", "192.168.1.20");
  window->show();
  window->activateWindow();
  auto* list = Find<QListWidget>(window, "lstServers");
  list->setFocus(Qt::TabFocusReason);
  QTest::qWait(200);
  QCOMPARE(list->count(), 1);
  QCOMPARE(finder.lstServers.ListIndex(), -1);
  QCOMPARE(finder.Height(), ebbmark::FrmFindServers::kShortHeight);
  QVERIFY(list->selectedItems().isEmpty());

  // The user's click selects it and shows the host name.
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                    list->visualItemRect(list->item(0)).center());
  QCOMPARE(finder.lstServers.ListIndex(), 0);
  QCOMPARE(Find<QLineEdit>(window, "txtHostName")->text(), QStringLiteral("shed-relay"));
  finder.Close();
}

void ViewTest::FinderTakesATypedAddress() {
  ebbmark::testing::ToolWindowRig rig;
  rig.network.Add(0xC0A80114, 0xFFFFFF00);  // 192.168.1.20/24
  rig.settings.TCPHost.clear();
  ebbmark::FrmFindServers finder(rig.Context());
  finder.Form_Load();
  finder.Show();
  ebbmark::WindowView view(finder, nullptr);
  QWidget* window = view.Widget();
  window->show();
  window->activateWindow();
  auto* box = Find<QLineEdit>(window, "txtAddress");
  auto* select = Find<QPushButton>(window, "cmdSelect");
  auto* hint = Find<QLabel>(window, "lblAddressHint");
  QVERIFY(box && select && hint);
  QVERIFY(!box->isReadOnly());
  QVERIFY(!select->isEnabled());
  QVERIFY(!hint->isVisible());

  box->setFocus();
  QTest::keyClicks(box, QStringLiteral("relay.lan:99999"));
  QVERIFY(!select->isEnabled());
  QVERIFY(hint->isVisible());
  QCOMPARE(hint->text(), QString::fromUtf8(ebbmark::relay_address_texts::kBadPort));
  // Enter does nothing while the address cannot be used.
  QTest::keyClick(box, Qt::Key_Return);
  QVERIFY(finder.Visible());

  QTest::keyClick(box, Qt::Key_Backspace);
  QVERIFY(select->isEnabled());
  QVERIFY(!hint->isVisible());
  QTest::keyClick(box, Qt::Key_Return);
  QTRY_VERIFY_WITH_TIMEOUT(!finder.Visible(), kWaitMs);
  QCOMPARE(rig.settings.TCPHost, std::string("relay.lan"));
  QCOMPARE(rig.settings.TCPPort, 9999);
}

void ViewTest::BrowseChoosesTheRunFile() {
  const QString run_file = QDir(dir_.path()).filePath(QStringLiteral("bin/on-battery.sh"));
  {
    QFile f(run_file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\n");
  }
  QFile::setPermissions(run_file, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  ebbmark::EbbmarkApp program;
  program.Start();
  QWidget* main = program.MainView()->Widget();
  QTRY_VERIFY_WITH_TIMEOUT(main->isVisible(), kWaitMs);
  QTRY_VERIFY_WITH_TIMEOUT(main->findChild<QAction*>(QStringLiteral("oToolbar_Email"))->isEnabled(),
                           kWaitMs);
  auto* browse = Find<QPushButton>(main, "cmdBrowse");
  auto* box = Find<QLineEdit>(main, "txtExecute");
  QVERIFY(browse && box);
  QVERIFY(browse->isVisible());
  QCOMPARE(browse->text(), QStringLiteral("Browse…"));

  // The desktop's chooser comes up over the window; the file picked in it
  // lands in the box as if typed.
  bool chose = false;
  QTimer::singleShot(500, [&] {
    auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    QVERIFY(chooser);
    QCOMPARE(chooser->windowTitle(), QStringLiteral("Choose the run file"));
    chooser->selectFile(run_file);
    chose = true;
    QMetaObject::invokeMethod(chooser, "accept", Qt::QueuedConnection);
  });
  QTest::mouseClick(browse, Qt::LeftButton);
  QVERIFY(chose);
  QCOMPARE(box->text(), run_file);
  QCOMPARE(program.Model().Settings().ExecuteFile, run_file.toStdString());
  QVERIFY(main->findChild<QAction*>(QStringLiteral("oToolbar_Save"))->isEnabled());
  main->close();
  QTRY_VERIFY_WITH_TIMEOUT(program.Ended(), kWaitMs);
  QVERIFY2(unexpected_box_.isEmpty(), qPrintable(unexpected_box_));
}

void ViewTest::MessageBoxesFitTheirTitlesCentredOnTheirWindow() {
  const QString folder = QString::fromLocal8Bit(qgetenv("EBBMARK_SCREENSHOT_DIR"));
  QWidget window;
  window.setWindowTitle(QStringLiteral("Ebbmark"));
  window.resize(520, 420);
  window.move(40, 30);
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));
  ebbmark::QtDialogs dialogs;
  dialogs.fallback_parent = [&window] { return &window; };
  // Short texts under long titles: the box would be as narrow as its text.
  const struct {
    const char* title;
    const char* text;
    const char* shot;
  } boxes[] = {
      {"Save Settings", "Settings saved!", "message_saved"},
      {"The settings have not been saved", "Port?", "message_title"},
      {"Ebbmark Service",
       "Could not ask the service manager whether the Ebbmark service is installed: no answer "
       "in time. The settings are loaded and can be saved.",
       "message_unreachable"},
  };
  for (const auto& b : boxes) {
    bool seen = false;
    QTimer::singleShot(400, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box);
      seen = true;
      QVERIFY2(box->width() >= ebbmark::MessageBoxTitleWidth(*box),
               qPrintable(QStringLiteral("%1: %2 < %3")
                              .arg(box->windowTitle())
                              .arg(box->width())
                              .arg(ebbmark::MessageBoxTitleWidth(*box))));
      const QPoint off = box->frameGeometry().center() - window.frameGeometry().center();
      QVERIFY2(off.manhattanLength() <= 4, qPrintable(QStringLiteral("%1: off centre by %2,%3")
                                                          .arg(box->windowTitle())
                                                          .arg(off.x())
                                                          .arg(off.y())));
      if (!folder.isEmpty()) QVERIFY(box->grab().save(folder + "/" + b.shot + ".png"));
      box->accept();
    });
    dialogs.Show(b.title, b.text, ebbmark::DialogButtons::Ok, ebbmark::DialogIcon::Information);
    QVERIFY2(seen, b.title);
  }
}

void ViewTest::ASecondCopyBringsTheFirstToTheFront() {
  const QString lock = QDir(dir_.path()).filePath(QStringLiteral("run/knock.lock"));
  ebbmark::LockFileInstanceCheck first(lock);
  int raised = 0;
  first.on_raise = [&raised] { ++raised; };
  QVERIFY(!first.AnotherInstanceRunning());
  {
    ebbmark::LockFileInstanceCheck second(lock);
    QVERIFY(second.AnotherInstanceRunning());
  }
  QTRY_COMPARE_WITH_TIMEOUT(raised, 1, kWaitMs);
  ebbmark::LockFileInstanceCheck third(lock);
  QVERIFY(third.AnotherInstanceRunning());
  QTRY_COMPARE_WITH_TIMEOUT(raised, 2, kWaitMs);

  // The program itself: its window comes back in front of another one.
  ebbmark::EbbmarkApp program;
  program.Start();
  QWidget* main = program.MainView()->Widget();
  QTRY_VERIFY_WITH_TIMEOUT(main->isVisible(), kWaitMs);
  QWidget other;
  other.resize(200, 100);
  other.show();
  other.activateWindow();
  QTRY_VERIFY_WITH_TIMEOUT(other.isActiveWindow(), kWaitMs);
  ebbmark::LockFileInstanceCheck again;  // the program's own lock
  QVERIFY(again.AnotherInstanceRunning());
  QTRY_VERIFY_WITH_TIMEOUT(main->isActiveWindow(), kWaitMs);
  main->close();
  QTRY_VERIFY_WITH_TIMEOUT(program.Ended(), kWaitMs);
  QVERIFY2(unexpected_box_.isEmpty(), qPrintable(unexpected_box_));
}

namespace {

// Answers every message box as a user who means it would (Yes to a
// question, Ok to a notice) and keeps what they said.
class BoxAnswerer : public QObject {
 public:
  QStringList said;
  BoxAnswerer() {
    timer_.setInterval(100);
    connect(&timer_, &QTimer::timeout, this, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box || !box->isVisible()) return;
      said << box->windowTitle() + ": " + box->text();
      if (QAbstractButton* yes = box->button(QMessageBox::Yes)) {
        yes->click();
      } else {
        box->accept();
      }
    });
    timer_.start();
  }

 private:
  QTimer timer_;
};

// Every paint of `window`'s widgets, on the steady clock.
class PaintClock : public QObject {
 public:
  explicit PaintClock(QWidget* window) : window_(window) {
    clock_.start();
    qApp->installEventFilter(this);
  }
  ~PaintClock() override { qApp->removeEventFilter(this); }
  qint64 Now() const { return clock_.elapsed(); }
  // The paints from `from` to `to`, and the longest stretch between two of
  // them (or an end), in milliseconds.
  int Count(qint64 from, qint64 to) const {
    return static_cast<int>(std::count_if(stamps_.begin(), stamps_.end(),
                                          [&](qint64 t) { return t >= from && t <= to; }));
  }
  qint64 LongestGap(qint64 from, qint64 to) const {
    qint64 last = from, longest = 0;
    for (qint64 t : stamps_) {
      if (t < from || t > to) continue;
      longest = std::max(longest, t - last);
      last = t;
    }
    return std::max(longest, to - last);
  }

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

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

void ViewTest::ADesktopUserSavesTheSignInThroughTheHelperAndTheWindowStaysLive() {
  // The settings folder as installed: root's, readable by all, writable
  // by root alone.
  QTemporaryDir home_dir;
  QVERIFY(home_dir.isValid());
  const QDir home(home_dir.path());
  QVERIFY(QFile::setPermissions(
      home.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                       QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
  QVERIFY(QFile::copy(QDir(dir_.path()).filePath(QStringLiteral("Ebbmark.ini")),
                      home.filePath(QStringLiteral("Ebbmark.ini"))));
  QVERIFY(home.mkpath(QStringLiteral("bin")));
  // pkexec's stand-in: what its set-user-ID bit gives the real one (the
  // window's real user is root here, its effective one nobody), polkit's
  // question left standing 20 s for the settings, then the real helper.
  const QString pkexec = home.filePath(QStringLiteral("bin/pkexec"));
  {
    QFile f(pkexec);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(
        "#!/usr/bin/python3\n"
        "import os, sys, time\n"
        "os.setresuid(0, 0, 0)\n"
        "with open(os.path.join(os.path.dirname(sys.argv[0]), 'pkexec.log'), 'a') as log:\n"
        "    log.write(' '.join(sys.argv[2:]) + '\\n')\n"
        "if sys.argv[2:] == ['settings']:\n"
        "    time.sleep(20)\n"
        "helper = os.environ['EBBMARK_STAND_IN_HELPER']\n"
        "os.execv(helper, [helper] + sys.argv[2:])\n");
  }
  QFile::setPermissions(pkexec, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                    QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                    QFile::ExeOther);
  const QByteArray old_home = qgetenv("EBBMARK_HOME");
  const QByteArray old_path = qgetenv("PATH");
  qputenv("EBBMARK_HOME", home.path().toUtf8());
  qputenv("EBBMARK_PRIVILEGED_FOLDER", home.path().toUtf8());
  qputenv("EBBMARK_STAND_IN_HELPER", EBBMARK_SETTINGS_WRITER_PROGRAM);
  qputenv("PATH", home.filePath(QStringLiteral("bin")).toUtf8() + ":" + old_path);
  guard_.stop();
  const auto restore = qScopeGuard([&] {
    if (::geteuid() != 0) (void)::seteuid(0);
    qputenv("EBBMARK_HOME", old_home);
    qputenv("PATH", old_path);
    qunsetenv("EBBMARK_PRIVILEGED_FOLDER");
    guard_.start();
  });

  ebbmark::EbbmarkApp program;
  // Root again before the program goes, whatever happened (its lock is root's).
  const auto back_to_root = qScopeGuard([] {
    if (::geteuid() != 0) (void)::seteuid(0);
  });
  program.Start();
  QWidget* main = program.MainView()->Widget();
  QTRY_VERIFY_WITH_TIMEOUT(main->isVisible(), kWaitMs);
  auto* save = main->findChild<QAction*>(QStringLiteral("oToolbar_Save"));
  QTRY_VERIFY_WITH_TIMEOUT(main->findChild<QAction*>(QStringLiteral("oToolbar_Email"))->isEnabled(),
                           kWaitMs);
  QTRY_VERIFY_WITH_TIMEOUT(Find<QLabel>(main, "lblACInput")->text().endsWith("v AC"), kWaitMs);

  InModal(main, "oToolbar_Email", [&](QWidget* dialog) {
    // Typed and chosen as a user does.
    auto* user = Find<QLineEdit>(dialog, "txtUser");
    user->setFocus();
    QTest::keyClicks(user, QStringLiteral("shed@example.org"));
    auto* security = Find<QComboBox>(dialog, "cboSecurity");
    security->setFocus();
    QTest::keyClick(security, Qt::Key_Down);
    QCOMPARE(security->currentIndex(), 1);
    auto* password = Find<QLineEdit>(dialog, "txtPassword");
    password->setFocus();
    QTest::keyClicks(password, QStringLiteral("app password 7"));
  });
  QCOMPARE(program.Model().Settings().SMTPUser, std::string("shed@example.org"));
  QVERIFY(save->isEnabled());

  // From here on the window is a desktop user's: it may read the folder,
  // not write it.
  QCOMPARE(::seteuid(65534), 0);
  // (Changing users leaves a process undumpable; the sanitizers want it
  // dumpable.)
  ::prctl(PR_SET_DUMPABLE, 1);
  BoxAnswerer answerer;
  PaintClock paints(main);
  auto* soc_bar = Find<QScrollBar>(main, "hsbOptSOC");
  auto* soc_box = Find<QLineEdit>(main, "txtOptSOC");
  const qint64 start = paints.Now();
  save->trigger();
  // The running service's question is answered; polkit's stands.
  QTRY_VERIFY_WITH_TIMEOUT(program.Model().Saving(), kWaitMs);
  QVERIFY(!save->isEnabled());
  // The other controls work meanwhile.
  QTest::qWait(3000);
  const QString soc_before = soc_box->text();
  soc_bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  QVERIFY(soc_box->text() != soc_before);
  QTRY_VERIFY2_WITH_TIMEOUT(
      answerer.said.join('\n').contains("Settings saved!"),
      qPrintable(answerer.said.join('\n') + "\npkexec asked: " +
                 QString::fromUtf8(ReadAll(home.filePath(QStringLiteral("bin/pkexec.log"))))),
      60000);
  const qint64 end = paints.Now();
  QCOMPARE(::seteuid(0), 0);
  qInfo("while polkit asked: %d paints in %lld ms, the longest stretch without one %lld ms",
        paints.Count(start, end), end - start, paints.LongestGap(start, end));
  QVERIFY2(paints.Count(start, end) >= 5, "the window stopped painting while polkit asked");
  QCOMPARE(answerer.said.filter("not").join('\n'), QString());

  // The real helper wrote both, as root, in the one save.
  QCOMPARE(ReadAll(home.filePath(QStringLiteral("bin/pkexec.log"))),
           QByteArray("settings\nsecret\n"));
  const QByteArray ini = ReadAll(home.filePath(QStringLiteral("Ebbmark.ini")));
  QVERIFY2(ini.contains("SMTPUser=shed@example.org\n"), ini.constData());
  QVERIFY2(ini.contains("SMTPSecurity=1\n"), ini.constData());
  QVERIFY2(!ini.contains("app password"), "the password never goes into the settings");
  const QString secret = home.filePath(QStringLiteral("smtp.secret"));
  QCOMPARE(ReadAll(secret), QByteArray("app password 7"));
  struct stat st {};
  QCOMPARE(::stat(secret.toLocal8Bit().constData(), &st), 0);
  QCOMPARE(st.st_mode & 07777, 0600u);
  QCOMPARE(st.st_uid, 0u);
  QVERIFY2(save->isEnabled(), "the change made while polkit asked is still to save");
  main->close();
  QTRY_VERIFY_WITH_TIMEOUT(program.Ended(), kWaitMs);
}

void ViewTest::Shoot(QWidget* window, const QString& folder, const QString& name) {
  const QRect r = window->frameGeometry();
  const QString crop =
      QStringLiteral("%1x%2+%3+%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
  const QString command =
      QStringLiteral("xwd -root -silent | convert xwd:- -crop %1 +repage '%2/%3.png'")
          .arg(crop, folder, name);
  QCOMPARE(QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), command}), 0);
}

void ViewTest::Screenshots() {
  const QString folder = QString::fromLocal8Bit(qgetenv("EBBMARK_SCREENSHOT_DIR"));
  if (folder.isEmpty()) QSKIP("EBBMARK_SCREENSHOT_DIR is not set");
  ebbmark::EbbmarkApp program;
  program.Start();
  QWidget* main = program.MainView()->Widget();
  QTRY_VERIFY_WITH_TIMEOUT(Find<QWidget>(main, "fraBatteryMonitor")->isVisible(), kWaitMs);
  QTest::qWait(1500);  // let the window paint
  Shoot(main, folder, QStringLiteral("main"));

  const auto shoot_modal = [&](const char* action_name, const QString& name) {
    bool shot = false;
    // Left to the dialog's own event loop until it has been painted.
    QTimer::singleShot(300, [&] {
      QWidget* dialog = QApplication::activeModalWidget();
      // The port box with five digits, as a user types them.
      if (auto* port =
              dialog ? dialog->findChild<QLineEdit*>(QStringLiteral("txtSMTPPort")) : nullptr)
        port->setText(QStringLiteral("47526"));
      if (!dialog || name != QLatin1String("finder")) return;
      // No relay answers on loopback: show what an answer looks like.
      if (auto* list = dialog->findChild<QListWidget*>(QStringLiteral("lstServers")))
        list->addItem(QStringLiteral("192.168.1.20\t2 Inverters, 1 FNDC"));
    });
    QTimer::singleShot(1500, [&] {
      QWidget* dialog = QApplication::activeModalWidget();
      if (!dialog) return;
      // Xvfb without a window manager leaves a window that stands over
      // another one black on the screen: the dialogs are drawn by Qt.
      QVERIFY(dialog->grab().save(folder + "/" + name + ".png"));
      shot = true;
      QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
    });
    auto* action = main->findChild<QAction*>(QLatin1String(action_name));
    QVERIFY(action);
    action->trigger();
    QVERIFY(shot);
  };
  shoot_modal("oToolbar_Service", QStringLiteral("service"));
  shoot_modal("oToolbar_Email", QStringLiteral("email"));
  shoot_modal("mnuAbout", QStringLiteral("about"));
  shoot_modal("oToolbar_Trellan", QStringLiteral("finder"));
  shoot_modal("oToolbar_Network", QStringLiteral("network"));

  // The finder's address box, refusing a typed address and then taking a
  // found relay's; the search over without an answer.
  {
    ebbmark::testing::ToolWindowRig rig;
    rig.network.Add(0xC0A80114, 0xFFFFFF00);  // 192.168.1.20/24
    ebbmark::FrmFindServers finder(rig.Context());
    finder.Form_Load();
    finder.Show();
    ebbmark::WindowView view(finder, nullptr);
    view.Widget()->show();
    finder.tmrSearch_Timer();
    finder.txtAddress.SetText("2001:db8:0:0:0:0:0:1:8467");
    QTest::qWait(300);
    QVERIFY(view.Widget()->grab().save(folder + "/finder_no_answer.png"));
    rig.sockets.last->Answer("\nTCP,shed-relay,8467,2,0,1\r", "192.168.1.30");
    finder.lstServers.SetListIndex(0);
    QTest::qWait(300);
    QVERIFY(view.Widget()->grab().save(folder + "/finder_selected.png"));
    finder.Close();
  }

  // Hibernation chosen on a computer that cannot hibernate. Drawn by Qt,
  // as the dialogs are: no X screen reader is needed.
  ebbmark::testing::FakeHibernationCheck hibernation;
  program.Model().UseHibernationCheck(&hibernation);
  program.Model().cboShutdownType.SetListIndex(2);
  hibernation.Answer(ebbmark::HibernateSupport::Unable);
  QTest::qWait(500);
  QVERIFY(main->grab().save(folder + "/main_hibernate.png"));

  // The longest texts the window computes: the not-configured notice and
  // the longest duration.
  program.Model().Settings().TCPHost.clear();
  program.Model().tmrConnection_Timer();
  program.Model().hsbOpsTimer.SetValue(23 * 60 + 59);
  QTest::qWait(500);
  Shoot(main, folder, QStringLiteral("main_longest"));
  main->close();
  QTRY_VERIFY_WITH_TIMEOUT(program.Ended(), kWaitMs);
}

}  // namespace

QTEST_MAIN(ViewTest)
#include "view_test.moc"
