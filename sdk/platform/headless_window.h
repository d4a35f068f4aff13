// The in-process headless window system: windows created through this API, messages posted
// to them queued per window, readable by tests and by programs running without X.
#pragma once

#include <cstdint>
#include <memory>

#include "sdk/platform/window_system.h"

namespace kv::platform {

struct PostedMessage {
  uint32_t message = 0;
  uint32_t wParam = 0;
  uint32_t lParam = 0;
};

class HeadlessWindowSystem : public WindowSystem {
 public:
  HeadlessWindowSystem();
  ~HeadlessWindowSystem() override;
  const char* Name() const override { return "headless"; }
  bool GetWindowRect(WindowId window, Rect* out) override;
  bool IsWindowVisible(WindowId window) override;
  bool PostMessage(WindowId window, uint32_t message, uint32_t wParam, uint32_t lParam) override;

  // Creates a window at (x, y) of the given size; ids start at 1 and are never reused.
  WindowId CreateWindow(int32_t x, int32_t y, int32_t width, int32_t height, bool visible);
  bool DestroyWindow(WindowId window);
  bool MoveWindow(WindowId window, int32_t x, int32_t y, int32_t width, int32_t height);
  bool ShowWindow(WindowId window, bool visible);
  // Takes the oldest posted message, waiting up to timeoutMs; false on time-out.
  bool TakeMessage(WindowId window, PostedMessage* out, uint32_t timeoutMs);
  size_t PendingMessages(WindowId window);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// The headless window system when it is the process's backend, else null.
HeadlessWindowSystem* GetHeadlessWindowSystem();

}  // namespace kv::platform
