#include "taskbar.h"

#include <xcb/xcb.h>
#include <QGuiApplication>
#include <QWidget>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace quorlen {

namespace {

xcb_connection_t* x11Connection() {
  auto* x11 =
      qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 != nullptr ? x11->connection() : nullptr;
}

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  const xcb_intern_atom_cookie_t cookie =
      xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name);
  std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
      xcb_intern_atom_reply(c, cookie, nullptr), &std::free);
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

}  // namespace

void keepOffTaskbar(QWidget& window) {
  xcb_connection_t* c = x11Connection();
  if (c == nullptr) return;
  const xcb_atom_t state = atom(c, "_NET_WM_STATE");
  const xcb_atom_t states[] = {atom(c, "_NET_WM_STATE_SKIP_TASKBAR"),
                               atom(c, "_NET_WM_STATE_SKIP_PAGER")};
  if (state == XCB_ATOM_NONE || states[0] == XCB_ATOM_NONE || states[1] == XCB_ATOM_NONE) return;
  // Qt keeps states it finds on an unmapped window and adds its own to them.
  xcb_change_property(c, XCB_PROP_MODE_APPEND, static_cast<xcb_window_t>(window.winId()), state,
                      XCB_ATOM_ATOM, 32, 2, states);
  xcb_flush(c);
}

}  // namespace quorlen
