// Tick counts: monotonic, in milliseconds, wrapping at 2^32 under a test offset.
#include "sdk/platform/clock.h"

#include <gtest/gtest.h>

namespace kv::platform {
namespace {

class ClockTest : public ::testing::Test {
 protected:
  void TearDown() override { SetClockOffsetForTest(0); }
};

TEST_F(ClockTest, AdvancesInMillisecondsAcrossASleep) {
  const uint32_t before = GetTickCount();
  Sleep(30);
  const uint32_t elapsed = GetTickCount() - before;
  EXPECT_GE(elapsed, 29u);
  EXPECT_LT(elapsed, 5000u);  // failure guard only: milliseconds, not microseconds
  const uint32_t mm = timeGetTime();
  EXPECT_LT(GetTickCount() - mm, 1000u);  // both clocks read the same source
}

TEST_F(ClockTest, WrapsAtThirtyTwoBitsWithTheOffset) {
  // Place the counter 20 ms below 2^32, then sleep past the wrap.
  const uint32_t raw = GetTickCount();
  SetClockOffsetForTest(0u - raw - 20u);
  const uint32_t nearTop = GetTickCount();
  EXPECT_GE(nearTop, 0xFFFFFFFFu - 1000u);
  Sleep(60);
  const uint32_t afterWrap = GetTickCount();
  EXPECT_LT(afterWrap, 1000u);
  // Unsigned differences stay right across the wrap, as callers compute them.
  EXPECT_GE(afterWrap - nearTop, 59u);
  EXPECT_LT(afterWrap - nearTop, 5000u);

  SetClockOffsetForTest(0);
  EXPECT_LT(GetTickCount() - raw, 60000u);
}

TEST_F(ClockTest, SleepZeroReturns) {
  const uint32_t before = GetTickCount();
  Sleep(0);
  EXPECT_LT(GetTickCount() - before, 5000u);
}

}  // namespace
}  // namespace kv::platform
