// The main window: the path of the database file, the choice between compact
// and repair, and the OK, Cancel and Help buttons.
#pragma once

#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

#include "../app/common_dialog.h"
#include "../app/control_array.h"
#include "../app/controls/path_field.h"
#include "../app/controls/threed_controls.h"
#include "../app/controls/vantor_controls.h"
#include "../app/form.h"
#include "../maintenance/db_engine.h"

namespace quorlen {

class Compact1 : public Form {
 public:
  // `openHelp` shows the help window (the Help button).
  Compact1(FormHost& host, std::function<void()> openHelp);
  ~Compact1() override;

  // Design data, in twips.
  static constexpr int kClientWidth = 4680;
  static constexpr int kClientHeight = 3285;
  static constexpr int kLeft = 1500;
  static constexpr int kTop = 300;

  // The controls of the loaded window. Each throws UiError 91 when the
  // window is not loaded; the arrays throw 340 for an index with no element.
  PathField& Text1() const { return get(text1_); }
  VantorPanel& Frame1() const { return get(frame1_); }
  VantorButton& OKBtn() const { return get(okBtn_); }
  VantorButton& CancelBtn() const { return get(cancelBtn_); }
  VantorButton& HelpBtn() const { return get(helpBtn_); }
  ThreedFrame& SSFrame1() const { return get(ssFrame1_); }
  const ControlArray<VantorLabel>& Label1() const { return label1_; }
  const ControlArray<ThreedOption>& RDOPT() const { return rdopt_; }
  CommonDialog& CommonDialog1() { return commonDialog1_; }

  const QString& MsgBoxTitle() const { return msgBoxTitle_; }
  bool FirstActivate() const { return firstActivate_; }

  // Lets the user pick the database file and puts its full path in Text1.
  // A cancel or any failure leaves Text1 as it was, without a message.
  void SelectDatabaseFile();

  // The database engine: created by the first operation that needs it, then
  // kept. Tests give their own factory before that first use.
  using EngineFactory = std::function<std::unique_ptr<maintenance::DBEngine>()>;
  void setEngineFactory(EngineFactory factory) { engineFactory_ = std::move(factory); }
  bool hasEngine() const { return dbEngine_ != nullptr; }

  // True while an operation runs on the worker thread.
  bool isBusy() const { return busy_; }

 protected:
  FormWindow* createWindow() override;
  void applyDesign(FormWindow& window) override;
  void clearDesign() override;
  void Form_Load() override;
  void Form_Activate() override;
  void Form_Unload() override;

  // OK runs the operation chosen with RDOPT on the file named in Text1:
  // compact first, then repair (read after the compact), with the hourglass
  // over this window; the window closes unless an operation failed. The
  // order and the messages are operations.h's.
  virtual void OKBtn_Click();

  // The two operations. Each works on the path in Text1, tells the user the
  // outcome itself and returns the success flag.
  bool CompactDatabaseFile();
  bool RepairDatabaseFile();
  void CancelBtn_Click();
  void HelpBtn_Click();
  void Text1_DblClick();

 private:
  template <class T>
  T& get(const QPointer<T>& control) const {
    if (control.isNull()) {
      throw UiError(kErrObjectNotLoaded, "The window " + name().toStdString() + " is not loaded.");
    }
    return *control;
  }

  QPointer<PathField> text1_;
  QPointer<VantorPanel> frame1_;
  QPointer<VantorButton> okBtn_;
  QPointer<VantorButton> cancelBtn_;
  QPointer<VantorButton> helpBtn_;
  QPointer<ThreedFrame> ssFrame1_;
  ControlArray<VantorLabel> label1_{QStringLiteral("Label1")};
  ControlArray<ThreedOption> rdopt_{QStringLiteral("RDOPT")};
  CommonDialog commonDialog1_;

  class View;
  maintenance::DBEngine& DBEngine();
  // Runs `job` on a worker thread; meanwhile the windows keep painting but
  // take no user input, and this window cannot be closed.
  engine::Status runOnWorker(const std::function<engine::Status()>& job);

  QString msgBoxTitle_;
  bool firstActivate_ = false;
  bool busy_ = false;
  EngineFactory engineFactory_;
  std::unique_ptr<maintenance::DBEngine> dbEngine_;
  std::function<void()> openHelp_;
  std::unique_ptr<View> view_;
};

}  // namespace quorlen
