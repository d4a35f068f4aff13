// The X11 window system: the caller's windows reached through the library's own xcb
// connection. Only files under sdk/platform include this header.
#pragma once

#include <xcb/xcb.h>

#include <memory>

#include "sdk/platform/window_system.h"

namespace kv::platform {

class X11WindowSystem : public WindowSystem {
 public:
  // Connects to the display named (null: $DISPLAY) and interns the message atom; null when
  // the display cannot be opened.
  static std::unique_ptr<X11WindowSystem> Open(const char* displayName = nullptr);
  ~X11WindowSystem() override;
  X11WindowSystem(const X11WindowSystem&) = delete;
  X11WindowSystem& operator=(const X11WindowSystem&) = delete;

  const char* Name() const override { return "x11"; }
  bool GetWindowRect(WindowId window, Rect* out) override;
  bool IsWindowVisible(WindowId window) override;
  bool PostMessage(WindowId window, uint32_t message, uint32_t wParam, uint32_t lParam) override;

  // The library's connection (xcb is thread-safe; every request is checked or has a reply,
  // so errors never reach the event queue or a process-wide handler).
  xcb_connection_t* Connection() const { return m_connection; }
  const xcb_screen_t* Screen() const { return m_screen; }
  xcb_atom_t MessageAtom() const { return m_messageAtom; }

 private:
  X11WindowSystem(xcb_connection_t* connection, const xcb_screen_t* screen, xcb_atom_t messageAtom);

  xcb_connection_t* const m_connection;
  const xcb_screen_t* const m_screen;
  const xcb_atom_t m_messageAtom;
};

}  // namespace kv::platform
