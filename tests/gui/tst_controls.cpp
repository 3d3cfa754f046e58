// The window services and our painted controls, without any window class.
#include <QFileSystemModel>
#include <QListView>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolTip>
#include <QtTest>

#include "app/colours.h"
#include "app/common_dialog.h"
#include "app/control_array.h"
#include "app/controls/bevel.h"
#include "app/controls/threed_controls.h"
#include "app/controls/vantor_controls.h"
#include "app/file_dialog.h"
#include "app/fonts.h"
#include "app/pictures.h"
#include "shell/program.h"
#include "app/twips.h"
#include "app/version.h"
#include "fake_services.h"
#include "gui_test_support.h"

using namespace quorlen;

class TestControls : public QObject {
  Q_OBJECT

 private slots:
  void twipsScaleWithDpi_data();
  void twipsScaleWithDpi();
  void colourValuesResolveAgainstThePaletteAtPaintTime();
  void invalidColourValuesAreRefused();
  void legibleTextColourFallsBackInOrder();
  void controlArrayMissingIndexFails();
  void filterAndDefaultExtension();
  void commonDialogKeepsLastNameAndReportsCancel();
  void fileDialogListsMdbInAnyCase();
  void fileDialogAsksBeforeANameThatDoesNotExist();
  void bevelAndButtonGeometry();
  void picturesAreDrawnWithTransparency();
  void dialogFontIsSansAt825Points();
  void optionGroupIsOneTabStop();
  void buttonDrawsCaptionAndPicture();
  void programIdentity();
  void messageBoxHasOkOnlyNoIconAndTitle();
};

void TestControls::twipsScaleWithDpi_data() {
  QTest::addColumn<int>("twips");
  QTest::addColumn<double>("dpi");
  QTest::addColumn<int>("pixels");
  QTest::newRow("main client width") << 4680 << 96.0 << 312;
  QTest::newRow("main client height") << 3285 << 96.0 << 219;
  QTest::newRow("help client width") << 6645 << 96.0 << 443;
  QTest::newRow("help client height") << 3495 << 96.0 << 233;
  QTest::newRow("left 1500") << 1500 << 96.0 << 100;
  QTest::newRow("top 300") << 300 << 96.0 << 20;
  QTest::newRow("panel 4675 rounds up") << 4675 << 96.0 << 312;
  QTest::newRow("120 dpi") << 1500 << 120.0 << 125;
  QTest::newRow("192 dpi") << 300 << 192.0 << 40;
  QTest::newRow("unknown dpi means 96") << 300 << 0.0 << 20;
}

void TestControls::twipsScaleWithDpi() {
  QFETCH(int, twips);
  QFETCH(double, dpi);
  QFETCH(int, pixels);
  QCOMPARE(twipsToPixels(twips, dpi), pixels);
}

void TestControls::colourValuesResolveAgainstThePaletteAtPaintTime() {
  // Fixed colours are &H00bbggrr: red in the low byte.
  QPalette palette;
  QCOMPARE(resolveColour(0x000000FF, palette).value(), QColor(255, 0, 0));
  QCOMPARE(resolveColour(0x00FF0000, palette).value(), QColor(0, 0, 255));
  QCOMPARE(resolveColour(fixed::kLightGrey, palette).value(), QColor(0xE0, 0xE0, 0xE0));

  // Every documented system entry follows the palette it is resolved against.
  QPalette a(Qt::white);
  QPalette b(Qt::darkBlue);
  for (const SystemColourEntry& entry : systemColourTable()) {
    const ColourValue value = 0x80000000u | static_cast<ColourValue>(entry.index);
    QVERIFY(isValidColour(value));
    a.setColor(QPalette::Active, entry.role, QColor(1, 2, entry.index));
    b.setColor(QPalette::Active, entry.role, QColor(9, 8, entry.index));
    QCOMPARE(resolveColour(value, a).value(), QColor(1, 2, entry.index));
    QCOMPARE(resolveColour(value, b).value(), QColor(9, 8, entry.index));
  }
  QCOMPARE(static_cast<int>(systemColourTable().size()), 9);

  // A control stores the value, not the colour: a new palette repaints it.
  VantorLabel label;
  label.resize(40, 20);
  label.setBackColour(sys::kWindowBackground);
  QPalette p1 = label.palette();
  p1.setColor(QPalette::Base, QColor(10, 200, 30));
  label.setPalette(p1);
  QCOMPARE(QColor(label.grab().toImage().pixel(5, 5)), QColor(10, 200, 30));
  p1.setColor(QPalette::Base, QColor(200, 10, 30));
  label.setPalette(p1);
  QCOMPARE(QColor(label.grab().toImage().pixel(5, 5)), QColor(200, 10, 30));
}

void TestControls::invalidColourValuesAreRefused() {
  QVERIFY(!isValidColour(0x80000001));  // not an entry the windows use
  QVERIFY(!isValidColour(0x80000100));
  QVERIFY(!isValidColour(0x01000000));
  QVERIFY(!resolveColour(0x80000099, QPalette()).has_value());

  VantorButton button;
  button.setBackColour(sys::kButtonFace);
  try {
    button.setBackColour(0x80000063);
    QFAIL("an invalid colour was taken");
  } catch (const UiError& e) {
    QCOMPARE(e.number(), static_cast<int>(kErrInvalidPropertyValue));
  }
  QCOMPARE(button.backColour(), sys::kButtonFace);  // kept
  ThreedOption option;
  QVERIFY_THROWS_EXCEPTION(UiError, option.setForeColour(0x7F000000));
}

void TestControls::legibleTextColourFallsBackInOrder() {
  const QColor black(Qt::black), white(Qt::white), grey(0x80, 0x80, 0x80);
  // Readable as it is: kept.
  QCOMPARE(legibleTextColour(black, white, black), black);
  // Black on black: the second background (white) is used.
  QCOMPARE(legibleTextColour(black, black, white), white);
  // Black on black with a black second background: white.
  QCOMPARE(legibleTextColour(black, black, black), white);
  // White on white: black.
  QCOMPARE(legibleTextColour(white, white, QColor(0xF0, 0xF0, 0xF0)), black);
  QVERIFY(contrastRatio(black, white) > 20.9);
  QCOMPARE(contrastRatio(grey, grey), 1.0);
}

void TestControls::controlArrayMissingIndexFails() {
  VantorLabel a;
  ControlArray<VantorLabel> labels(QStringLiteral("Label1"));
  labels.add(0, &a);
  QCOMPARE(&labels(0), &a);
  try {
    labels(1);
    QFAIL("element 1 was found");
  } catch (const UiError& e) {
    QCOMPARE(e.number(), 340);
    QVERIFY(QString::fromStdString(e.description()).contains(QStringLiteral("Label1(1)")));
  }
  QVERIFY_THROWS_EXCEPTION(UiError, labels(-1));
  {
    auto* gone = new VantorLabel;
    labels.add(2, gone);
    delete gone;  // a destroyed control is no element any more
  }
  QVERIFY_THROWS_EXCEPTION(UiError, labels(2));
}

void TestControls::filterAndDefaultExtension() {
  const FilterEntry entry = parseFilter(QStringLiteral("Access Files | *.MDB"));
  QCOMPARE(entry.description, QStringLiteral("Access Files"));
  QCOMPARE(entry.pattern, QStringLiteral("*.MDB"));
  QCOMPARE(parseFilter(QStringLiteral("*.txt")).pattern, QStringLiteral("*.txt"));
  QCOMPARE(parseFilter(QStringLiteral("A|*.a|B|*.b")).pattern, QStringLiteral("*.a"));
  QCOMPARE(suffixFromDefaultExt(QStringLiteral("*.MDB")), QStringLiteral("MDB"));
  QCOMPARE(suffixFromDefaultExt(QStringLiteral(".mdb")), QStringLiteral("mdb"));
  QCOMPARE(
      DatabaseFileDialog::nameFilterFor(QStringLiteral("Access Files"), QStringLiteral("*.MDB")),
      QStringLiteral("Access Files (*.MDB)"));
}

void TestControls::commonDialogKeepsLastNameAndReportsCancel() {
  test::FakeServices services;
  CommonDialog dialog;
  dialog.Flags = 8194;
  dialog.DialogTitle = QStringLiteral("Title");
  dialog.DefaultExt = QStringLiteral("*.MDB");
  dialog.Filter = QStringLiteral("Access Files | *.MDB");
  dialog.CancelError = true;

  services.answers.push_back(QStringLiteral("/data/one.mdb"));
  dialog.ShowOpen(services, nullptr);
  QCOMPARE(dialog.FileName, QStringLiteral("/data/one.mdb"));
  QCOMPARE(services.requests.at(0).fileName, QString());
  QVERIFY(services.requests.at(0).createPrompt);
  QVERIFY(services.requests.at(0).overwritePrompt);
  QCOMPARE(services.requests.at(0).defaultSuffix, QStringLiteral("MDB"));

  // The second use offers the last name; a cancel throws and keeps it.
  try {
    dialog.ShowOpen(services, nullptr);
    QFAIL("a cancel was not reported");
  } catch (const UiError& e) {
    QCOMPARE(e.number(), static_cast<int>(kErrDialogCancelled));
  }
  QCOMPARE(services.requests.at(1).fileName, QStringLiteral("/data/one.mdb"));
  QCOMPARE(dialog.FileName, QStringLiteral("/data/one.mdb"));

  dialog.CancelError = false;
  dialog.ShowOpen(services, nullptr);  // no throw without CancelError
  QCOMPARE(dialog.FileName, QStringLiteral("/data/one.mdb"));
}

void TestControls::fileDialogListsMdbInAnyCase() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  for (const char* name : {"upper.MDB", "lower.mdb", "mixed.Mdb", "other.txt", "near.mdbx"}) {
    QFile f(dir.filePath(QString::fromLatin1(name)));
    QVERIFY(f.open(QIODevice::WriteOnly));
  }
  FileDialogRequest request;
  request.title = QStringLiteral("Enter New Database File Name as Compacted File");
  request.filterDescription = QStringLiteral("Access Files");
  request.filterPattern = QStringLiteral("*.MDB");
  request.defaultSuffix = QStringLiteral("MDB");
  request.fileName = dir.filePath(QStringLiteral("lower.mdb"));
  DatabaseFileDialog dialog(request);
  QCOMPARE(dialog.windowTitle(), request.title);
  QCOMPARE(dialog.nameFilters(), QStringList{QStringLiteral("Access Files (*.MDB)")});
  QCOMPARE(dialog.defaultSuffix(), QStringLiteral("MDB"));
  QCOMPARE(dialog.directory().absolutePath(), QDir(dir.path()).absolutePath());

  auto* view = dialog.findChild<QListView*>(QStringLiteral("listView"));
  QVERIFY(view != nullptr);
  QAbstractItemModel* model = view->model();
  QStringList listed;
  QTRY_VERIFY_WITH_TIMEOUT(
      [&] {
        listed.clear();
        const QModelIndex root = view->rootIndex();
        for (int row = 0; row < model->rowCount(root); ++row) {
          listed << model->index(row, 0, root).data().toString();
        }
        listed.sort();
        return listed.size() == 3;
      }(),
      5000);
  QCOMPARE(listed, (QStringList{QStringLiteral("lower.mdb"), QStringLiteral("mixed.Mdb"),
                                QStringLiteral("upper.MDB")}));
}

void TestControls::fileDialogAsksBeforeANameThatDoesNotExist() {
  QTemporaryDir dir;
  QFile existing(dir.filePath(QStringLiteral("there.mdb")));
  QVERIFY(existing.open(QIODevice::WriteOnly));
  existing.close();

  FileDialogRequest request;
  request.filterDescription = QStringLiteral("Access Files");
  request.filterPattern = QStringLiteral("*.MDB");
  request.createPrompt = true;
  request.fileName = dir.filePath(QStringLiteral("there.mdb"));

  QStringList asked;
  bool answer = false;
  DatabaseFileDialog dialog(request);
  dialog.setCreateQuestion([&](const QString& path) {
    asked << path;
    return answer;
  });
  dialog.setResult(QDialog::Rejected);
  dialog.accept();  // an existing file: no question
  QCOMPARE(dialog.result(), static_cast<int>(QDialog::Accepted));
  QVERIFY(asked.isEmpty());

  dialog.setResult(QDialog::Rejected);
  dialog.selectFile(dir.filePath(QStringLiteral("new.mdb")));
  dialog.accept();  // "No": the dialog stays
  QCOMPARE(asked.size(), 1);
  QVERIFY(asked.front().endsWith(QStringLiteral("new.mdb")));
  QCOMPARE(dialog.result(), static_cast<int>(QDialog::Rejected));

  answer = true;
  dialog.accept();  // "Yes": the name is taken; no file is created
  QCOMPARE(dialog.result(), static_cast<int>(QDialog::Accepted));
  QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("new.mdb"))));
}

void TestControls::bevelAndButtonGeometry() {
  const BevelColours colours{Qt::white, Qt::black, Qt::lightGray, Qt::darkGray};
  const auto raised = bevelLines(QRect(0, 0, 10, 6), colours, true, 2);
  QCOMPARE(raised.size(), size_t{8});
  QCOMPARE(raised[0].rect, QRect(0, 0, 10, 1));  // top of the outer ring
  QCOMPARE(raised[0].colour, QColor(Qt::white));
  QCOMPARE(raised[2].rect, QRect(0, 5, 10, 1));  // bottom
  QCOMPARE(raised[2].colour, QColor(Qt::black));
  QCOMPARE(raised[4].rect, QRect(1, 1, 8, 1));  // the inner ring sits inside
  const auto sunken = bevelLines(QRect(0, 0, 10, 6), colours, false, 1);
  QCOMPARE(sunken[0].colour, QColor(Qt::black));
  QVERIFY(bevelLines(QRect(0, 0, 1, 1), colours, true, 2).empty());

  // Picture and caption centred as one group, picture first.
  const QRect face(3, 3, 67, 20);
  const ButtonLayout l = layoutButton(face, QSize(16, 16), QSize(15, 13), 4, false);
  QCOMPARE(l.picture.size(), QSize(16, 16));
  QCOMPARE(l.caption.left(), l.picture.right() + 1 + 4);
  QCOMPARE(l.picture.left() - face.left(), face.right() - l.caption.right());
  QVERIFY(face.contains(l.picture) && face.contains(l.caption));
  // Too long a caption is cut, the picture stays whole.
  const ButtonLayout tight = layoutButton(face, QSize(16, 16), QSize(200, 13), 4, false);
  QCOMPARE(tight.picture.width(), 16);
  QVERIFY(face.contains(tight.caption));
  // Pressed moves both by one pixel.
  const ButtonLayout down = layoutButton(face, QSize(16, 16), QSize(15, 13), 4, true);
  QCOMPARE(down.picture.topLeft(), l.picture.topLeft() + QPoint(1, 1));

  QCOMPARE(optionIndicatorRect(QRect(2, 0, 251, 33), 13), QRect(2, 10, 13, 13));
  const FrameGeometry g = layoutGroupFrame(QRect(0, 0, 273, 89), 120, 14, 8);
  QCOMPARE(g.groove.top(), 7);
  QCOMPARE(g.caption, QRect(8, 0, 120, 14));
}

void TestControls::picturesAreDrawnWithTransparency() {
  struct Case {
    QImage image;
    QColor ink;
  };
  const Case cases[] = {{tickPicture(), QColor(255, 0, 0)},
                        {crossPicture(), QColor(0, 0, 0)},
                        {questionPicture(), QColor(0, 0x80, 0x80)}};
  for (const Case& c : cases) {
    QCOMPARE(c.image.size(), QSize(16, 16));
    QCOMPARE(QColor::fromRgba(c.image.pixel(0, 0)).alpha(), 0);  // corner is transparent
    int inked = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) inked += QColor::fromRgba(c.image.pixel(x, y)) == c.ink;
    QVERIFY2(inked >= 10, "the motif colour is missing");
  }
  const QImage icon = programIconImage();
  QCOMPARE(icon.size(), QSize(32, 32));
  QVERIFY(!programIcon().isNull());
}

void TestControls::dialogFontIsSansAt825Points() {
  const QFont f = dialogFont();
  QCOMPARE(f.pointSizeF(), 8.25);
  QCOMPARE(f.weight(), QFont::Normal);
  QVERIFY(!f.italic() && !f.underline() && !f.strikeOut());
  // The face used is installed (or the list is the wish list when none is).
  const QString used = QFontInfo(f).family();
  QVERIFY2(!used.isEmpty(), "no font resolved");
}

void TestControls::optionGroupIsOneTabStop() {
  QWidget group;
  auto* a = new ThreedOption(&group);
  auto* b = new ThreedOption(&group);
  a->setValue(true);
  QVERIFY(a->isChecked() && !b->isChecked());
  QVERIFY(a->focusPolicy() & Qt::TabFocus);
  QVERIFY(!(b->focusPolicy() & Qt::TabFocus));
  QVERIFY(b->focusPolicy() & Qt::ClickFocus);
  b->setValue(true);  // selecting one clears the other
  QVERIFY(!a->isChecked());
  QVERIFY(b->focusPolicy() & Qt::TabFocus);
  QVERIFY(!(a->focusPolicy() & Qt::TabFocus));
}

void TestControls::buttonDrawsCaptionAndPicture() {
  VantorButton button;
  button.setFont(dialogFont());
  button.resize(73, 26);
  button.setCaption(QStringLiteral("OK"));
  button.setPicture(QPixmap::fromImage(tickPicture()));
  button.setBackColour(fixed::kWhite);
  button.setForeColour(0x000000FF);  // red text, for finding it
  QSignalSpy clicks(&button, &QAbstractButton::clicked);
  const QImage image = button.grab().toImage();
  int red = 0;
  for (int y = 3; y < 23; ++y)
    for (int x = 3; x < 70; ++x) red += QColor(image.pixel(x, y)) == QColor(255, 0, 0);
  QVERIFY2(red > 10, "neither picture nor caption was drawn");
  QTest::mouseClick(&button, Qt::LeftButton);
  QCOMPARE(clicks.count(), 1);
}

void TestControls::programIdentity() {
  applyProgramIdentity();
  QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Quorlen"));
  QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("1.00"));
  QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("org.quorlen.Quorlen"));
  QCOMPARE(QString::fromUtf8(kFileDescription),
           QStringLiteral("Compact and Repair MS Access Files"));
  QCOMPARE(kNumericVersion, (std::array<int, 4>{1, 0, 0, 0}));
  QVERIFY(QApplication::windowIcon().availableSizes().contains(QSize(32, 32)));
  QCOMPARE(QToolTip::font().pointSizeF(), 8.25);
}

void TestControls::messageBoxHasOkOnlyNoIconAndTitle() {
  const auto box = makeMessageBox(QStringLiteral("  File Successfully Compacted"),
                                  QStringLiteral("MS Access Database File Repair/Compactor"));
  QCOMPARE(box->text(), QStringLiteral("  File Successfully Compacted"));
  QCOMPARE(box->windowTitle(), QStringLiteral("MS Access Database File Repair/Compactor"));
  QCOMPARE(box->icon(), QMessageBox::NoIcon);
  QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
  QCOMPARE(box->buttons().size(), 1);
  QCOMPARE(box->windowModality(), Qt::ApplicationModal);
}

QTEST_MAIN(TestControls)
#include "tst_controls.moc"
