// Library-wide state every layer may read: the start-up values, the callbacks, the connection
// timing and the process-wide decoder locks; and the clean-up hooks later layers register.
#pragma once

#include <atomic>
#include <cstdint>

#include "KvNetClient.h"
#include "sdk/platform/critical_section.h"

namespace kv {

struct WaitTimes {
  std::atomic<int> connectTimeout{5};  // seconds
  std::atomic<int> retryCount{1};      // -1: unlimited
  std::atomic<int> retryInterval{10};  // seconds
};

struct LibraryState {
  std::atomic<KVNET_EventCallback> eventCallback{nullptr};
  // The first, second and fourth arguments of KVNET_Startup: kept, and used by nothing.
  std::atomic<int> startupFirstValue{0};
  std::atomic<int> startupSecondValue{0};
  std::atomic<int> startupFourthValue{0};
  WaitTimes waitTimes;
  std::atomic<KVNET_AVCallback> avCallback{nullptr};
  std::atomic<KVNET_DrawCallback> drawCallback{nullptr};
  platform::FlaggedCriticalSection h264DecoderLock;
  platform::FlaggedCriticalSection mjpegDecoderLock;
  platform::FlaggedCriticalSection codecLoaderLock;
};

LibraryState& Library();

// Hooks that later layers register to be run by the library's clean-up (overlay font and
// brush, the codec library). Registration is idempotent per function.
void RegisterCleanupHook(void (*hook)());
// Runs every registered hook once, in registration order.
void RunCleanupHooks();

}  // namespace kv
