// The flagged critical section: skipped until initialised, initialised once, mutual exclusion.
#include "sdk/platform/critical_section.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kv::platform {
namespace {

TEST(FlaggedCriticalSectionTest, InitialisesOnceAndIsSkippedBefore) {
  FlaggedCriticalSection cs;
  EXPECT_FALSE(cs.IsInitialised());
  cs.Enter();  // no lock yet: nothing to pair
  cs.Leave();
  { FlaggedLock lock(cs); }
  EXPECT_TRUE(cs.Initialise());
  EXPECT_FALSE(cs.Initialise());
  EXPECT_TRUE(cs.IsInitialised());
  cs.Enter();
  cs.Enter();  // recursive, like the kernel lock
  cs.Leave();
  cs.Leave();
  cs.Delete();
  EXPECT_FALSE(cs.IsInitialised());
}

TEST(FlaggedCriticalSectionTest, SerialisesThreadsOnceInitialised) {
  FlaggedCriticalSection cs;
  ASSERT_TRUE(cs.Initialise());
  long counter = 0;  // deliberately not atomic: the lock is what protects it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        FlaggedLock lock(cs);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 40000);
}

TEST(FlaggedCriticalSectionTest, ConcurrentInitialiseSucceedsExactlyOnce) {
  FlaggedCriticalSection cs;
  std::atomic<int> winners{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      if (cs.Initialise()) winners.fetch_add(1);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(winners.load(), 1);
}

}  // namespace
}  // namespace kv::platform
