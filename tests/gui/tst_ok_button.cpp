// OK: the compact and repair operations as the user meets them, on real
// files in a temporary folder. The engine's copy and verify steps are
// stand-ins (they write "NEW:" or "FIXED:" before the original bytes), so the
// safe replacement, the locks and the messages are the real ones.
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "engine/check.h"
#include "fake_services.h"
#include "gui_test_support.h"
#include "help_window/help_frm1.h"
#include "main_window/compact1.h"
#include "maintenance/file_lock.h"
#include "shell/program.h"

using namespace quorlen;

namespace {

const QString kTitle = QStringLiteral("MS Access Database File Repair/Compactor");
const QString kCompacted = QStringLiteral("                File Successfully Compacted");
const QString kRepaired = QStringLiteral("                File Successfully Repaired");

std::string readAll(const QString& path) {
  std::ifstream in(QFile::encodeName(path).toStdString(), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeAll(const QString& path, const std::string& data) {
  std::ofstream out(QFile::encodeName(path).toStdString(), std::ios::binary | std::ios::trunc);
  out << data;
}

// What the stand-in engine did, shared with the worker thread.
struct EngineLog {
  std::atomic<int> created{0};
  std::atomic<int> compacts{0};
  std::atomic<int> repairs{0};
  int compactFails = 0;  // engine number, 0 for success
  int repairFails = 0;
  std::string repairDescription = "the file could not be rebuilt";
  int delayMs = 0;
  uint64_t rowsLost = 0;  // what the stand-in repair says it could not carry over
  uint64_t valuesLost = 0;
  uint64_t rowsEstimated = 0;  // of rowsLost
};

maintenance::CopyOperation writer(const char* marker, std::atomic<int>& count, const int& fails,
                                  const std::string& description, const int& delayMs) {
  return [marker, &count, &fails, &description, &delayMs](const maintenance::CopyRequest& r) {
    ++count;
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    if (fails != 0) return engine::Status(engine::Error(fails, description));
    std::ifstream in(r.source, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    std::ofstream out(r.destination, std::ios::binary);
    out << marker << bytes.str();
    return engine::Status::Ok();
  };
}

// The stand-in repair: writes like `writer` and reports the losses the log
// asks for, one record per row or value.
maintenance::RepairOperation lossyRepair(EngineLog& log) {
  maintenance::CopyOperation copy =
      writer("FIXED:", log.repairs, log.repairFails, log.repairDescription, log.delayMs);
  return [copy, &log](const maintenance::CopyRequest& r) -> engine::Result<engine::RepairResult> {
    if (engine::Status st = copy(r); !st.ok()) return st.error();
    engine::RepairResult result;
    result.counts.rows_lost = log.rowsLost;
    result.counts.values_lost = log.valuesLost;
    result.counts.rows_lost_estimated = log.rowsEstimated;
    for (uint64_t i = 0; i < log.rowsLost + log.valuesLost; ++i) {
      engine::LossRecord loss;
      loss.kind = i < log.rowsLost ? engine::LossKind::kRow : engine::LossKind::kValue;
      loss.table_name = "Orders";
      loss.reason = "garbled";
      result.losses.push_back(loss);
    }
    return result;
  };
}

}  // namespace

class TestOkButton : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void compactReplacesTheFileAndCloses();
  void failingCompactKeepsTheWindowAndTriesNoRepair();
  void compactOfAFileHeldOpenShowsTheOpenFileMessage();
  void emptyPathWithCancelledDialogSucceedsTouchingNothing();
  void emptyPathWithChosenFileCompactsIt();
  void blankPathIsNotEmptyAndFailsSilently();
  void repairReplacesTheFileAndCloses();
  void repairWithLossesNamesTheReportAndTheKeptOriginal();
  void repairFailureShowsNumberAndDescription();
  void repairOfAFileHeldOpenShowsTheOpenFileMessage();
  void neitherOptionClosesWithoutAnyOperation();
  void successWithHelpOpenLeavesTheHelpWindow();
  void hourglassWhileWorkingAndTheWindowCannotClose();
  void oneEngineForTheWholeProgram();
  void failedSuccessMessageMakesTheOperationFail();
  void theEngineCompactsARealFile();

 private:
  Compact1& main() { return program_->compact1(); }
  void pressOk() { QTest::mouseClick(&main().OKBtn(), Qt::LeftButton); }
  void chooseRepair() { main().RDOPT()(1).setValue(true); }
  QString dbPath() const { return dir_->filePath(QStringLiteral("Orders.mdb")); }

  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<test::FakeServices> services_;
  std::unique_ptr<Program> program_;
  std::unique_ptr<EngineLog> log_;
  std::string original_;
};

void TestOkButton::init() {
  dir_ = std::make_unique<QTemporaryDir>();
  QVERIFY(dir_->isValid());
  original_ = std::string(5000, 'o') + "the user's rows";
  writeAll(dbPath(), original_);
  log_ = std::make_unique<EngineLog>();
  services_ = std::make_unique<test::FakeServices>();
  program_ = std::make_unique<Program>(*services_);
  program_->setExitAction([](int) { QFAIL("no error should escape a handler"); });
  EngineLog* log = log_.get();
  main().setEngineFactory([log] {
    ++log->created;
    maintenance::Operations ops;
    ops.compact =
        writer("NEW:", log->compacts, log->compactFails, log->repairDescription, log->delayMs);
    ops.repair = lossyRepair(*log);
    ops.verify = [](const std::string&, const std::string&) { return engine::Status::Ok(); };
    return std::make_unique<maintenance::DBEngine>(ops);
  });
  program_->start();
  QVERIFY(QTest::qWaitForWindowActive(main().window()));
}

void TestOkButton::cleanup() {
  program_.reset();
  services_.reset();
  test::flushDeferredDeletes();
  dir_.reset();
}

void TestOkButton::compactReplacesTheFileAndCloses() {
  main().Text1().setText(dbPath());
  pressOk();
  QCOMPARE(services_->messages.size(), size_t{1});
  QCOMPARE(services_->messages[0].prompt, kCompacted);
  QCOMPARE(services_->messages[0].title, kTitle);
  QVERIFY(!main().isLoaded());
  QCOMPARE(readAll(dbPath()), "NEW:" + original_);
  QCOMPARE(log_->repairs.load(), 0);
  QCOMPARE(QDir(dir_->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
           QStringList{QStringLiteral("Orders.mdb")});
}

void TestOkButton::failingCompactKeepsTheWindowAndTriesNoRepair() {
  log_->compactFails = 3043;
  main().Text1().setText(dbPath());
  pressOk();
  QVERIFY(main().isLoaded());
  QVERIFY(services_->messages.empty());  // the compact reports only 3356
  QCOMPARE(main().loadedWindow().mousePointer(), 0);
  QCOMPARE(main().loadedWindow().cursor().shape(), Qt::ArrowCursor);
  QCOMPARE(log_->compacts.load(), 1);
  QCOMPARE(log_->repairs.load(), 0);
  QCOMPARE(readAll(dbPath()), original_);
  QVERIFY(main().RDOPT()(0).value());
  QCOMPARE(main().Text1().text(), dbPath());

  // A path that names no file fails the same quiet way.
  log_->compactFails = 0;
  main().Text1().setText(dir_->filePath(QStringLiteral("none.mdb")));
  pressOk();
  QVERIFY(main().isLoaded());
  QVERIFY(services_->messages.empty());
}

void TestOkButton::compactOfAFileHeldOpenShowsTheOpenFileMessage() {
  auto held = maintenance::FileLock::Acquire(QFile::encodeName(dbPath()).toStdString());
  QVERIFY(held.ok());
  main().Text1().setText(dbPath());
  pressOk();
  QCOMPARE(services_->messages.size(), size_t{1});
  QCOMPARE(services_->messages[0].prompt,
           QStringLiteral("Ledgerine File Open - Please Close Open File - ") + dbPath() +
               QStringLiteral(" Windows"));
  QCOMPARE(services_->messages[0].title, kTitle);
  QVERIFY(main().isLoaded());
  QCOMPARE(main().loadedWindow().mousePointer(), 0);
  QCOMPARE(readAll(dbPath()), original_);
  QCOMPARE(log_->compacts.load(), 0);
}

void TestOkButton::emptyPathWithCancelledDialogSucceedsTouchingNothing() {
  pressOk();
  QCOMPARE(services_->requests.size(), size_t{1});  // the dialog was offered
  QVERIFY(services_->messages.empty());
  QVERIFY(!main().isLoaded());
  QCOMPARE(log_->created.load(), 0);  // no engine was needed
  QCOMPARE(readAll(dbPath()), original_);
}

void TestOkButton::emptyPathWithChosenFileCompactsIt() {
  services_->answers.push_back(dbPath());
  pressOk();
  QCOMPARE(services_->requests.size(), size_t{1});
  QCOMPARE(services_->messages.size(), size_t{1});
  QCOMPARE(services_->messages[0].prompt, kCompacted);
  QCOMPARE(readAll(dbPath()), "NEW:" + original_);
  QVERIFY(!main().isLoaded());
}

void TestOkButton::blankPathIsNotEmptyAndFailsSilently() {
  main().Text1().setText(QStringLiteral("   "));
  pressOk();
  QVERIFY(services_->requests.empty());
  QVERIFY(services_->messages.empty());
  QVERIFY(main().isLoaded());
  QCOMPARE(main().Text1().text(), QStringLiteral("   "));
}

void TestOkButton::repairReplacesTheFileAndCloses() {
  chooseRepair();
  main().Text1().setText(dbPath());
  pressOk();
  QCOMPARE(services_->messages.size(), size_t{1});
  QCOMPARE(services_->messages[0].prompt, kRepaired);
  QCOMPARE(services_->messages[0].title, kTitle);
  QVERIFY(!main().isLoaded());
  QCOMPARE(readAll(dbPath()), "FIXED:" + original_);
  QCOMPARE(log_->compacts.load(), 0);
}

void TestOkButton::repairWithLossesNamesTheReportAndTheKeptOriginal() {
  chooseRepair();
  log_->rowsLost = 3;
  log_->valuesLost = 2;
  log_->rowsEstimated = 1;
  main().Text1().setText(dbPath());
  pressOk();
  QVERIFY(!main().isLoaded());
  QCOMPARE(readAll(dbPath()), "FIXED:" + original_);
  const QDir dir(dir_->path());
  const QStringList kept = dir.entryList({QStringLiteral("Orders.damaged-*.mdb")});
  const QStringList reports = dir.entryList({QStringLiteral("Orders.repair-report-*.json")});
  QCOMPARE(kept.size(), 1);
  QCOMPARE(reports.size(), 1);
  QCOMPARE(readAll(dir.filePath(kept[0])), original_);
  QVERIFY(readAll(dir.filePath(reports[0])).find(kept[0].toStdString()) != std::string::npos);

  QCOMPARE(services_->messages.size(), size_t{2});
  QCOMPARE(services_->messages[0].prompt, kRepaired);
  QCOMPARE(services_->messages[1].title, kTitle);
  const QString second = services_->messages[1].prompt;
  QVERIFY2(second.startsWith(QStringLiteral("3 rows and 2 values could not be carried over")),
           qPrintable(second));
  QVERIFY2(second.contains(QStringLiteral("(1 of the rows estimated from the stored row counts)")),
           qPrintable(second));
  // The table is named; the original is not called damaged; each path
  // stands on a line of its own, so the box never breaks inside a name.
  QVERIFY2(second.contains(QStringLiteral("in the table Orders.")), qPrintable(second));
  QVERIFY2(!second.contains(QStringLiteral("damaged original")), qPrintable(second));
  const QStringList lines = second.split(QLatin1Char('\n'));
  QVERIFY2(lines.contains(dir.filePath(reports[0])), qPrintable(second));
  QVERIFY2(lines.contains(dir.filePath(kept[0])), qPrintable(second));

  // Nothing lost: one message, nothing kept beside the file.
  services_->messages.clear();
  log_->rowsLost = 0;
  log_->valuesLost = 0;
  log_->rowsEstimated = 0;
  QFile::remove(dir.filePath(kept[0]));
  QFile::remove(dir.filePath(reports[0]));
  program_->compact1().show();
  QVERIFY(QTest::qWaitForWindowActive(main().window()));
  chooseRepair();
  main().Text1().setText(dbPath());
  pressOk();
  QCOMPARE(services_->messages.size(), size_t{1});
  QCOMPARE(services_->messages[0].prompt, kRepaired);
  QCOMPARE(dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
           QStringList{QStringLiteral("Orders.mdb")});
}

void TestOkButton::repairFailureShowsNumberAndDescription() {
  chooseRepair();
  log_->repairFails = 3049;
  log_->repairDescription = "the database is too damaged to be rebuilt";
  main().Text1().setText(dbPath());
  pressOk();
  QCOMPARE(services_->messages.size(), size_t{1});
  QCOMPARE(services_->messages[0].prompt,
           QStringLiteral(" 3049 - the database is too damaged to be rebuilt"));
  QCOMPARE(services_->messages[0].title, kTitle);
  QVERIFY(main().isLoaded());
  QCOMPARE(main().loadedWindow().mousePointer(), 0);
  QCOMPARE(readAll(dbPath()), original_);

  // An empty path goes to the engine as it is: no dialog, a numbered message.
  main().Text1().setText(QString());
  pressOk();
  QVERIFY(services_->requests.empty());
  QCOMPARE(services_->messages.size(), size_t{2});
  QVERIFY(services_->messages[1].prompt.startsWith(QStringLiteral(" 3024 - ")));
  QVERIFY(main().isLoaded());

  // A negative number keeps its minus in the sign position; an empty
  // description leaves the prompt ending in " - ".
  log_->repairFails = -5;
  log_->repairDescription.clear();
  main().Text1().setText(dbPath());
  pressOk();
  QCOMPARE(services_->messages.back().prompt, QStringLiteral("-5 - "));
}

void TestOkButton::repairOfAFileHeldOpenShowsTheOpenFileMessage() {
  chooseRepair();
  auto held = maintenance::FileLock::Acquire(QFile::encodeName(dbPath()).toStdString());
  QVERIFY(held.ok());
  main().Text1().setText(dbPath());
  pressOk();
  QCOMPARE(services_->messages.size(), size_t{1});
  QCOMPARE(services_->messages[0].prompt,
           QStringLiteral("Ledgerine File Open - Please Close Open File - ") + dbPath() +
               QStringLiteral(" Windows"));
  QVERIFY(main().isLoaded());
  QCOMPARE(readAll(dbPath()), original_);
}

void TestOkButton::neitherOptionClosesWithoutAnyOperation() {
  ThreedOption& compact = main().RDOPT()(0);
  compact.setAutoExclusive(false);
  compact.setValue(false);
  compact.setAutoExclusive(true);
  QVERIFY(!main().RDOPT()(0).value() && !main().RDOPT()(1).value());
  main().Text1().setText(dbPath());
  pressOk();
  QVERIFY(!main().isLoaded());
  QVERIFY(services_->messages.empty());
  QCOMPARE(log_->created.load(), 0);
  QCOMPARE(readAll(dbPath()), original_);
}

void TestOkButton::successWithHelpOpenLeavesTheHelpWindow() {
  QTest::mouseClick(&main().HelpBtn(), Qt::LeftButton);
  QVERIFY(program_->helpFrm1().isLoaded());
  QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
  main().Text1().setText(dbPath());
  bool helpStillShown = false;
  // The program's own event loop, which ends when its last window closes.
  QTimer::singleShot(0, qApp, [this] { pressOk(); });
  QTimer::singleShot(300, qApp, [&] {
    helpStillShown = !main().isLoaded() && program_->helpFrm1().isLoaded() &&
                     program_->helpFrm1().window()->isVisible();
    if (helpStillShown) QTest::mouseClick(&program_->helpFrm1().OKBtn(), Qt::LeftButton);
  });
  QObject timeLimit;  // its timer goes with it at the end of the test
  QTimer::singleShot(5000, &timeLimit, [] { QCoreApplication::exit(99); });
  QCOMPARE(QApplication::exec(), 0);  // ended by itself once help was closed too
  QVERIFY(helpStillShown);
  QCOMPARE(lastClosed.count(), 1);
  QCOMPARE(services_->messages.size(), size_t{1});
  QCOMPARE(services_->messages[0].prompt, kCompacted);
}

void TestOkButton::hourglassWhileWorkingAndTheWindowCannotClose() {
  log_->delayMs = 400;
  main().Text1().setText(dbPath());
  int pointer = -1;
  bool busy = false;
  bool stayedOpen = false;
  bool helpPointerUntouched = false;
  QTest::mouseClick(&main().HelpBtn(), Qt::LeftButton);
  // Runs inside the wait, so the event loop is alive while the engine works.
  QTimer::singleShot(100, [&] {
    pointer = main().loadedWindow().mousePointer();
    busy = main().isBusy();
    main().loadedWindow().close();
    stayedOpen = main().isLoaded();
    helpPointerUntouched = program_->helpFrm1().loadedWindow().cursor().shape() == Qt::ArrowCursor;
  });
  pressOk();
  QCOMPARE(pointer, 11);
  QVERIFY(busy);
  QVERIFY(stayedOpen);
  QVERIFY(helpPointerUntouched);
  QVERIFY(!main().isBusy());
  QCOMPARE(services_->messages.size(), size_t{1});
  QVERIFY(!main().isLoaded());  // closed by the success, not by the attempt
  program_->helpFrm1().unload();
}

void TestOkButton::oneEngineForTheWholeProgram() {
  log_->compactFails = 3043;
  main().Text1().setText(dbPath());
  pressOk();
  chooseRepair();
  log_->repairFails = 3043;
  pressOk();
  QCOMPARE(log_->created.load(), 1);
  QVERIFY(main().hasEngine());
}

// Message boxes that cannot be shown end in the error handling: the repair
// then shows the number and description of that failure.
class FailingMessages final : public WindowServices {
 public:
  void messageBox(const QString& prompt, const QString&) override {
    prompts.push_back(prompt);
    if (prompts.size() == 1) throw UiError(kErrInternal, "no message box");
  }
  std::optional<QString> chooseFile(const FileDialogRequest&) override { return std::nullopt; }
  std::vector<QString> prompts;
};

void TestOkButton::failedSuccessMessageMakesTheOperationFail() {
  FailingMessages failing;
  program_.reset();
  test::flushDeferredDeletes();
  program_ = std::make_unique<Program>(failing);
  EngineLog* log = log_.get();
  program_->compact1().setEngineFactory([log] {
    maintenance::Operations ops;
    ops.repair = maintenance::LosslessRepair(
        writer("FIXED:", log->repairs, log->repairFails, log->repairDescription, log->delayMs));
    ops.verify = [](const std::string&, const std::string&) { return engine::Status::Ok(); };
    return std::make_unique<maintenance::DBEngine>(ops);
  });
  program_->start();
  chooseRepair();
  main().Text1().setText(dbPath());
  pressOk();
  QCOMPARE(failing.prompts.size(), size_t{2});
  QCOMPARE(failing.prompts[0], kRepaired);
  QCOMPARE(failing.prompts[1], QStringLiteral(" 51 - no message box"));
  QVERIFY(main().isLoaded());  // the operation returned false
  program_.reset();
}

// The program's own engine (no stand-ins) on a copy of a corpus file.
void TestOkButton::theEngineCompactsARealFile() {
  const QString sample = QStringLiteral(QUORLEN_CORPUS_DIR "/jet4/indexTestV2000.mdb");
  if (!QFile::exists(sample)) QSKIP("no corpus");
  program_.reset();
  test::flushDeferredDeletes();
  program_ = std::make_unique<Program>(*services_);
  program_->start();
  QFile::remove(dbPath());
  QVERIFY(QFile::copy(sample, dbPath()));
  QVERIFY(QFile::setPermissions(dbPath(), QFile::ReadOwner | QFile::WriteOwner));
  const qint64 before = QFileInfo(dbPath()).size();
  main().Text1().setText(dbPath());
  pressOk();
  QCOMPARE(services_->messages.size(), size_t{1});
  QCOMPARE(services_->messages[0].prompt, kCompacted);
  QVERIFY(!main().isLoaded());
  auto report = engine::CheckDatabase(QFile::encodeName(dbPath()).toStdString());
  QVERIFY(report.ok());
  QCOMPARE(report->damage_count(), uint64_t{0});
  QVERIFY(QFileInfo(dbPath()).size() <= before);
  const QFile::Permissions mode = QFile::permissions(dbPath());
  QVERIFY(mode.testFlag(QFile::ReadOwner) && mode.testFlag(QFile::WriteOwner));
  QVERIFY(!mode.testFlag(QFile::ReadGroup) && !mode.testFlag(QFile::ReadOther));
}

QTEST_MAIN(TestOkButton)
#include "tst_ok_button.moc"
