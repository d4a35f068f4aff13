// JThread: start protocol, exit value, end waits, joins and the body's message queue.
#include "sdk/platform/jthread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "sdk/platform/clock.h"

namespace kv::platform {
namespace {

// A thread whose body is given by the test.
class TestThread : public JThread {
 public:
  explicit TestThread(std::function<int(TestThread&)> body) : body_(std::move(body)) {}
  ~TestThread() override { CloseHandle(); }
  void Started() { ThreadStarted(); }

 protected:
  int ThreadMain() override { return body_(*this); }

 private:
  std::function<int(TestThread&)> body_;
};

TEST(JThreadTest, StartReturnsOnlyAfterTheBodyCalledThreadStarted) {
  std::atomic<bool> ready{false};
  Event release(true, false);
  TestThread thread([&](TestThread& self) {
    Sleep(50);  // Start must keep waiting through this
    ready.store(true);
    self.Started();
    release.Wait(3000);
    return 7;
  });
  EXPECT_FALSE(thread.HasHandle());
  EXPECT_EQ(thread.GetThreadId(), 0u);
  ASSERT_EQ(thread.Start(), 0);
  EXPECT_TRUE(ready.load());
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_TRUE(thread.HasHandle());
  EXPECT_NE(thread.GetThreadId(), 0u);
  EXPECT_EQ(thread.Start(), -1);  // already running
  EXPECT_EQ(thread.WaitForEnd(20), kWaitTimeout);
  release.Set();
  EXPECT_EQ(thread.WaitForEnd(3000), kWaitObject0);
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(thread.GetExitValue(), 7);
  thread.CloseHandle();
  EXPECT_FALSE(thread.HasHandle());
  thread.CloseHandle();  // twice is harmless
  EXPECT_EQ(thread.WaitForEnd(0), kWaitObject0);
}

TEST(JThreadTest, BodyThatNeverAnnouncesItselfDoesNotHangStart) {
  TestThread thread([](TestThread&) { return 3; });
  ASSERT_EQ(thread.Start(), 0);
  EXPECT_EQ(thread.WaitForEnd(3000), kWaitObject0);
  EXPECT_EQ(thread.GetExitValue(), 3);
  thread.CloseHandle();
}

TEST(JThreadTest, WaitForEndWithoutAThreadReturnsAtOnce) {
  TestThread thread([](TestThread&) { return 0; });
  EXPECT_EQ(thread.WaitForEnd(kInfinite), kWaitObject0);
  EXPECT_FALSE(thread.IsRunning());
}

TEST(JThreadTest, CanBeStartedAgainAfterItEnded) {
  std::atomic<int> runs{0};
  TestThread thread([&](TestThread& self) {
    self.Started();
    return runs.fetch_add(1) + 10;
  });
  ASSERT_EQ(thread.Start(), 0);
  ASSERT_EQ(thread.WaitForEnd(3000), kWaitObject0);
  ASSERT_EQ(thread.Start(), 0);  // the ended thread is joined first
  ASSERT_EQ(thread.WaitForEnd(3000), kWaitObject0);
  EXPECT_EQ(runs.load(), 2);
  EXPECT_EQ(thread.GetExitValue(), 11);
}

TEST(JThreadTest, BodyHasAMessageQueueThatEndsWithIt) {
  TestThread thread([](TestThread& self) {
    self.Started();
    ThreadMessage msg;
    int sum = 0;
    while (GetThreadMessage(&msg, 3000) && msg.message != 0) sum += static_cast<int>(msg.wParam);
    return sum;
  });
  ASSERT_EQ(thread.Start(), 0);
  const ThreadId id = thread.GetThreadId();
  // The queue exists as soon as Start has returned.
  EXPECT_TRUE(PostThreadMessage(id, 1, 5, 0));
  EXPECT_TRUE(PostThreadMessage(id, 1, 6, 0));
  EXPECT_TRUE(PostThreadMessage(id, 0, 0, 0));
  ASSERT_EQ(thread.WaitForEnd(3000), kWaitObject0);
  EXPECT_EQ(thread.GetExitValue(), 11);
  EXPECT_FALSE(PostThreadMessage(id, 1, 0, 0));
}

TEST(JThreadTest, ThrowingBodyEndsWithMinusOne) {
  TestThread thread([](TestThread&) -> int { throw 1; });
  ASSERT_EQ(thread.Start(), 0);
  ASSERT_EQ(thread.WaitForEnd(3000), kWaitObject0);
  EXPECT_EQ(thread.GetExitValue(), -1);
}

TEST(JThreadTest, DestroyingARunningThreadJoinsIt) {
  std::atomic<bool> finished{false};
  {
    TestThread thread([&](TestThread& self) {
      self.Started();
      Sleep(30);
      finished.store(true);
      return 0;
    });
    ASSERT_EQ(thread.Start(), 0);
  }
  EXPECT_TRUE(finished.load());
}

}  // namespace
}  // namespace kv::platform
