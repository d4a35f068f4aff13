// Millisecond tick counts from the monotonic clock, wrapping at 32 bits.
#include "sdk/platform/clock.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace kv::platform {
namespace {

std::atomic<uint32_t> clockOffsetMs{0};

uint64_t monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace

uint32_t GetTickCount() {
  // Unsigned arithmetic: the sum wraps at 2^32 exactly like the kernel counter.
  return static_cast<uint32_t>(monotonicMs()) + clockOffsetMs.load(std::memory_order_relaxed);
}

uint32_t timeGetTime() { return GetTickCount(); }

void Sleep(uint32_t milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SetClockOffsetForTest(uint32_t offsetMs) {
  clockOffsetMs.store(offsetMs, std::memory_order_relaxed);
}

}  // namespace kv::platform
