// StateSignal: a waiter wakes when the flag it waits for changes, never misses a change made
// just before it sleeps, and a timed wait ends by itself when nothing changes.
#include "sdk/state/state_signal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace kv {
namespace {

TEST(StateSignalTest, AWaiterSeesEveryChangeAndATimedWaitEnds) {
  StateSignal signal;
  std::atomic<int> flag{0};
  // Already true: no wait at all.
  flag = 1;
  signal.Wait([&] { return flag.load() == 1; });
  EXPECT_TRUE(signal.WaitFor(0, [&] { return flag.load() == 1; }));
  // Nothing changes: the timed wait ends, false.
  EXPECT_FALSE(signal.WaitFor(20, [&] { return flag.load() == 2; }));

  // A ping-pong of many rounds: a change made between a waiter's check and its sleep would
  // leave both threads waiting for ever (the test would hang, and the guard below fail).
  constexpr int kRounds = 2000;
  std::atomic<int> turn{0};
  std::thread other([&] {
    for (int i = 0; i < kRounds; ++i) {
      signal.Wait([&] { return turn.load() == 2 * i + 1; });
      turn = 2 * i + 2;
      signal.Notify();
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    turn = 2 * i + 1;
    signal.Notify();
    ASSERT_TRUE(signal.WaitFor(60000, [&] { return turn.load() == 2 * i + 2; })) << i;
  }
  other.join();
  EXPECT_EQ(turn.load(), 2 * kRounds);
}

}  // namespace
}  // namespace kv
