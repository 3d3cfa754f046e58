// The help window: six lines of text about the main window and an OK button
// that closes it. Not modal, without owner, with a taskbar button.
#pragma once

#include <QPointer>

#include "../app/control_array.h"
#include "../app/controls/vantor_controls.h"
#include "../app/form.h"

namespace quorlen {

class HelpFrm1 : public Form {
 public:
  explicit HelpFrm1(FormHost& host);

  static constexpr int kClientWidth = 6645;
  static constexpr int kClientHeight = 3495;
  static constexpr int kStoredLeft = 5040;
  static constexpr int kStoredTop = 3435;

  VantorPanel& Frame1() const;
  VantorButton& OKBtn() const;
  const ControlArray<VantorLabel>& Label1() const { return label1_; }

 protected:
  FormWindow* createWindow() override;
  void applyDesign(FormWindow& window) override;
  void clearDesign() override;
  void Form_Load() override;
  void OKBtn_Click();

 private:
  QPointer<VantorPanel> frame1_;
  QPointer<VantorButton> okBtn_;
  ControlArray<VantorLabel> label1_{QStringLiteral("Label1")};
};

}  // namespace quorlen
