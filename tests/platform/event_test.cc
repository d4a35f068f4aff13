// Events: manual and auto reset, single and multiple waits, time-outs and contention.
#include "sdk/platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace kv::platform {
namespace {

using Clock = std::chrono::steady_clock;

long elapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
  Event event(true, false);
  EXPECT_FALSE(event.IsSignalled());
  EXPECT_EQ(event.Wait(0), kWaitTimeout);
  event.Set();
  EXPECT_EQ(event.Wait(0), kWaitObject0);
  EXPECT_EQ(event.Wait(0), kWaitObject0);
  EXPECT_TRUE(event.IsSignalled());
  event.Reset();
  EXPECT_EQ(event.Wait(0), kWaitTimeout);
}

TEST(EventTest, AutoResetIsConsumedByOneWait) {
  Event event(false, true);
  EXPECT_TRUE(event.IsSignalled());
  EXPECT_EQ(event.Wait(0), kWaitObject0);
  EXPECT_FALSE(event.IsSignalled());
  EXPECT_EQ(event.Wait(0), kWaitTimeout);
  event.Set();
  event.Set();  // setting twice still releases one wait
  EXPECT_EQ(event.Wait(0), kWaitObject0);
  EXPECT_EQ(event.Wait(0), kWaitTimeout);
}

TEST(EventTest, TimedWaitTimesOutAfterAtLeastTheTimeout) {
  Event event(true, false);
  const auto start = Clock::now();
  EXPECT_EQ(event.Wait(50), kWaitTimeout);
  EXPECT_GE(elapsedMs(start), 49);
}

TEST(EventTest, SetFromAnotherThreadWakesAnInfiniteWait) {
  Event event(false, false);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    event.Set();
  });
  EXPECT_EQ(event.Wait(kInfinite), kWaitObject0);
  setter.join();
  EXPECT_FALSE(event.IsSignalled());
}

TEST(EventTest, AutoResetReleasesExactlyOneWaiterPerSet) {
  // Each Set is given only once the waiter released by the previous one has been counted. A Set
  // that released two waiters would leave all four released after three Sets; one that released
  // none would leave the count behind for good.
  Event event(false, false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(30000) == kWaitObject0) released.fetch_add(1);
    });
  }
  // Not needed for the outcome: most Sets then find their waiter already blocked.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  int sets = 0;
  const auto start = Clock::now();
  for (;;) {
    const int seen = released.load();
    if (seen >= 4 || elapsedMs(start) >= 30000) break;
    if (seen == sets) {
      event.Set();
      ++sets;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 4);
  EXPECT_EQ(sets, 4);
  EXPECT_FALSE(event.IsSignalled());
}

TEST(EventTest, ManualResetReleasesAllWaiters) {
  Event event(true, false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(30000) == kWaitObject0) released.fetch_add(1);
    });
  }
  event.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 4);
}

TEST(EventTest, AutoResetUnderContentionHandsOutEachSetOnce) {
  // Four consumers compete for one auto-reset event; each take is acknowledged before the next
  // Set, so a Set that released two consumers (or none) shows in the count or the ack wait.
  constexpr int kRounds = 1000;
  Event work(false, false), ack(false, false), stop(true, false);
  std::atomic<int> taken{0};
  std::vector<std::thread> consumers;
  for (int i = 0; i < 4; ++i) {
    consumers.emplace_back([&] {
      Event* events[] = {&stop, &work};
      while (WaitForMultipleEvents(events, 2, false, kInfinite) == kWaitObject0 + 1) {
        taken.fetch_add(1);
        ack.Set();
      }
    });
  }
  int acknowledged = 0;
  for (int i = 0; i < kRounds; ++i) {
    work.Set();
    if (ack.Wait(30000) != kWaitObject0) break;
    ++acknowledged;
  }
  stop.Set();
  for (auto& t : consumers) t.join();
  EXPECT_EQ(acknowledged, kRounds);
  EXPECT_EQ(taken.load(), kRounds);
  EXPECT_FALSE(work.IsSignalled());
}

TEST(EventTest, PingPongBetweenThreadsLosesNoWakeUp) {
  constexpr int kRounds = 2000;
  Event ping(false, false), pong(false, false);
  std::atomic<int> failures{0};
  std::thread partner([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (ping.Wait(30000) != kWaitObject0) {
        failures.fetch_add(1);
        return;
      }
      pong.Set();
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    ping.Set();
    if (pong.Wait(30000) != kWaitObject0) {
      failures.fetch_add(1);
      break;
    }
  }
  partner.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(WaitForMultipleEventsTest, AnyReturnsTheLowestSignalledIndex) {
  Event a(true, false), b(false, true), c(false, true);
  Event* events[] = {&a, &b, &c};
  EXPECT_EQ(WaitForMultipleEvents(events, 3, false, 0), kWaitObject0 + 1);
  // b was auto-reset by the wait; c is untouched and comes next.
  EXPECT_FALSE(b.IsSignalled());
  EXPECT_TRUE(c.IsSignalled());
  EXPECT_EQ(WaitForMultipleEvents(events, 3, false, 0), kWaitObject0 + 2);
  EXPECT_EQ(WaitForMultipleEvents(events, 3, false, 0), kWaitTimeout);
  a.Set();
  c.Set();
  EXPECT_EQ(WaitForMultipleEvents(events, 3, false, 0), kWaitObject0);
  EXPECT_TRUE(a.IsSignalled());  // manual reset stays set
  EXPECT_TRUE(c.IsSignalled());  // only the reported event is consumed
}

TEST(WaitForMultipleEventsTest, AnyWakesWhenAnotherThreadSets) {
  Event stop(true, false), data(false, false);
  Event* events[] = {&stop, &data};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    data.Set();
  });
  EXPECT_EQ(WaitForMultipleEvents(events, 2, false, 30000), kWaitObject0 + 1);
  setter.join();
  EXPECT_FALSE(data.IsSignalled());
}

TEST(WaitForMultipleEventsTest, AllWaitsForEveryEventAndConsumesOnlyThen) {
  Event a(false, true), b(false, false);
  Event* events[] = {&a, &b};
  EXPECT_EQ(WaitForMultipleEvents(events, 2, true, 20), kWaitTimeout);
  EXPECT_TRUE(a.IsSignalled());  // a partial wait-all takes nothing
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    b.Set();
  });
  EXPECT_EQ(WaitForMultipleEvents(events, 2, true, 30000), kWaitObject0);
  setter.join();
  EXPECT_FALSE(a.IsSignalled());
  EXPECT_FALSE(b.IsSignalled());
}

TEST(WaitForMultipleEventsTest, TimesOutAndRejectsBadArguments) {
  Event a(true, false), b(false, false);
  Event* events[] = {&a, &b};
  const auto start = Clock::now();
  EXPECT_EQ(WaitForMultipleEvents(events, 2, false, 40), kWaitTimeout);
  EXPECT_GE(elapsedMs(start), 39);
  EXPECT_EQ(WaitForMultipleEvents(events, 0, false, 0), kWaitFailed);
  EXPECT_EQ(WaitForMultipleEvents(nullptr, 2, false, 0), kWaitFailed);
  Event* withNull[] = {&a, nullptr};
  EXPECT_EQ(WaitForMultipleEvents(withNull, 2, false, 0), kWaitFailed);
}

TEST(WaitForMultipleEventsTest, AutoResetSignalGoesToExactlyOneOfMixedWaiters) {
  // One thread waits on the event alone, another on it together with an idle event. One Set
  // releases one of them; the other is then released its own way (the idle event, or a second
  // Set), which would show if the first Set had released both.
  Event shared(false, false), idle(false, false);
  std::atomic<int> single{-1};     // 1 released by shared, 0 timed out
  std::atomic<int64_t> multi{-1};  // the wait's result once it returned
  std::thread singleWaiter([&] { single = shared.Wait(30000) == kWaitObject0 ? 1 : 0; });
  std::thread multiWaiter([&] {
    Event* events[] = {&idle, &shared};
    multi = WaitForMultipleEvents(events, 2, false, 30000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // usually both wait by now
  shared.Set();
  const auto start = Clock::now();
  while (single.load() == -1 && multi.load() == -1 && elapsedMs(start) < 30000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const bool singleTook = single.load() == 1;
  if (singleTook) {
    idle.Set();
  } else {
    shared.Set();
  }
  singleWaiter.join();
  multiWaiter.join();
  EXPECT_EQ(single.load(), 1);
  EXPECT_EQ(multi.load(), singleTook ? int64_t{kWaitObject0} : int64_t{kWaitObject0 + 1});
  EXPECT_FALSE(shared.IsSignalled());
  EXPECT_FALSE(idle.IsSignalled());
}

}  // namespace
}  // namespace kv::platform
