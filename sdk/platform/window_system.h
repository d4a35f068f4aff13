// The window system seam: what the library asks of the caller's windows. Two backends: X11
// (through xcb, on the library's own connection) and an in-process headless window system.
// The backend is chosen once: KVNET_WINDOW_SYSTEM=x11|headless forces one; otherwise X11
// when a display can be opened, else headless.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kv::platform {

using WindowId = uint32_t;

struct Rect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  int32_t Width() const { return right - left; }
  int32_t Height() const { return bottom - top; }
};

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;
  virtual const char* Name() const = 0;
  // The window's rectangle in screen coordinates; false for an unknown window.
  virtual bool GetWindowRect(WindowId window, Rect* out) = 0;
  // Mapped and viewable (X11) or shown (headless); false for an unknown window.
  virtual bool IsWindowVisible(WindowId window) = 0;
  // Posts (never sends) {message, wParam, lParam} to the window; false when it cannot.
  virtual bool PostMessage(WindowId window, uint32_t message, uint32_t wParam, uint32_t lParam) = 0;
};

// The process's window system, created on first use.
WindowSystem& GetWindowSystem();

// Name of the X11 ClientMessage type atom used for posted messages.
constexpr const char* kMessageAtomName = "KVNET_MESSAGE";

// Replaces the process's window system (tests). Returns the previous one.
std::unique_ptr<WindowSystem> ReplaceWindowSystemForTest(std::unique_ptr<WindowSystem> ws);

}  // namespace kv::platform
