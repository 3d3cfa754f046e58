// The main window as the user meets it: start-up, layout, texts, colours,
// focus and keys, the file selection and the end of the program.
#include <QLineEdit>
#include <QSignalSpy>
#include <QToolTip>
#include <QtTest>
#include <memory>

#include "shell/program.h"
#include "app/twips.h"
#include "fake_services.h"
#include "gui_test_support.h"
#include "help_window/help_frm1.h"
#include "main_window/compact1.h"

using namespace quorlen;

class TestMainWindow : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void startShowsOnlyTheMainWindowPlacedAndFocused();
  void windowFrameAndSize();
  void controlsTextsAndTooltips();
  void controlGeometryAndStacking();
  void designColoursThenActivationColours();
  void activationSkipsASettingThatFails();
  void returningFromADialogIsNoActivation();
  void tabOrderStopsAndWraps();
  void enterAndEscapePressNothing();
  void okOnAFileThatIsNotThereShowsNothing();
  void pathFieldTakesTypedText();
  void doubleClickFillsPathFromTheDialog();
  void cancelledOrFailedDialogLeavesPathAlone();
  void cancelEndsTheProgram();
  void cancelWithHelpOpenKeepsTheProgramRunning();
  void escapedErrorIsShownAndEndsTheProgram();
  void mousePointerHourglassAndDefault();

 private:
  Compact1& main() { return program_->compact1(); }
  FormWindow& window() { return main().loadedWindow(); }

  std::unique_ptr<test::FakeServices> services_;
  std::unique_ptr<Program> program_;
  std::vector<int> exits_;
};

void TestMainWindow::init() {
  services_ = std::make_unique<test::FakeServices>();
  program_ = std::make_unique<Program>(*services_);
  exits_.clear();
  program_->setExitAction([this](int status) { exits_.push_back(status); });
  program_->start();
  QVERIFY(QTest::qWaitForWindowActive(main().window()));
}

void TestMainWindow::cleanup() {
  program_.reset();
  services_.reset();
  test::flushDeferredDeletes();
}

void TestMainWindow::startShowsOnlyTheMainWindowPlacedAndFocused() {
  QVERIFY(!program_->hasHelpFrm1());  // the help window is not even created
  QCOMPARE(QApplication::topLevelWidgets().count(), 1);
  QCOMPARE(QApplication::activeWindow(), main().window());
  QCOMPARE(window().windowTitle(), QStringLiteral("Compact or Repair Access Database File"));

  // 1500, 300 twips: the window's top-left corner at 100, 20 pixels at 96 dpi.
  const double dpi = logicalDpiOf(&window());
  QCOMPARE(window().frameGeometry().topLeft(),
           QPoint(twipsToPixels(1500, dpi), twipsToPixels(300, dpi)));
  if (qFuzzyCompare(dpi, 96.0)) QCOMPARE(window().frameGeometry().topLeft(), QPoint(100, 20));

  QVERIFY(main().RDOPT()(0).value());
  QVERIFY(!main().RDOPT()(1).value());
  QCOMPARE(QApplication::focusWidget(), &main().RDOPT()(0));
  QVERIFY(!main().FirstActivate());
  QCOMPARE(main().MsgBoxTitle(), QStringLiteral("MS Access Database File Repair/Compactor"));
  QVERIFY(services_->messages.empty());
  QVERIFY(services_->requests.empty());
}

void TestMainWindow::windowFrameAndSize() {
  const double dpi = logicalDpiOf(&window());
  const QSize client(twipsToPixels(4680, dpi), twipsToPixels(3285, dpi));
  QCOMPARE(window().size(), client);
  if (qFuzzyCompare(dpi, 96.0)) QCOMPARE(client, QSize(312, 219));
  // Fixed: the user cannot resize it.
  QCOMPARE(window().minimumSize(), client);
  QCOMPARE(window().maximumSize(), client);
  const Qt::WindowFlags f = window().windowFlags();
  QCOMPARE(f & Qt::WindowType_Mask, Qt::Tool);  // no taskbar button
  QVERIFY(!(f & Qt::WindowMinimizeButtonHint));
  QVERIFY(!(f & Qt::WindowMaximizeButtonHint));
  QVERIFY(f & Qt::WindowTitleHint);
  QVERIFY(window().parentWidget() == nullptr);
  QVERIFY(!window().windowIcon().isNull());
}

void TestMainWindow::controlsTextsAndTooltips() {
  Compact1& m = main();
  QCOMPARE(m.Text1().text(), QString());
  QCOMPARE(m.Text1().toolTip(),
           QStringLiteral("Double Click to Find Access File to Compact or Repair"));
  QCOMPARE(m.Frame1().caption(), QString());
  QCOMPARE(m.Frame1().toolTip(), QString());
  QCOMPARE(m.Label1()(0).caption(), QStringLiteral("Database Table:"));
  QCOMPARE(m.Label1()(0).toolTip(), QString());
  QCOMPARE(m.OKBtn().caption(), QStringLiteral("OK"));
  QCOMPARE(m.OKBtn().toolTip(),
           QStringLiteral("Perform Compact or Repair Operation on Selected File"));
  QCOMPARE(m.CancelBtn().caption(), QStringLiteral("Cancel"));
  QCOMPARE(m.CancelBtn().toolTip(), QStringLiteral("Close Compact or Repair Database Window"));
  QCOMPARE(m.HelpBtn().caption(), QStringLiteral("Help"));
  QCOMPARE(m.HelpBtn().toolTip(), QStringLiteral("Help with Compact or Repair Database Window"));
  QCOMPARE(m.SSFrame1().caption(), QStringLiteral(" Select Database Operation "));
  QCOMPARE(m.RDOPT()(0).caption(), QStringLiteral("Compact the above Database"));
  QCOMPARE(m.RDOPT()(0).toolTip(), QStringLiteral("Compact selected Access Database File"));
  QCOMPARE(m.RDOPT()(1).caption(), QStringLiteral("Repair the above Database"));
  QCOMPARE(m.RDOPT()(1).toolTip(), QStringLiteral("Repair the above Database"));
  for (VantorButton* b : {&m.OKBtn(), &m.CancelBtn(), &m.HelpBtn()}) {
    QCOMPARE(b->picture().size(), QSize(16, 16));
  }
  // The arrays hold exactly their elements.
  QCOMPARE(m.Label1().count(), 1);
  QCOMPARE(m.RDOPT().count(), 2);
  QVERIFY_THROWS_EXCEPTION(UiError, m.Label1()(1));
  QVERIFY_THROWS_EXCEPTION(UiError, m.RDOPT()(2));

  // Resting the mouse on the path field shows its tooltip.
  const QPoint centre = m.Text1().rect().center();
  QHelpEvent help(QEvent::ToolTip, centre, m.Text1().mapToGlobal(centre));
  QApplication::sendEvent(&m.Text1(), &help);
  QTRY_COMPARE(QToolTip::text(),
               QStringLiteral("Double Click to Find Access File to Compact or Repair"));
  QToolTip::hideText();
}

void TestMainWindow::controlGeometryAndStacking() {
  Compact1& m = main();
  const double dpi = logicalDpiOf(&window());
  auto px = [dpi](int l, int t, int w, int h) { return twipsRect(l, t, w, h, dpi); };
  QCOMPARE(m.Text1().geometry(), px(1425, 300, 2940, 350));
  QCOMPARE(m.Frame1().geometry(), px(0, 0, 4675, 3285));
  QCOMPARE(m.Label1()(0).geometry(), px(360, 210, 1005, 615));
  QCOMPARE(m.OKBtn().geometry(), px(270, 2610, 1095, 390));
  QCOMPARE(m.CancelBtn().geometry(), px(1710, 2610, 1200, 390));
  QCOMPARE(m.HelpBtn().geometry(), px(3240, 2610, 1095, 390));
  QCOMPARE(m.SSFrame1().geometry(), px(270, 870, 4095, 1335));
  QCOMPARE(m.RDOPT()(0).geometry(), px(150, 210, 3765, 495));
  QCOMPARE(m.RDOPT()(1).geometry(), px(150, 720, 3825, 495));

  // Nesting.
  QCOMPARE(m.Text1().parentWidget(), &window());
  QCOMPARE(m.Frame1().parentWidget(), &window());
  QCOMPARE(m.OKBtn().parentWidget(), &m.Frame1());
  QCOMPARE(m.Label1()(0).parentWidget(), &m.Frame1());
  QCOMPARE(m.SSFrame1().parentWidget(), &m.Frame1());
  QCOMPARE(m.RDOPT()(1).parentWidget(), &m.SSFrame1());
  // The path field lies above the panel and takes the clicks there.
  QCOMPARE(window().childAt(m.Text1().geometry().center()), &m.Text1());
  QTest::mouseClick(&m.Text1(), Qt::LeftButton);
  QCOMPARE(QApplication::focusWidget(), &m.Text1());
}

void TestMainWindow::designColoursThenActivationColours() {
  Compact1& m = main();
  // After the first activation:
  QCOMPARE(window().backColour(), sys::kWindowBackground);
  QCOMPARE(window().foreColour(), sys::kWindowText);
  QCOMPARE(m.Frame1().backColour(), sys::kWindowBackground);
  QCOMPARE(m.Frame1().foreColour(), sys::kWindowText);
  QCOMPARE(m.Frame1().backColour2(), fixed::kLightGrey);  // never changed
  QCOMPARE(m.SSFrame1().foreColour(), sys::kWindowText);
  QCOMPARE(m.SSFrame1().backColour(), sys::kButtonFace);  // stays as designed
  QCOMPARE(m.Label1()(0).backColour(), sys::kWindowBackground);
  QCOMPARE(m.Label1()(0).foreColour(), sys::kWindowText);
  for (int i = 0; i <= 1; ++i) {
    QCOMPARE(m.RDOPT()(i).backColour(), sys::kWindowBackground);
    QCOMPARE(m.RDOPT()(i).foreColour(), sys::kWindowText);
  }
  for (VantorButton* b : {&m.OKBtn(), &m.CancelBtn(), &m.HelpBtn()}) {
    QCOMPARE(b->backColour(), sys::kButtonFace);
    QCOMPARE(b->foreColour(), sys::kButtonText);  // stays as designed
    QCOMPARE(b->backColour2(), fixed::kLightGrey);
    QCOMPARE(b->fixedColours(), (std::array<ColourValue, 4>{fixed::kDarkGrey, fixed::kSilver,
                                                            fixed::kGrey, fixed::kWhite}));
  }
  // What is painted follows the palette: the panel shows window background,
  // the buttons button face.
  const QPalette& pal = window().palette();
  const QImage image = window().grab().toImage();
  const QPoint inPanel(twipsToPixels(300, logicalDpiOf(&window())),
                       twipsToPixels(2300, logicalDpiOf(&window())));
  QCOMPARE(QColor(image.pixel(inPanel)), pal.color(QPalette::Active, QPalette::Base));
  const QPoint inOk = m.OKBtn().geometry().topLeft() + QPoint(5, 4);
  QCOMPARE(QColor(image.pixel(inOk)), pal.color(QPalette::Active, QPalette::Button));

  // Coming back from the help window applies the colours again and leaves
  // the focus where it was.
  m.RDOPT()(1).setValue(true);
  QTest::mouseClick(&m.HelpBtn(), Qt::LeftButton);
  FormWindow* help = program_->helpFrm1().window();
  QVERIFY(QTest::qWaitForWindowActive(help));
  m.Text1().setFocus();                    // where the focus returns to in the main window
  m.Frame1().setBackColour(fixed::kGrey);  // would be reset by an activation
  window().activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&window()));
  QTRY_COMPARE(m.Frame1().backColour(), sys::kWindowBackground);
  QCOMPARE(QApplication::focusWidget(), &m.Text1());
  QVERIFY(m.RDOPT()(1).value());
}

void TestMainWindow::activationSkipsASettingThatFails() {
  Compact1& m = main();
  // RDOPT(1) disappears; its two settings fail, the ones after still run.
  delete &m.RDOPT()(1);
  m.OKBtn().setBackColour(fixed::kGrey);
  m.HelpBtn().setBackColour(fixed::kGrey);
  m.RDOPT()(0).setBackColour(sys::kButtonFace);
  QTest::mouseClick(&m.HelpBtn(), Qt::LeftButton);
  QVERIFY(QTest::qWaitForWindowActive(program_->helpFrm1().window()));
  window().activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&window()));
  QTRY_COMPARE(m.HelpBtn().backColour(), sys::kButtonFace);
  QCOMPARE(m.OKBtn().backColour(), sys::kButtonFace);
  QCOMPARE(m.RDOPT()(0).backColour(), sys::kWindowBackground);
  QVERIFY(services_->messages.empty());  // skipped silently
  QVERIFY(exits_.empty());
}

void TestMainWindow::returningFromADialogIsNoActivation() {
  // A message box or the file dialog is not one of the program's windows:
  // coming back from it does not run Form_Activate again.
  Compact1& m = main();
  m.Frame1().setBackColour(fixed::kGrey);
  QWidget dialog(nullptr, Qt::Dialog);
  dialog.resize(50, 50);
  dialog.show();
  dialog.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&dialog));
  dialog.close();
  window().activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&window()));
  QTest::qWait(20);
  QCOMPARE(m.Frame1().backColour(), fixed::kGrey);
}

void TestMainWindow::tabOrderStopsAndWraps() {
  Compact1& m = main();
  QCOMPARE(QApplication::focusWidget(), &m.RDOPT()(0));
  const QList<QWidget*> forward = {&m.Text1(),   &m.OKBtn(),    &m.CancelBtn(),
                                   &m.HelpBtn(), &m.RDOPT()(0), &m.Text1()};
  for (QWidget* expected : forward) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), expected);
  }
  // Backwards, and the group's stop follows the selected option.
  m.RDOPT()(1).setValue(true);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
  QCOMPARE(QApplication::focusWidget(), &m.RDOPT()(1));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
  QCOMPARE(QApplication::focusWidget(), &m.HelpBtn());
  // The arrow keys move the selection within the group.
  m.RDOPT()(1).setFocus();
  QTest::keyClick(&m.RDOPT()(1), Qt::Key_Up);
  QVERIFY(m.RDOPT()(0).value());
  QVERIFY(!m.RDOPT()(1).value());
  // Space presses the focused button.
  QSignalSpy cancel(&m.CancelBtn(), &QAbstractButton::clicked);
  QSignalSpy help(&m.HelpBtn(), &QAbstractButton::clicked);
  m.HelpBtn().setFocus();
  QTest::keyClick(&m.HelpBtn(), Qt::Key_Space);
  QCOMPARE(help.count(), 1);
  QCOMPARE(cancel.count(), 0);
}

void TestMainWindow::enterAndEscapePressNothing() {
  Compact1& m = main();
  QSignalSpy ok(&m.OKBtn(), &QAbstractButton::clicked);
  QSignalSpy cancel(&m.CancelBtn(), &QAbstractButton::clicked);
  QSignalSpy help(&m.HelpBtn(), &QAbstractButton::clicked);
  const QList<QWidget*> focusTargets = {&m.RDOPT()(0), &m.Text1(), &m.OKBtn(), &m.CancelBtn()};
  for (QWidget* target : focusTargets) {
    target->setFocus();
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
      QTest::keyClick(target, key);
    }
  }
  QCOMPARE(ok.count() + cancel.count() + help.count(), 0);
  QVERIFY(main().isLoaded());
  QVERIFY(window().isVisible());
  QVERIFY(!program_->hasHelpFrm1());
}

void TestMainWindow::okOnAFileThatIsNotThereShowsNothing() {
  Compact1& m = main();
  m.Text1().setText(QStringLiteral("/tmp/quorlen-no-such-dir/none.mdb"));
  QTest::mouseClick(&m.OKBtn(), Qt::LeftButton);
  QVERIFY(main().isLoaded());
  QCOMPARE(m.Text1().text(), QStringLiteral("/tmp/quorlen-no-such-dir/none.mdb"));
  QVERIFY(services_->messages.empty());
  QVERIFY(services_->requests.empty());
  QCOMPARE(window().mousePointer(), 0);
}

void TestMainWindow::pathFieldTakesTypedText() {
  Compact1& m = main();
  QVERIFY(!m.Text1().isReadOnly());
  QTest::keyClicks(&m.Text1(), QStringLiteral("/home/user/data.mdb"));
  QCOMPARE(m.Text1().text(), QStringLiteral("/home/user/data.mdb"));
  const QString longPath = QStringLiteral("/x").repeated(20000);  // no length limit
  m.Text1().setText(longPath);
  QCOMPARE(m.Text1().text(), longPath);
}

void TestMainWindow::doubleClickFillsPathFromTheDialog() {
  Compact1& m = main();
  m.Text1().setText(QStringLiteral("typed before"));
  services_->answers.push_back(QStringLiteral("/srv/db/Orders.MDB"));
  QTest::mouseDClick(&m.Text1(), Qt::LeftButton);
  QCOMPARE(m.Text1().text(), QStringLiteral("/srv/db/Orders.MDB"));
  QCOMPARE(services_->requests.size(), size_t{1});
  const FileDialogRequest first = services_->requests.front();
  QCOMPARE(first.title, QStringLiteral("Enter New Database File Name as Compacted File"));
  QCOMPARE(first.filterDescription, QStringLiteral("Access Files"));
  QCOMPARE(first.filterPattern, QStringLiteral("*.MDB"));
  QCOMPARE(first.defaultSuffix, QStringLiteral("MDB"));
  QVERIFY(first.createPrompt);
  QCOMPARE(first.fileName, QString());  // nothing offered the first time
  QCOMPARE(first.parent, main().window());
  QCOMPARE(m.CommonDialog1().Flags, 8194u);

  // The second use offers the last choice, not what Text1 holds.
  m.Text1().setText(QStringLiteral("/other/typed.mdb"));
  services_->answers.push_back(QStringLiteral("/srv/db/Second.mdb"));
  QTest::mouseDClick(&m.Text1(), Qt::LeftButton);
  QCOMPARE(services_->requests.at(1).fileName, QStringLiteral("/srv/db/Orders.MDB"));
  QCOMPARE(services_->requests.at(1).title, first.title);
  QCOMPARE(m.Text1().text(), QStringLiteral("/srv/db/Second.mdb"));
  QVERIFY(services_->messages.empty());
}

void TestMainWindow::cancelledOrFailedDialogLeavesPathAlone() {
  Compact1& m = main();
  // Cancel with an empty field, then with text in it.
  QTest::mouseDClick(&m.Text1(), Qt::LeftButton);
  QCOMPARE(m.Text1().text(), QString());
  m.Text1().setText(QStringLiteral("/keep/this.mdb"));
  QTest::mouseDClick(&m.Text1(), Qt::LeftButton);
  QCOMPARE(m.Text1().text(), QStringLiteral("/keep/this.mdb"));
  // A dialog that cannot be shown is handled the same way.
  services_->failDialog = true;
  QTest::mouseDClick(&m.Text1(), Qt::LeftButton);
  QCOMPARE(m.Text1().text(), QStringLiteral("/keep/this.mdb"));
  QCOMPARE(services_->requests.size(), size_t{3});
  QVERIFY(services_->messages.empty());
  QVERIFY(exits_.empty());
  QVERIFY(main().isLoaded());
}

// The program's end is Qt's quit-on-last-window-closed, which acts only while
// the event loop runs: these two cases run the loop, with a time limit.
namespace {
int runLoopFor(int milliseconds) {
  QTimer::singleShot(milliseconds, qApp, [] { QCoreApplication::exit(99); });
  return QApplication::exec();
}
}  // namespace

void TestMainWindow::cancelEndsTheProgram() {
  QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
  QPointer<FormWindow> old = main().window();
  QTimer::singleShot(0, qApp, [this] { QTest::mouseClick(&main().CancelBtn(), Qt::LeftButton); });
  QCOMPARE(runLoopFor(5000), 0);  // ended by itself, not by the time limit
  QCOMPARE(lastClosed.count(), 1);
  QVERIFY(!main().isLoaded());
  test::flushDeferredDeletes();
  QVERIFY(old.isNull());  // the widgets are gone
  QVERIFY_THROWS_EXCEPTION(UiError, main().Text1());
  QVERIFY(services_->messages.empty());
  QVERIFY(exits_.empty());
}

void TestMainWindow::cancelWithHelpOpenKeepsTheProgramRunning() {
  QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
  QTest::mouseClick(&main().HelpBtn(), Qt::LeftButton);
  QVERIFY(QTest::qWaitForWindowActive(program_->helpFrm1().window()));
  main().window()->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(main().window()));

  bool helpStillShown = false;
  QTimer::singleShot(0, qApp, [this] { QTest::mouseClick(&main().CancelBtn(), Qt::LeftButton); });
  QTimer::singleShot(300, qApp, [&] {
    helpStillShown = program_->helpFrm1().isLoaded() && program_->helpFrm1().window()->isVisible();
    if (helpStillShown) QTest::mouseClick(&program_->helpFrm1().OKBtn(), Qt::LeftButton);
  });
  QCOMPARE(runLoopFor(5000), 0);
  QVERIFY(helpStillShown);  // the program ran on after Cancel
  QCOMPARE(lastClosed.count(), 1);
  QVERIFY(!main().isLoaded());  // the main window is not shown again
  QVERIFY(!program_->helpFrm1().isLoaded());
}

void TestMainWindow::escapedErrorIsShownAndEndsTheProgram() {
  // A handler without error handling of its own reaches for a missing
  // element of a control array.
  program_->runHandler([this] { main().Label1()(1).setCaption(QStringLiteral("x")); });
  QCOMPARE(services_->messages.size(), size_t{1});
  const auto& message = services_->messages.front();
  QVERIFY2(message.prompt.contains(QStringLiteral("340")), qPrintable(message.prompt));
  QVERIFY2(message.prompt.contains(QStringLiteral("Label1(1)")), qPrintable(message.prompt));
  QCOMPARE(message.title, QStringLiteral("Quorlen"));
  QCOMPARE(exits_, std::vector<int>{1});
  // Nothing else runs once the program is ending.
  QTest::mouseClick(&main().CancelBtn(), Qt::LeftButton);
  QVERIFY(main().isLoaded());
  QCOMPARE(services_->messages.size(), size_t{1});
}

void TestMainWindow::mousePointerHourglassAndDefault() {
  window().setMousePointer(11);
  QCOMPARE(window().cursor().shape(), Qt::WaitCursor);
  QCOMPARE(window().mousePointer(), 11);
  window().setMousePointer(0);
  QCOMPARE(window().cursor().shape(), Qt::ArrowCursor);
  QVERIFY_THROWS_EXCEPTION(UiError, window().setMousePointer(3));
  QCOMPARE(window().mousePointer(), 0);
}

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
