// Keeps a top-level window off the taskbar and the pager.
#pragma once

class QWidget;

namespace quorlen {

// A tool window is left off the taskbar by most desktops already; on X11 this
// also sets _NET_WM_STATE_SKIP_TASKBAR and _NET_WM_STATE_SKIP_PAGER so every
// EWMH taskbar agrees. Call before the window is first shown. Does nothing on
// other platforms.
void keepOffTaskbar(QWidget& window);

}  // namespace quorlen
