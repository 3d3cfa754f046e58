#include "help_frm1.h"

#include <array>

#include "../app/pictures.h"
#include "../app/twips.h"

namespace quorlen {

namespace {

template <class T>
T& loaded(const QPointer<T>& control) {
  if (control.isNull()) throw UiError(kErrObjectNotLoaded, "The window HelpFrm1 is not loaded.");
  return *control;
}

struct LabelDesign {
  const char* caption;
  ColourValue back;
  ColourValue back2;
};

constexpr std::array<LabelDesign, 6> kLabels = {{
    {"This Program allows you to Compact or Repair for a MS Access File.", sys::kWindowBackground,
     sys::kWindowFrame},
    {"First, Select the Access File by Double Clicking on the Select Access File Field.",
     sys::kActiveTitleBar, sys::kInactiveTitleBar},
    {"Select Compact File or Repair Database File", sys::kActiveTitleBar, sys::kInactiveTitleBar},
    {"Not a Bad Idea to Make a Backup Copy of the File", sys::kActiveTitleBar,
     sys::kInactiveTitleBar},
    {"Click OK to Compact or Repair the MS Access File", sys::kActiveTitleBar,
     sys::kInactiveTitleBar},
    {"", sys::kActiveTitleBar, sys::kInactiveTitleBar},
}};

}  // namespace

HelpFrm1::HelpFrm1(FormHost& host) : Form(host, QStringLiteral("HelpFrm1")) {}

VantorPanel& HelpFrm1::Frame1() const {
  return loaded(frame1_);
}
VantorButton& HelpFrm1::OKBtn() const {
  return loaded(okBtn_);
}

FormWindow* HelpFrm1::createWindow() {
  // Fixed single border, a close command, no minimise or maximise button; an
  // ordinary top-level window, so it has a taskbar button. No parent: the
  // help window has no owner and stays when the main window closes.
  const Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  auto* window = new FormWindow(*this, flags);
  window->setWindowTitle(QStringLiteral("Help with Compact/Repair on Access Files"));
  window->setClientSizeTwips(kClientWidth, kClientHeight);
  // Opens where the design stored it, clear of the main window.
  window->moveTwips(kStoredLeft, kStoredTop);
  return window;
}

void HelpFrm1::applyDesign(FormWindow& w) {
  const double dpi = logicalDpiOf(&w);
  const std::array<ColourValue, 4> fixedSet = {fixed::kDarkGrey, fixed::kSilver, fixed::kGrey,
                                               fixed::kWhite};
  // The panel is taller than the window; its lower part is never seen.
  auto* frame = new VantorPanel(&w);
  frame->setObjectName(QStringLiteral("Frame1"));
  frame->setGeometry(twipsRect(0, 0, 6645, 4605, dpi));
  frame->setForeColour(sys::kWindowText);
  frame->setBackColour(sys::kWindowBackground);
  frame->setBackColour2(sys::kWindowFrame);
  frame->setFixedColours(fixedSet);
  frame1_ = frame;

  label1_.clear();
  for (int i = 0; i < static_cast<int>(kLabels.size()); ++i) {
    auto* label = new VantorLabel(frame);
    label->setObjectName(QStringLiteral("Label1_%1").arg(i));
    label->setGeometry(twipsRect(150, 225 + 375 * i, 6240, 360, dpi));
    label->setCaption(QString::fromUtf8(kLabels[i].caption));
    label->setForeColour(sys::kWindowText);
    label->setBackColour(kLabels[i].back);
    label->setBackColour2(kLabels[i].back2);
    label->setFixedColours(fixedSet);
    label1_.add(i, label);
  }

  auto* ok = new VantorButton(frame);
  ok->setObjectName(QStringLiteral("OKBtn"));
  ok->setGeometry(twipsRect(2700, 2700, 1215, 465, dpi));
  ok->setCaption(QStringLiteral("OK"));
  ok->setToolTip(QStringLiteral("Close Help Window"));
  ok->setPicture(QPixmap::fromImage(tickPicture()));
  ok->setForeColour(sys::kButtonText);
  ok->setBackColour(sys::kDarkShadow3D);
  ok->setBackColour2(sys::kLight3D);
  ok->setFixedColours(fixedSet);
  okBtn_ = ok;
  QObject::connect(ok, &QAbstractButton::clicked, &w,
                   [this] { host().runHandler([this] { OKBtn_Click(); }); });
}

void HelpFrm1::clearDesign() {
  frame1_ = nullptr;
  okBtn_ = nullptr;
  label1_.clear();
}

void HelpFrm1::Form_Load() {
  Frame1().setBackColour(sys::kWindowBackground);
  Frame1().setBackColour2(sys::kWindowFrame);
  Frame1().setForeColour(sys::kWindowText);
  for (int i = 0; i <= 2; ++i) {
    Label1()(i).setBackColour(sys::kWindowBackground);
    Label1()(i).setForeColour(sys::kWindowText);
  }
  for (int i = 3; i <= 4; ++i) {
    Label1()(i).setBackColour(sys::kWindowFrame);
    Label1()(i).setBackColour2(sys::kWindowBackground);
    Label1()(i).setForeColour(sys::kWindowText);
  }
  OKBtn().setBackColour(sys::kButtonFace);
}

void HelpFrm1::OKBtn_Click() {
  unload();
}

}  // namespace quorlen
