// The library-wide state and the clean-up hooks.
#include "sdk/state/library_state.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace kv {
namespace {

std::mutex gHookMutex;
std::vector<void (*)()>& CleanupHooks() {
  static std::vector<void (*)()> hooks;
  return hooks;
}

}  // namespace

LibraryState& Library() {
  static LibraryState state;
  return state;
}

void RegisterCleanupHook(void (*hook)()) {
  std::lock_guard<std::mutex> lock(gHookMutex);
  auto& hooks = CleanupHooks();
  if (std::find(hooks.begin(), hooks.end(), hook) == hooks.end()) hooks.push_back(hook);
}

void RunCleanupHooks() {
  std::vector<void (*)()> hooks;
  {
    std::lock_guard<std::mutex> lock(gHookMutex);
    hooks = CleanupHooks();
  }
  for (auto* hook : hooks) hook();
}

}  // namespace kv
