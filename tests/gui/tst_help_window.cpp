// The help window: one instance, loaded afresh after each close, its texts
// and colours, and legible text whatever the colour scheme.
#include <QSignalSpy>
#include <QtTest>
#include <memory>

#include "shell/program.h"
#include "app/twips.h"
#include "fake_services.h"
#include "gui_test_support.h"
#include "help_window/help_frm1.h"
#include "main_window/compact1.h"

using namespace quorlen;

class TestHelpWindow : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void helpTwiceGivesOneActiveWindow();
  void closeAndHelpAgainLoadsAfresh();
  void titleBarCloseActsLikeOk();
  void windowKindSizeAndPlace();
  void textsTooltipAndLayout();
  void designColoursThenLoadColours();
  void labelsOnWindowFrameColourStayLegible_data();
  void labelsOnWindowFrameColourStayLegible();
  void mainWindowStaysUsableWhileHelpIsOpen();
  void escapeDoesNotCloseIt();

 private:
  HelpFrm1& openHelp() {
    QTest::mouseClick(&program_->compact1().HelpBtn(), Qt::LeftButton);
    return program_->helpFrm1();
  }

  std::unique_ptr<test::FakeServices> services_;
  std::unique_ptr<Program> program_;
  QPalette savedPalette_;
};

void TestHelpWindow::init() {
  savedPalette_ = QApplication::palette();
  services_ = std::make_unique<test::FakeServices>();
  program_ = std::make_unique<Program>(*services_);
  program_->setExitAction([](int) { QFAIL("the program was ended by an error"); });
  program_->start();
  QVERIFY(QTest::qWaitForWindowActive(program_->compact1().window()));
}

void TestHelpWindow::cleanup() {
  program_.reset();
  services_.reset();
  test::flushDeferredDeletes();
  QApplication::setPalette(savedPalette_);
}

void TestHelpWindow::helpTwiceGivesOneActiveWindow() {
  HelpFrm1& help = openHelp();
  QVERIFY(QTest::qWaitForWindowActive(help.window()));
  FormWindow* first = help.window();
  program_->compact1().window()->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(program_->compact1().window()));

  QTest::mouseClick(&program_->compact1().HelpBtn(), Qt::LeftButton);
  QCOMPARE(&program_->helpFrm1(), &help);  // the same instance
  QCOMPARE(help.window(), first);          // and the same window, not reloaded
  QVERIFY(QTest::qWaitForWindowActive(first));
  int helpWindows = 0;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    helpWindows += w->isVisible() && w->objectName() == QStringLiteral("HelpFrm1");
  }
  QCOMPARE(helpWindows, 1);
  // The OK button has the focus while the window is active.
  QCOMPARE(QApplication::focusWidget(), &help.OKBtn());
}

void TestHelpWindow::closeAndHelpAgainLoadsAfresh() {
  HelpFrm1& help = openHelp();
  QVERIFY(QTest::qWaitForWindowActive(help.window()));
  QPointer<FormWindow> first = help.window();
  QPointer<VantorLabel> firstLabel = &help.Label1()(1);

  QTest::mouseClick(&help.OKBtn(), Qt::LeftButton);
  QVERIFY(!help.isLoaded());
  QVERIFY(program_->compact1().isLoaded());  // the main window is not touched
  test::flushDeferredDeletes();
  QVERIFY(first.isNull());  // window and controls destroyed
  QVERIFY(firstLabel.isNull());
  QVERIFY_THROWS_EXCEPTION(UiError, help.Label1()(1));

  HelpFrm1& again = openHelp();
  QCOMPARE(&again, &help);  // the instance outlives its window
  QVERIFY(QTest::qWaitForWindowActive(again.window()));
  QVERIFY(again.window() != nullptr);
  // Fresh controls whose colours are those that the load handler sets (the
  // design value of Label1(1)'s background is the active title bar).
  QCOMPARE(again.Label1()(1).backColour(), sys::kWindowBackground);
  QCOMPARE(again.Label1()(3).backColour2(), sys::kWindowBackground);
  QCOMPARE(again.OKBtn().backColour(), sys::kButtonFace);
  QCOMPARE(again.Label1()(0).caption(),
           QStringLiteral("This Program allows you to Compact or Repair for a MS Access File."));
}

void TestHelpWindow::titleBarCloseActsLikeOk() {
  HelpFrm1& help = openHelp();
  QVERIFY(QTest::qWaitForWindowActive(help.window()));
  QVERIFY(help.window()->close());  // the title bar's close command
  QVERIFY(!help.isLoaded());
  QVERIFY(program_->compact1().isLoaded());
  openHelp();
  QVERIFY(help.isLoaded());
  QCOMPARE(help.Label1()(2).backColour(), sys::kWindowBackground);
}

void TestHelpWindow::windowKindSizeAndPlace() {
  HelpFrm1& help = openHelp();
  FormWindow& w = *help.window();
  QCOMPARE(w.windowTitle(), QStringLiteral("Help with Compact/Repair on Access Files"));
  const double dpi = logicalDpiOf(&w);
  const QSize client(twipsToPixels(6645, dpi), twipsToPixels(3495, dpi));
  QCOMPARE(w.size(), client);
  if (qFuzzyCompare(dpi, 96.0)) QCOMPARE(client, QSize(443, 233));
  QCOMPARE(w.minimumSize(), client);
  QCOMPARE(w.maximumSize(), client);
  const Qt::WindowFlags f = w.windowFlags();
  QCOMPARE(f & Qt::WindowType_Mask, Qt::Window);  // an ordinary window: taskbar button
  QVERIFY(!(f & Qt::WindowMinimizeButtonHint));
  QVERIFY(!(f & Qt::WindowMaximizeButtonHint));
  QVERIFY(f & Qt::WindowCloseButtonHint);
  QVERIFY(w.parentWidget() == nullptr);  // no owner
  QVERIFY(!w.isModal());
  QCOMPARE(w.windowModality(), Qt::NonModal);
  QVERIFY(!w.windowIcon().isNull());
}

void TestHelpWindow::textsTooltipAndLayout() {
  HelpFrm1& help = openHelp();
  const QStringList texts = {
      QStringLiteral("This Program allows you to Compact or Repair for a MS Access File."),
      QStringLiteral(
          "First, Select the Access File by Double Clicking on the Select Access File Field."),
      QStringLiteral("Select Compact File or Repair Database File"),
      QStringLiteral("Not a Bad Idea to Make a Backup Copy of the File"),
      QStringLiteral("Click OK to Compact or Repair the MS Access File"),
      QString()};
  const double dpi = logicalDpiOf(help.window());
  QCOMPARE(help.Label1().count(), 6);
  for (int i = 0; i < 6; ++i) {
    VantorLabel& label = help.Label1()(i);
    QCOMPARE(label.caption(), texts[i]);
    QCOMPARE(label.toolTip(), QString());
    QCOMPARE(label.geometry(), twipsRect(150, 225 + 375 * i, 6240, 360, dpi));
    QCOMPARE(label.parentWidget(), &help.Frame1());
    // One line each: the caption fits the label's width.
    QVERIFY2(QFontMetrics(label.font()).horizontalAdvance(texts[i]) <= label.width() - 4,
             qPrintable(texts[i]));
  }
  QVERIFY_THROWS_EXCEPTION(UiError, help.Label1()(6));
  QCOMPARE(help.OKBtn().caption(), QStringLiteral("OK"));
  QCOMPARE(help.OKBtn().toolTip(), QStringLiteral("Close Help Window"));
  QCOMPARE(help.OKBtn().picture().size(), QSize(16, 16));
  QCOMPARE(help.OKBtn().geometry(), twipsRect(2700, 2700, 1215, 465, dpi));
  QCOMPARE(help.Frame1().geometry(), twipsRect(0, 0, 6645, 4605, dpi));
  QCOMPARE(help.Frame1().caption(), QString());
}

void TestHelpWindow::designColoursThenLoadColours() {
  HelpFrm1& help = openHelp();
  QCOMPARE(help.Frame1().foreColour(), sys::kWindowText);
  QCOMPARE(help.Frame1().backColour(), sys::kWindowBackground);
  QCOMPARE(help.Frame1().backColour2(), sys::kWindowFrame);
  QCOMPARE(help.Label1()(0).backColour(), sys::kWindowBackground);
  QCOMPARE(help.Label1()(0).backColour2(), sys::kWindowFrame);  // kept
  for (int i : {1, 2}) {
    QCOMPARE(help.Label1()(i).foreColour(), sys::kWindowText);
    QCOMPARE(help.Label1()(i).backColour(), sys::kWindowBackground);
    QCOMPARE(help.Label1()(i).backColour2(), sys::kInactiveTitleBar);  // kept
  }
  for (int i : {3, 4}) {
    QCOMPARE(help.Label1()(i).foreColour(), sys::kWindowText);
    QCOMPARE(help.Label1()(i).backColour(), sys::kWindowFrame);
    QCOMPARE(help.Label1()(i).backColour2(), sys::kWindowBackground);
  }
  // Label1(5) keeps its design colours.
  QCOMPARE(help.Label1()(5).foreColour(), sys::kWindowText);
  QCOMPARE(help.Label1()(5).backColour(), sys::kActiveTitleBar);
  QCOMPARE(help.Label1()(5).backColour2(), sys::kInactiveTitleBar);
  QCOMPARE(help.OKBtn().foreColour(), sys::kButtonText);
  QCOMPARE(help.OKBtn().backColour(), sys::kButtonFace);
  QCOMPARE(help.OKBtn().backColour2(), sys::kLight3D);
  // Painted: Label1(1) shows the window background, Label1(5) the active
  // title bar colour.
  const QPalette& pal = help.window()->palette();
  const QImage one = help.Label1()(1).grab().toImage();
  QCOMPARE(QColor(one.pixel(one.width() - 3, 2)), pal.color(QPalette::Active, QPalette::Base));
  const QImage five = help.Label1()(5).grab().toImage();
  QCOMPARE(QColor(five.pixel(5, 5)), pal.color(QPalette::Active, QPalette::Highlight));
}

void TestHelpWindow::labelsOnWindowFrameColourStayLegible_data() {
  QTest::addColumn<QPalette>("palette");
  QTest::newRow("default scheme") << QApplication::palette();
  QTest::newRow("classic scheme, frame and text both black") << test::classicPalette();
  QPalette dark = test::classicPalette();
  dark.setColor(QPalette::Shadow, QColor(0x20, 0x20, 0x20));
  dark.setColor(QPalette::Text, QColor(0x20, 0x20, 0x20));
  dark.setColor(QPalette::Base, QColor(0x28, 0x28, 0x28));
  QTest::newRow("everything dark") << dark;
}

void TestHelpWindow::labelsOnWindowFrameColourStayLegible() {
  QFETCH(QPalette, palette);
  QApplication::setPalette(palette);
  HelpFrm1& help = openHelp();
  QVERIFY(QTest::qWaitForWindowExposed(help.window()));
  for (int i = 0; i <= 4; ++i) {
    VantorLabel& label = help.Label1()(i);
    const QImage image = label.grab().toImage();
    // The background where no text is: the right end of the label.
    const QColor background(image.pixel(image.width() - 2, image.height() / 2));
    const double contrast = test::strongestContrast(image, image.rect(), background);
    QVERIFY2(contrast >= kMinimumTextContrast,
             qPrintable(QStringLiteral("Label1(%1): contrast %2").arg(i).arg(contrast)));
  }
}

void TestHelpWindow::mainWindowStaysUsableWhileHelpIsOpen() {
  HelpFrm1& help = openHelp();
  QVERIFY(QTest::qWaitForWindowActive(help.window()));
  Compact1& main = program_->compact1();
  services_->answers.push_back(QStringLiteral("/data/x.mdb"));
  QTest::mouseDClick(&main.Text1(), Qt::LeftButton);
  QCOMPARE(main.Text1().text(), QStringLiteral("/data/x.mdb"));
  QTest::mouseClick(&main.RDOPT()(1), Qt::LeftButton);
  QVERIFY(main.RDOPT()(1).value());
  QVERIFY(!main.RDOPT()(0).value());
  QVERIFY(help.isLoaded());
}

void TestHelpWindow::escapeDoesNotCloseIt() {
  HelpFrm1& help = openHelp();
  QVERIFY(QTest::qWaitForWindowActive(help.window()));
  QTest::keyClick(&help.OKBtn(), Qt::Key_Escape);
  QTest::keyClick(&help.OKBtn(), Qt::Key_Return);
  QVERIFY(help.isLoaded());
  QTest::keyClick(&help.OKBtn(), Qt::Key_Space);  // the focused OK, pressed with Space
  QVERIFY(!help.isLoaded());
}

QTEST_MAIN(TestHelpWindow)
#include "tst_help_window.moc"
