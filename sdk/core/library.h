// Library-wide state: start-up values, callbacks, connection timing and the process-wide
// decoder locks. Plain globals read by every client.
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
  std::atomic<int> value1{0};
  std::atomic<int> value2{0};
  std::atomic<int> value4{0};
  WaitTimes waitTimes;
  std::atomic<KVNET_AVCallback> avCallback{nullptr};
  std::atomic<KVNET_DrawCallback> drawCallback{nullptr};
  platform::FlaggedCriticalSection h264DecoderLock;
  platform::FlaggedCriticalSection mjpegDecoderLock;
  platform::FlaggedCriticalSection codecLoaderLock;
};

LibraryState& Library();

// KVNET_Startup / KVNET_Cleanup / KVNET_SetWaitTime without the C frame.
int LibraryStartup(int value1, int value2, KVNET_EventCallback callback, int value4);
void LibraryCleanup();
int SetWaitTimes(int connectTimeout, int retryCount, int retryInterval);

// Hooks that later layers register to be run by LibraryCleanup (overlay font and brush,
// the codec library). Registration is idempotent per function.
void RegisterCleanupHook(void (*hook)());

}  // namespace kv
