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
#include "../app/taskbar.h"
#include "../app/twips.h"
#include "../app/window_services.h"
#include "operations.h"

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

}  // namespace

// The window as the operations (operations.h) see it.
class Compact1::View : public operations::OperationsView {
 public:
  explicit View(Compact1& window) : w_(window) {}
  std::string pathText() override { return w_.Text1().text().toStdString(); }
  std::string pathFileName() override { return toFileName(w_.Text1().text()); }
  void selectDatabaseFile() override { w_.SelectDatabaseFile(); }
  bool compactChosen() override { return w_.RDOPT()(0).value(); }
  bool repairChosen() override { return w_.RDOPT()(1).value(); }
  void setMousePointer(int value) override { w_.loadedWindow().setMousePointer(value); }
  void closeWindow() override { w_.unload(); }
  void message(const std::string& prompt) override {
    w_.host().services().messageBox(QString::fromStdString(prompt), w_.MsgBoxTitle());
  }
  maintenance::DBEngine& engine() override { return w_.DBEngine(); }
  engine::Status runOnWorker(const std::function<engine::Status()>& job) override {
    return w_.runOnWorker(job);
  }
  std::string displayPath(const std::string& file_name) override {
    return QFile::decodeName(QByteArray::fromStdString(file_name)).toStdString();
  }

 private:
  Compact1& w_;
};

Compact1::Compact1(FormHost& host, std::function<void()> openHelp)
    : Form(host, QStringLiteral("Compact1")),
      openHelp_(std::move(openHelp)),
      view_(std::make_unique<View>(*this)) {}

Compact1::~Compact1() = default;

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
                   [this] { host().runHandler([this] { OKBtn_Click(); }); });
  QObject::connect(cancelBtn_, &QAbstractButton::clicked, &w,
                   [this] { host().runHandler([this] { CancelBtn_Click(); }); });
  QObject::connect(helpBtn_, &QAbstractButton::clicked, &w,
                   [this] { host().runHandler([this] { HelpBtn_Click(); }); });
  QObject::connect(path, &PathField::doubleClicked, &w,
                   [this] { host().runHandler([this] { Text1_DblClick(); }); });
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
  msgBoxTitle_ = QString::fromUtf8(operations::kMsgBoxTitle);
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
  operations::OkClicked(*view_);
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

bool Compact1::CompactDatabaseFile() {
  return operations::CompactDatabaseFile(*view_);
}

bool Compact1::RepairDatabaseFile() {
  return operations::RepairDatabaseFile(*view_);
}

void Compact1::CancelBtn_Click() {
  unload();
}

void Compact1::HelpBtn_Click() {
  if (openHelp_) openHelp_();
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
    dialog.ShowOpen(host().services(), window());
    Text1().setText(dialog.FileName);
  } catch (...) {
    // A cancel, or a dialog that could not be shown: Text1 keeps its text.
  }
}

}  // namespace quorlen
