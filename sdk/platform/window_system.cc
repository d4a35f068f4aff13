// Chooses the process's window system once: forced by KVNET_WINDOW_SYSTEM, otherwise X11 when
// a display can be opened, else headless.
#include "sdk/platform/window_system.h"

#include <cstdlib>
#include <mutex>
#include <string_view>

#include "sdk/platform/debug_output.h"
#include "sdk/platform/headless_window.h"
#include "sdk/platform/x11_window.h"

namespace kv::platform {

namespace {

std::mutex gWindowSystemMutex;
std::unique_ptr<WindowSystem> gWindowSystem;  // guarded by gWindowSystemMutex

std::unique_ptr<WindowSystem> chooseWindowSystem() {
  const char* forced = std::getenv("KVNET_WINDOW_SYSTEM");
  std::string_view choice = forced != nullptr ? forced : "";
  if (choice == "headless") return std::make_unique<HeadlessWindowSystem>();
  if (!choice.empty() && choice != "x11") {
    DebugPrintf("KvNetClient: unknown KVNET_WINDOW_SYSTEM \"%s\" ignored\n", forced);
  }
  if (std::unique_ptr<X11WindowSystem> x11 = X11WindowSystem::Open()) return x11;
  if (choice == "x11") {
    const char* display = std::getenv("DISPLAY");
    DebugPrintf(
        "KvNetClient: KVNET_WINDOW_SYSTEM=x11 but display \"%s\" cannot be opened; "
        "using headless windows\n",
        display != nullptr ? display : "");
  }
  return std::make_unique<HeadlessWindowSystem>();
}

}  // namespace

WindowSystem& GetWindowSystem() {
  std::lock_guard lock(gWindowSystemMutex);
  if (gWindowSystem == nullptr) gWindowSystem = chooseWindowSystem();
  return *gWindowSystem;
}

std::unique_ptr<WindowSystem> ReplaceWindowSystemForTest(std::unique_ptr<WindowSystem> ws) {
  std::lock_guard lock(gWindowSystemMutex);
  gWindowSystem.swap(ws);
  return ws;
}

}  // namespace kv::platform
