// Thread message queues: ownership by thread, order, time-outs and peeking.
#include "sdk/platform/thread_messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "sdk/platform/event.h"

namespace kv::platform {
namespace {

TEST(ThreadMessagesTest, ThreadIdsAreUniqueAndNonZero) {
  const ThreadId mine = CurrentThreadId();
  EXPECT_NE(mine, 0u);
  EXPECT_EQ(CurrentThreadId(), mine);
  ThreadId other = 0;
  std::thread t([&] { other = CurrentThreadId(); });
  t.join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, mine);
}

TEST(ThreadMessagesTest, PostFailsForAThreadWithoutAQueue) {
  EXPECT_FALSE(PostThreadMessage(0, 1, 0, 0));
  Event ready(true, false), done(true, false);
  std::atomic<ThreadId> id{0};
  std::thread t([&] {
    id.store(CurrentThreadId());
    ready.Set();
    done.Wait(3000);
  });
  ASSERT_EQ(ready.Wait(3000), kWaitObject0);
  EXPECT_FALSE(PostThreadMessage(id.load(), 1, 0, 0));  // alive, but never asked for a queue
  done.Set();
  t.join();
}

TEST(ThreadMessagesTest, MessagesArriveInOrderWithTheirParameters) {
  Event ready(true, false);
  std::atomic<ThreadId> id{0};
  std::vector<ThreadMessage> received;
  std::thread t([&] {
    EnsureMessageQueue();
    id.store(CurrentThreadId());
    ready.Set();
    ThreadMessage msg;
    while (GetThreadMessage(&msg, 3000)) {
      if (msg.message == 0) break;
      received.push_back(msg);
    }
  });
  ASSERT_EQ(ready.Wait(3000), kWaitObject0);
  for (uint32_t i = 1; i <= 100; ++i) {
    ASSERT_TRUE(PostThreadMessage(id.load(), i, i * 2, ~uintptr_t{0} - i));
  }
  ASSERT_TRUE(PostThreadMessage(id.load(), 0, 0, 0));
  t.join();
  ASSERT_EQ(received.size(), 100u);
  for (uint32_t i = 1; i <= 100; ++i) {
    EXPECT_EQ(received[i - 1].message, i);
    EXPECT_EQ(received[i - 1].wParam, i * 2);
    EXPECT_EQ(received[i - 1].lParam, ~uintptr_t{0} - i);
  }
  // The queue went with the thread.
  EXPECT_FALSE(PostThreadMessage(id.load(), 1, 0, 0));
}

TEST(ThreadMessagesTest, GetTimesOutAndPeekLeavesOrTakes) {
  std::thread t([] {
    ThreadMessage msg;
    EXPECT_FALSE(GetThreadMessage(&msg, 20));  // creates the queue, then times out
    EXPECT_FALSE(PeekThreadMessage(&msg, true));
    ASSERT_TRUE(PostThreadMessage(CurrentThreadId(), 7, 1, 2));
    ASSERT_TRUE(PostThreadMessage(CurrentThreadId(), 8, 3, 4));
    ASSERT_TRUE(PeekThreadMessage(&msg, false));
    EXPECT_EQ(msg.message, 7u);
    ASSERT_TRUE(PeekThreadMessage(&msg, true));
    EXPECT_EQ(msg.message, 7u);
    ASSERT_TRUE(GetThreadMessage(&msg, 0));
    EXPECT_EQ(msg.message, 8u);
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_EQ(msg.lParam, 4u);
    DestroyMessageQueue();
    EXPECT_FALSE(PostThreadMessage(CurrentThreadId(), 9, 0, 0));
  });
  t.join();
}

TEST(ThreadMessagesTest, ManyPostersReachOneQueue) {
  Event ready(true, false);
  std::atomic<ThreadId> id{0};
  std::atomic<int> count{0};
  std::thread receiver([&] {
    EnsureMessageQueue();
    id.store(CurrentThreadId());
    ready.Set();
    ThreadMessage msg;
    while (count.load() < 400 && GetThreadMessage(&msg, 3000)) count.fetch_add(1);
  });
  ASSERT_EQ(ready.Wait(3000), kWaitObject0);
  std::vector<std::thread> posters;
  for (int p = 0; p < 4; ++p) {
    posters.emplace_back([&] {
      for (int i = 0; i < 100; ++i) PostThreadMessage(id.load(), 1, 0, 0);
    });
  }
  for (auto& t : posters) t.join();
  receiver.join();
  EXPECT_EQ(count.load(), 400);
}

}  // namespace
}  // namespace kv::platform
