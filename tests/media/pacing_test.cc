// Picture pacing: the frame-rate clock at every speed, the live sleep table and depth pacing.
#include "sdk/media/pacing.h"

#include <gtest/gtest.h>

namespace {

using kv::PaceFrameDelay;
using kv::PacingClock;

TEST(PaceFrame, SpeedScalesTheIntervalByPowersOfTwo) {
  // At 25 pictures/s the normal interval is 40 ms; level s divides it by 2^s.
  const struct {
    int speed;
    uint32_t firstDelay;
  } cases[] = {{0, 40},  {1, 20},   {2, 10},   {3, 5},   {4, 2},
               {-1, 80}, {-2, 160}, {-3, 320}, {-4, 640}};
  for (const auto& c : cases) {
    // A fresh clock's last speed is -1, so level -1 keeps its start time: start it at now.
    PacingClock clock{25, 5000, 0, -1};
    EXPECT_EQ(PaceFrameDelay(c.speed, clock, 5000), c.firstDelay) << c.speed;
    EXPECT_EQ(clock.startTime, 5000u);
    EXPECT_EQ(clock.count, 1u);
    // Ten pictures later, with no time passed, the delay is eleven intervals.
    for (int i = 0; i < 9; ++i) PaceFrameDelay(c.speed, clock, 5000);
    EXPECT_EQ(PaceFrameDelay(c.speed, clock, 5000),
              static_cast<uint32_t>(
                  (c.speed >= 0 ? 40.0 / (1 << c.speed) : 40.0 * (1 << -c.speed)) * 11));
  }
}

TEST(PaceFrame, TimeAlreadySpentIsNotSleptAgain) {
  PacingClock clock{10, 0, 0, -1};
  EXPECT_EQ(PaceFrameDelay(0, clock, 100), 100u);
  EXPECT_EQ(PaceFrameDelay(0, clock, 250), 50u);  // target 200 after 150 ms
  EXPECT_EQ(PaceFrameDelay(0, clock, 1000), 0u);  // late: no sleep
  EXPECT_EQ(clock.count, 3u);
}

TEST(PaceFrame, ZeroRateDisablesPacingAndSpeedChangeRestarts) {
  PacingClock off{0, 0, 0, -1};
  EXPECT_EQ(PaceFrameDelay(0, off, 100), 0u);
  EXPECT_EQ(off.count, 0u);

  PacingClock clock{25, 0, 0, -1};
  PaceFrameDelay(0, clock, 0);
  PaceFrameDelay(0, clock, 40);
  EXPECT_EQ(clock.count, 2u);
  EXPECT_EQ(PaceFrameDelay(2, clock, 80), 10u);
  EXPECT_EQ(clock.count, 1u);
  EXPECT_EQ(clock.lastSpeed, 2);
}

TEST(PaceFrame, ReanchorsEveryTwoHundredPictures) {
  PacingClock clock{25, 0, 0, -1};
  uint32_t now = 0;
  for (int i = 0; i < 199; ++i) now += PaceFrameDelay(0, clock, now);
  EXPECT_EQ(clock.count, 199u);
  now += PaceFrameDelay(0, clock, now);
  EXPECT_EQ(clock.count, 0u);
  EXPECT_EQ(clock.startTime, now);
}

TEST(LiveSleep, FollowsTheTable) {
  const uint32_t last = 1000;
  // Same tick as the previous picture.
  EXPECT_EQ(kv::LiveCatchUpSleepMs(last, last, 0), 20u);
  EXPECT_EQ(kv::LiveCatchUpSleepMs(last, last, 4), 20u);
  EXPECT_EQ(kv::LiveCatchUpSleepMs(last, last, 5), 10u);
  EXPECT_EQ(kv::LiveCatchUpSleepMs(last, last, 14), 10u);
  EXPECT_EQ(kv::LiveCatchUpSleepMs(last, last, 15), 1u);
  // 1..9 ms later.
  EXPECT_EQ(kv::LiveCatchUpSleepMs(last + 5, last, 1), 20u);
  EXPECT_EQ(kv::LiveCatchUpSleepMs(last + 5, last, 2), 15u);
  EXPECT_EQ(kv::LiveCatchUpSleepMs(last + 9, last, 3), 10u);
  EXPECT_EQ(kv::LiveCatchUpSleepMs(last + 1, last, 4), 1u);
  EXPECT_EQ(kv::LiveCatchUpSleepMs(last + 1, last, 7), 1u);
  EXPECT_EQ(kv::LiveCatchUpSleepMs(last + 1, last, 8), 0u);
  // 10..19 ms later.
  EXPECT_EQ(kv::LiveCatchUpSleepMs(last + 10, last, 2), 1u);
  EXPECT_EQ(kv::LiveCatchUpSleepMs(last + 19, last, 3), 0u);
  // 20 ms or more, also across the tick's wrap.
  EXPECT_EQ(kv::LiveCatchUpSleepMs(last + 20, last, 0), 0u);
  EXPECT_EQ(kv::LiveCatchUpSleepMs(5, 0xFFFFFFF0u, 0), 0u);
}

TEST(DepthPacer, HoldsBackUntilTheThresholdIsReached) {
  kv::DepthPacer pacer;
  // Depth 0: a frame is read as soon as one waits.
  EXPECT_FALSE(pacer.ShouldRead(0, 0));
  EXPECT_TRUE(pacer.ShouldRead(1, 0));
  // Depth 20: an emptied conduit refills to depth / 2 before reading resumes.
  EXPECT_FALSE(pacer.ShouldRead(0, 20));
  EXPECT_EQ(pacer.holdThreshold(), 10u);
  EXPECT_FALSE(pacer.ShouldRead(9, 20));
  EXPECT_TRUE(pacer.ShouldRead(10, 20));
  EXPECT_EQ(pacer.holdThreshold(), 2u);
  EXPECT_TRUE(pacer.ShouldRead(21, 20));  // more than the depth waits
  // Small depths never raise the threshold.
  EXPECT_FALSE(pacer.ShouldRead(1, 6));
  EXPECT_EQ(pacer.holdThreshold(), 2u);
  EXPECT_TRUE(pacer.ShouldRead(2, 6));
}

TEST(FrameRateGuard, OutOfRangeRatesBecomeThirty) {
  EXPECT_EQ(kv::GuardedFrameRate(0), 30);
  EXPECT_EQ(kv::GuardedFrameRate(45), 30);
  EXPECT_EQ(kv::GuardedFrameRate(-5), 30);
  EXPECT_EQ(kv::GuardedFrameRate(1), 1);
  EXPECT_EQ(kv::GuardedFrameRate(30), 30);
}

}  // namespace
