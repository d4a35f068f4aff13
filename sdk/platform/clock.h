// Millisecond clocks and sleeping, in place of the kernel tick count and the multimedia timer.
#pragma once

#include <cstdint>

namespace kv::platform {

// Milliseconds since an arbitrary start, wrapping at 32 bits like the kernel tick count.
uint32_t GetTickCount();

// The multimedia timer: milliseconds, wrapping at 32 bits; same source as GetTickCount.
uint32_t timeGetTime();

// Sleeps for the given milliseconds (0 yields).
void Sleep(uint32_t milliseconds);

// Tests can shift both clocks forward to exercise wrap-around; 0 restores the real offset.
void SetClockOffsetForTest(uint32_t offsetMs);

}  // namespace kv::platform
