#include "compact1.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QFile>
#include <QWidget>
#include <cstdlib>
#include <limits>
#include <thread>

#include "../app/error.h"
#include "../app/pictures.h"
#include "../app/program.h"
#include "../app/taskbar.h"
#include "../app/twips.h"
#include "../app/window_services.h"
#include "../help_window/help_frm1.h"

namespace quorlen {

namespace {

// Runs one setting; a setting that fails is skipped without a message.
template <class F>
void orSkip(F&& setting) {
  try {
    setting();
  } catch (const std::exception&) {
  }
}

template <class T>
T* place(T* control, QWidget* parent, int left, int top, int width, int height) {
  control->setGeometry(twipsRect(left, top, width, height, logicalDpiOf(parent)));
  return control;
}

void setStoredColours(VantorColoured<QWidget>& c, ColourValue fore, ColourValue back,
                      ColourValue back2) {
  c.setForeColour(fore);
  c.setBackColour(back);
  c.setBackColour2(back2);
}

// Keeps a window open while an operation runs on it.
class CloseRefuser : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::Close) return false;
    event->ignore();
    return true;
  }
};

// Paths go to the file system in the encoding it uses for names.
std::string toFileName(const QString& path) {
  return QFile::encodeName(path).toStdString();
}

const QString kCompacted = QStringLiteral("                File Successfully Compacted");
const QString kRepaired = QStringLiteral("                File Successfully Repaired");

// The second message after a repair that could not carry everything over.
QString lossesMessage(const maintenance::RepairOutcome& o) {
  QString text = QStringLiteral("%1 row(s) and %2 value(s) could not be carried over")
                     .arg(o.rows_lost)
                     .arg(o.values_lost);
  if (o.rows_lost_estimated != 0) {
    text += QStringLiteral(" (%1 of the rows estimated from the stored row counts)")
                .arg(o.rows_lost_estimated);
  }
  if (o.pages_lost != 0 || o.tables_lost != 0) {
    text += QStringLiteral(" (%1 page(s) and %2 table(s) could not be read)")
                .arg(o.pages_lost)
                .arg(o.tables_lost);
  }
  text += QStringLiteral(".");
  if (!o.report.empty()) {
    text += QStringLiteral(" They are listed in the report ") +
            QFile::decodeName(QByteArray::fromStdString(o.report)) + QStringLiteral(".");
  }
  if (!o.kept_original.empty()) {
    text += QStringLiteral(" The damaged original was kept as ") +
            QFile::decodeName(QByteArray::fromStdString(o.kept_original)) + QStringLiteral(".");
  }
  return text;
}

}  // namespace

Compact1::Compact1(Program& program) : Form(program, QStringLiteral("Compact1")) {}

FormWindow* Compact1::createWindow() {
  // A fixed dialog frame with a title and a close command, no minimise or
  // maximise button, and no taskbar button of its own (a tool window).
  const Qt::WindowFlags flags = Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  auto* window = new FormWindow(*this, flags);
  window->setWindowTitle(QStringLiteral("Compact or Repair Access Database File"));
  window->setClientSizeTwips(kClientWidth, kClientHeight);
  keepOffTaskbar(*window);
  return window;
}

void Compact1::applyDesign(FormWindow& w) {
  // Design colours of the window itself; activation replaces them.
  w.setBackColour(sys::kButtonFace);
  w.setForeColour(sys::kButtonText);
  const std::array<ColourValue, 4> fixedSet = {fixed::kDarkGrey, fixed::kSilver, fixed::kGrey,
                                               fixed::kWhite};

  // Frame1 first, so Text1, created after it on the same parent, stacks above.
  auto* frame = place(new VantorPanel(&w), &w, 0, 0, 4675, 3285);
  frame->setObjectName(QStringLiteral("Frame1"));
  setStoredColours(*frame, sys::kWindowText, fixed::kGrey, fixed::kLightGrey);
  frame->setFixedColours(fixedSet);
  frame1_ = frame;

  auto* label = place(new VantorLabel(frame), &w, 360, 210, 1005, 615);
  label->setObjectName(QStringLiteral("Label1_0"));
  label->setCaption(QStringLiteral("Database Table:"));
  setStoredColours(*label, sys::kWindowText, fixed::kGrey, fixed::kLightGrey);
  label->setFixedColours(fixedSet);
  label1_.clear();
  label1_.add(0, label);

  auto makeButton = [&](const char* name, const QString& caption, const QString& tip,
                        const QImage& picture, int left, int width) {
    auto* b = place(new VantorButton(frame), &w, left, 2610, width, 390);
    b->setObjectName(QString::fromLatin1(name));
    b->setCaption(caption);
    b->setToolTip(tip);
    b->setPicture(QPixmap::fromImage(picture));
    b->setForeColour(sys::kButtonText);
    b->setBackColour(fixed::kGrey);
    b->setBackColour2(fixed::kLightGrey);
    b->setFixedColours(fixedSet);
    return b;
  };
  okBtn_ = makeButton("OKBtn", QStringLiteral("OK"),
                      QStringLiteral("Perform Compact or Repair Operation on Selected File"),
                      tickPicture(), 270, 1095);
  cancelBtn_ = makeButton("CancelBtn", QStringLiteral("Cancel"),
                          QStringLiteral("Close Compact or Repair Database Window"), crossPicture(),
                          1710, 1200);
  helpBtn_ = makeButton("HelpBtn", QStringLiteral("Help"),
                        QStringLiteral("Help with Compact or Repair Database Window"),
                        questionPicture(), 3240, 1095);

  auto* group = place(new ThreedFrame(frame), &w, 270, 870, 4095, 1335);
  group->setObjectName(QStringLiteral("SSFrame1"));
  group->setCaption(QStringLiteral(" Select Database Operation "));
  group->setForeColour(sys::kButtonText);
  group->setBackColour(sys::kButtonFace);
  ssFrame1_ = group;

  rdopt_.clear();
  auto makeOption = [&](int index, const QString& caption, const QString& tip, int top, int width) {
    auto* o = place(new ThreedOption(group), &w, 150, top, width, 495);
    o->setObjectName(QStringLiteral("RDOPT_%1").arg(index));
    o->setCaption(caption);
    o->setToolTip(tip);
    o->setForeColour(sys::kButtonText);
    o->setBackColour(sys::kButtonFace);
    rdopt_.add(index, o);
    return o;
  };
  auto* compact = makeOption(0, QStringLiteral("Compact the above Database"),
                             QStringLiteral("Compact selected Access Database File"), 210, 3765);
  auto* repair = makeOption(1, QStringLiteral("Repair the above Database"),
                            QStringLiteral("Repair the above Database"), 720, 3825);

  auto* path = place(new PathField(&w), &w, 1425, 300, 2940, 350);
  path->setObjectName(QStringLiteral("Text1"));
  path->setToolTip(QStringLiteral("Double Click to Find Access File to Compact or Repair"));
  path->setMaxLength(std::numeric_limits<int>::max());
  path->raise();
  text1_ = path;

  // Tab order: OK, Cancel, Help, the option group, the path field. The label,
  // the panel and the group frame take no focus.
  QWidget::setTabOrder(okBtn_, cancelBtn_);
  QWidget::setTabOrder(cancelBtn_, helpBtn_);
  QWidget::setTabOrder(helpBtn_, compact);
  QWidget::setTabOrder(compact, repair);
  QWidget::setTabOrder(repair, path);

  QObject::connect(okBtn_, &QAbstractButton::clicked, &w,
                   [this] { program().runHandler([this] { OKBtn_Click(); }); });
  QObject::connect(cancelBtn_, &QAbstractButton::clicked, &w,
                   [this] { program().runHandler([this] { CancelBtn_Click(); }); });
  QObject::connect(helpBtn_, &QAbstractButton::clicked, &w,
                   [this] { program().runHandler([this] { HelpBtn_Click(); }); });
  QObject::connect(path, &PathField::doubleClicked, &w,
                   [this] { program().runHandler([this] { Text1_DblClick(); }); });
}

void Compact1::clearDesign() {
  text1_ = nullptr;
  frame1_ = nullptr;
  okBtn_ = nullptr;
  cancelBtn_ = nullptr;
  helpBtn_ = nullptr;
  ssFrame1_ = nullptr;
  label1_.clear();
  rdopt_.clear();
}

void Compact1::Form_Load() {
  FormWindow& w = loadedWindow();
  w.moveTwips(kLeft, kTop);
  msgBoxTitle_ = QStringLiteral("MS Access Database File Repair/Compactor");
  RDOPT()(0).setValue(true);
  RDOPT()(1).setValue(false);
  firstActivate_ = true;
}

void Compact1::Form_Activate() {
  orSkip([&] { loadedWindow().setBackColour(sys::kWindowBackground); });
  orSkip([&] { loadedWindow().setForeColour(sys::kWindowText); });
  orSkip([&] { Frame1().setBackColour(sys::kWindowBackground); });
  orSkip([&] { Frame1().setForeColour(sys::kWindowText); });
  orSkip([&] { SSFrame1().setForeColour(sys::kWindowText); });
  orSkip([&] { Label1()(0).setBackColour(sys::kWindowBackground); });
  orSkip([&] { Label1()(0).setForeColour(sys::kWindowText); });
  for (int i = 0; i <= 1; ++i) {
    orSkip([&] { RDOPT()(i).setBackColour(sys::kWindowBackground); });
    orSkip([&] { RDOPT()(i).setForeColour(sys::kWindowText); });
  }
  orSkip([&] { OKBtn().setBackColour(sys::kButtonFace); });
  orSkip([&] { CancelBtn().setBackColour(sys::kButtonFace); });
  orSkip([&] { HelpBtn().setBackColour(sys::kButtonFace); });
  if (firstActivate_) {
    orSkip([&] { RDOPT()(0).setFocus(Qt::ActiveWindowFocusReason); });
    firstActivate_ = false;
  }
}

void Compact1::Form_Unload() {}

void Compact1::OKBtn_Click() {
  loadedWindow().setMousePointer(11);
  bool success = false;
  if (RDOPT()(0).value()) {
    success = CompactDatabaseFile();
    if (!success) {
      loadedWindow().setMousePointer(0);
      return;
    }
  }
  if (RDOPT()(1).value()) {
    success = RepairDatabaseFile();
    if (!success) {
      loadedWindow().setMousePointer(0);
      return;
    }
  }
  loadedWindow().setMousePointer(0);
  unload();
}

maintenance::DBEngine& Compact1::DBEngine() {
  if (!dbEngine_) {
    dbEngine_ = engineFactory_ ? engineFactory_() : std::make_unique<maintenance::DBEngine>();
    if (!dbEngine_) throw UiError(kErrInternal, "The database engine could not be created.");
  }
  return *dbEngine_;
}

engine::Status Compact1::runOnWorker(const std::function<engine::Status()>& job) {
  engine::Status status;
  QEventLoop loop;
  CloseRefuser refuser;
  FormWindow* w = window();
  if (w != nullptr) w->installEventFilter(&refuser);
  busy_ = true;
  std::thread worker([&] {
    try {
      status = job();
    } catch (const std::exception& e) {
      status = engine::Error(engine::ErrorCode::kIoError, e.what());
    }
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec(QEventLoop::ExcludeUserInputEvents);
  worker.join();
  busy_ = false;
  if (w != nullptr) w->removeEventFilter(&refuser);
  return status;
}

void Compact1::showOpenFileMessage(const QString& path) {
  program().services().messageBox(
      QStringLiteral("Ledgerine File Open - Please Close Open File - ") + path +
          QStringLiteral(" Windows"),
      MsgBoxTitle());
}

bool Compact1::CompactDatabaseFile() {
  int number = 0;
  try {
    if (Text1().text() == QString()) SelectDatabaseFile();
    if (Text1().text() == QString()) return true;
    // The copy is made next to the file and renamed over it only once it is
    // complete, on disk and verified; nothing else is ever deleted.
    const std::string path = toFileName(Text1().text());
    maintenance::DBEngine& engine = DBEngine();
    const engine::Status status = runOnWorker([&engine, path]() -> engine::Status {
      auto outcome = engine.CompactDatabase(path);
      return outcome.ok() ? engine::Status::Ok() : engine::Status(outcome.error());
    });
    if (!status.ok()) {
      number = status.error().number();
    } else {
      program().services().messageBox(kCompacted, MsgBoxTitle());
      return true;
    }
  } catch (const std::exception& e) {
    number = describeException(e).number;
  }
  // Only a file held open elsewhere is worth a message here.
  try {
    if (number == static_cast<int>(engine::ErrorCode::kHeldOpen)) {
      showOpenFileMessage(Text1().text());
    }
  } catch (const std::exception&) {
  }
  return false;
}

bool Compact1::RepairDatabaseFile() {
  int number = 0;
  QString description;
  try {
    const std::string path = toFileName(Text1().text());
    maintenance::DBEngine& engine = DBEngine();
    maintenance::RepairOutcome repaired;
    const engine::Status status = runOnWorker([&engine, &repaired, path]() -> engine::Status {
      auto outcome = engine.RepairDatabase(path);
      if (!outcome.ok()) return outcome.error();
      repaired = outcome.value();
      return engine::Status::Ok();
    });
    if (!status.ok()) {
      number = status.error().number();
      description = QString::fromStdString(status.error().description());
    } else {
      program().services().messageBox(kRepaired, MsgBoxTitle());
      // What could not be carried over is not gone: the user learns where
      // the report and the damaged original are.
      if (repaired.lost_anything) {
        program().services().messageBox(lossesMessage(repaired), MsgBoxTitle());
      }
      return true;
    }
  } catch (const std::exception& e) {
    const ErrorReport report = describeException(e);
    number = report.number;
    description = QString::fromStdString(report.description);
  }
  try {
    if (number == static_cast<int>(engine::ErrorCode::kHeldOpen)) {
      showOpenFileMessage(Text1().text());
    } else {
      // The number with its sign position: a blank before zero or a positive
      // number, a minus before a negative one.
      const QString sign = number < 0 ? QStringLiteral("-") : QStringLiteral(" ");
      program().services().messageBox(
          sign + QString::number(std::abs(static_cast<long long>(number))) + QStringLiteral(" - ") +
              description,
          MsgBoxTitle());
    }
  } catch (const std::exception&) {
  }
  return false;
}

void Compact1::CancelBtn_Click() {
  unload();
}

void Compact1::HelpBtn_Click() {
  program().helpFrm1().show();
}

void Compact1::Text1_DblClick() {
  SelectDatabaseFile();
}

void Compact1::SelectDatabaseFile() {
  CommonDialog& dialog = CommonDialog1();
  dialog.Flags = dialog_flags::kCreatePrompt | dialog_flags::kOverwritePrompt;  // 8194
  dialog.DialogTitle = QStringLiteral("Enter New Database File Name as Compacted File");
  dialog.DefaultExt = QStringLiteral("*.MDB");
  dialog.Filter = QStringLiteral("Access Files | *.MDB");
  dialog.CancelError = true;
  try {
    dialog.ShowOpen(program().services(), window());
    Text1().setText(dialog.FileName);
  } catch (...) {
    // A cancel, or a dialog that could not be shown: Text1 keeps its text.
  }
}

}  // namespace quorlen
