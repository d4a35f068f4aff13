// Tests of the CBitRate meter: rate arithmetic, reports from the thread and its stop.
#include "sdk/media/bit_rate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace kv {
namespace {

using Clock = std::chrono::steady_clock;

TEST(BitRateArithmetic, KbitUsesOneThousandTwentyFourBitsAndWrapsIn32Bits) {
  EXPECT_EQ(CBitRate::KbitFromBytes(1024, 0), 8u);
  EXPECT_EQ(CBitRate::KbitFromBytes(1024 + 127, 1024), 0u);  // 1016 bits: below one kbit
  EXPECT_EQ(CBitRate::KbitFromBytes(128, 0), 1u);
  EXPECT_EQ(CBitRate::KbitFromBytes(100, 0xFFFFFF00u), (356u * 8u) >> 10);  // counter wrapped
  EXPECT_EQ(CBitRate::KbitFromBytes(0x20000000u, 0), 0u);  // the product wraps as well
  EXPECT_EQ(CBitRate::KbitFromBytes(0x1FFFFFFFu, 0), 0x3FFFFFu);
}

// Polls until pred holds or the deadline passes.
template <typename Pred>
bool PollUntil(Pred pred, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pred();
}

TEST(BitRateMeter, ReportsRatesEachPeriodAndEndsWith2990) {
  StreamCounters counters;
  counters.byteCount = 1024;  // before the start: counted by the first report
  counters.frameCount = 25;
  CBitRate meter(&counters, 200);
  ASSERT_TRUE(meter.CreateStopEvent());
  EXPECT_FALSE(meter.CreateStopEvent());
  ASSERT_EQ(meter.Start(), 0);
  ASSERT_TRUE(PollUntil([&] { return counters.bitRate == 8 && counters.frameRate == 25; },
                        std::chrono::seconds(5)));
  // Each later report covers only its own period; pictures and bytes may land in
  // neighbouring periods, so each figure is awaited on its own.
  counters.frameCount += 10;
  counters.byteCount += 2048;
  bool sawBits = false;
  bool sawPictures = false;
  ASSERT_TRUE(PollUntil(
      [&] {
        sawBits = sawBits || counters.bitRate == 16;
        sawPictures = sawPictures || counters.frameRate == 10;
        return sawBits && sawPictures;
      },
      std::chrono::seconds(5)));
  // Nothing more arrives: the rates fall to zero.
  ASSERT_TRUE(PollUntil([&] { return counters.bitRate == 0 && counters.frameRate == 0; },
                        std::chrono::seconds(5)));
  meter.Stop();
  EXPECT_FALSE(meter.IsRunning());
  EXPECT_FALSE(meter.HasHandle());
  EXPECT_EQ(meter.GetExitValue(), CBitRate::kExitStopped);
  EXPECT_EQ(CBitRate::kExitStopped, 2990);
}

TEST(BitRateMeter, StopEndsTheWaitWithoutWaitingForThePeriod) {
  StreamCounters counters;
  counters.byteCount = 4096;
  CBitRate meter(&counters, 60000);  // a stop that waited for the period would take a minute
  ASSERT_TRUE(meter.CreateStopEvent());
  ASSERT_EQ(meter.Start(), 0);
  meter.SignalStop();
  EXPECT_EQ(meter.WaitForEnd(), platform::kWaitObject0);
  meter.CloseHandle();
  EXPECT_EQ(meter.GetExitValue(), 2990);
  EXPECT_EQ(counters.bitRate, 0u);  // no period passed
}

TEST(BitRateMeter, WithoutStopEventTheThreadDoesNotRun) {
  StreamCounters counters;
  CBitRate meter(&counters, 10);
  ASSERT_EQ(meter.Start(), 0);
  EXPECT_EQ(meter.WaitForEnd(5000), platform::kWaitObject0);
  meter.CloseHandle();
  EXPECT_EQ(meter.GetExitValue(), -1);
}

// A meter that hands its thread's exit value to the test once the thread body returns.
class ObservedMeter : public CBitRate {
 public:
  ObservedMeter(StreamCounters* counters, uint32_t periodMs, std::atomic<int>* exitValue)
      : CBitRate(counters, periodMs), exitValue_(exitValue) {}

 protected:
  int ThreadMain() override {
    std::atomic<int>* out = exitValue_;  // this object is being destroyed when the body returns
    const int result = CBitRate::ThreadMain();
    out->store(result);
    return result;
  }

 private:
  std::atomic<int>* exitValue_;
};

TEST(BitRateMeter, DestructorStopsARunningMeter) {
  StreamCounters counters;
  std::atomic<int> exitValue{-2};
  {
    ObservedMeter meter(&counters, 60000, &exitValue);
    ASSERT_TRUE(meter.CreateStopEvent());
    ASSERT_EQ(meter.Start(), 0);
    EXPECT_TRUE(meter.IsRunning());
  }
  // The destructor signalled the stop event (the thread ended on it, long before its minute
  // was up) and joined the thread (its exit value is already there).
  EXPECT_EQ(exitValue.load(), CBitRate::kExitStopped);
}

}  // namespace
}  // namespace kv
