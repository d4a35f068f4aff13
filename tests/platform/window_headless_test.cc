// Tests of the headless window system and of how the process's window system is chosen.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "sdk/platform/debug_output.h"
#include "sdk/platform/headless_window.h"
#include "tests/support/xvfb.h"

namespace kv::platform {
namespace {

using std::chrono::steady_clock;

TEST(HeadlessWindowTest, WindowsKeepTheirRectangleAndVisibility) {
  HeadlessWindowSystem ws;
  WindowId a = ws.CreateWindow(10, 20, 320, 240, true);
  WindowId b = ws.CreateWindow(-5, -7, 0, 0, false);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  EXPECT_NE(a, b);

  Rect r;
  ASSERT_TRUE(ws.GetWindowRect(a, &r));
  EXPECT_EQ(r.left, 10);
  EXPECT_EQ(r.top, 20);
  EXPECT_EQ(r.right, 330);
  EXPECT_EQ(r.bottom, 260);
  EXPECT_EQ(r.Width(), 320);
  EXPECT_EQ(r.Height(), 240);
  EXPECT_TRUE(ws.IsWindowVisible(a));
  EXPECT_FALSE(ws.IsWindowVisible(b));
  ASSERT_TRUE(ws.GetWindowRect(b, &r));
  EXPECT_EQ(r.left, -5);
  EXPECT_EQ(r.Width(), 0);

  ASSERT_TRUE(ws.MoveWindow(a, 100, 50, 640, 480));
  ASSERT_TRUE(ws.GetWindowRect(a, &r));
  EXPECT_EQ(r.left, 100);
  EXPECT_EQ(r.top, 50);
  EXPECT_EQ(r.right, 740);
  EXPECT_EQ(r.bottom, 530);
  ASSERT_TRUE(ws.ShowWindow(a, false));
  EXPECT_FALSE(ws.IsWindowVisible(a));
  ASSERT_TRUE(ws.ShowWindow(b, true));
  EXPECT_TRUE(ws.IsWindowVisible(b));

  // Bad sizes are refused and change nothing.
  EXPECT_EQ(ws.CreateWindow(0, 0, -1, 10, true), 0u);
  EXPECT_FALSE(ws.MoveWindow(a, 0, 0, 10, -1));
  ASSERT_TRUE(ws.GetWindowRect(a, &r));
  EXPECT_EQ(r.Width(), 640);
  EXPECT_FALSE(ws.GetWindowRect(a, nullptr));
}

TEST(HeadlessWindowTest, UnknownAndDestroyedWindowsFailEverywhere) {
  HeadlessWindowSystem ws;
  WindowId w = ws.CreateWindow(0, 0, 100, 100, true);
  ASSERT_TRUE(ws.PostMessage(w, 1, 2, 3));
  ASSERT_TRUE(ws.DestroyWindow(w));
  EXPECT_FALSE(ws.DestroyWindow(w));

  Rect r{1, 2, 3, 4};
  for (WindowId id : {WindowId{0}, w, WindowId{12345}}) {
    SCOPED_TRACE(id);
    EXPECT_FALSE(ws.GetWindowRect(id, &r));
    EXPECT_FALSE(ws.IsWindowVisible(id));
    EXPECT_FALSE(ws.PostMessage(id, 1, 2, 3));
    EXPECT_FALSE(ws.MoveWindow(id, 0, 0, 1, 1));
    EXPECT_FALSE(ws.ShowWindow(id, true));
    EXPECT_EQ(ws.PendingMessages(id), 0u);
    PostedMessage m;
    EXPECT_FALSE(ws.TakeMessage(id, &m, 0));
  }
  EXPECT_EQ(r.left, 1);  // untouched by the failed calls

  // Ids are not reused: a new window never receives what was meant for the old one.
  WindowId next = ws.CreateWindow(0, 0, 1, 1, true);
  EXPECT_GT(next, w);
}

TEST(HeadlessWindowTest, MessagesQueueInOrderPerWindow) {
  HeadlessWindowSystem ws;
  WindowId a = ws.CreateWindow(0, 0, 10, 10, true);
  WindowId b = ws.CreateWindow(0, 0, 10, 10, false);  // hidden windows still get messages
  for (uint32_t i = 0; i < 5; ++i) {
    ASSERT_TRUE(ws.PostMessage(a, 0x400 + i, i, 100 + i));
    ASSERT_TRUE(ws.PostMessage(b, 0x500 + i, i * 2, 200 + i));
  }
  EXPECT_EQ(ws.PendingMessages(a), 5u);
  EXPECT_EQ(ws.PendingMessages(b), 5u);

  PostedMessage m;
  for (uint32_t i = 0; i < 5; ++i) {
    ASSERT_TRUE(ws.TakeMessage(b, &m, 0));
    EXPECT_EQ(m.message, 0x500 + i);
    EXPECT_EQ(m.wParam, i * 2);
    EXPECT_EQ(m.lParam, 200 + i);
  }
  EXPECT_FALSE(ws.TakeMessage(b, &m, 0));
  EXPECT_EQ(ws.PendingMessages(a), 5u);
  for (uint32_t i = 0; i < 5; ++i) {
    ASSERT_TRUE(ws.TakeMessage(a, &m, 0));
    EXPECT_EQ(m.message, 0x400 + i);
    EXPECT_EQ(m.lParam, 100 + i);
  }

  // Destroying a window drops its queue.
  ASSERT_TRUE(ws.PostMessage(a, 9, 9, 9));
  ASSERT_TRUE(ws.DestroyWindow(a));
  EXPECT_FALSE(ws.TakeMessage(a, &m, 0));
}

TEST(HeadlessWindowTest, QueueIsBoundedForAWindowNobodyReads) {
  HeadlessWindowSystem ws;
  WindowId w = ws.CreateWindow(0, 0, 10, 10, true);
  size_t accepted = 0;
  while (accepted < 100000 && ws.PostMessage(w, 1, static_cast<uint32_t>(accepted), 0)) {
    ++accepted;
  }
  EXPECT_LT(accepted, 100000u);
  EXPECT_EQ(ws.PendingMessages(w), accepted);
  // Reading one makes room for one more.
  PostedMessage m;
  ASSERT_TRUE(ws.TakeMessage(w, &m, 0));
  EXPECT_EQ(m.wParam, 0u);
  EXPECT_TRUE(ws.PostMessage(w, 1, 2, 3));
  EXPECT_FALSE(ws.PostMessage(w, 1, 2, 3));
}

TEST(HeadlessWindowTest, TakeMessageTimesOutOrWakesForAPost) {
  HeadlessWindowSystem ws;
  WindowId w = ws.CreateWindow(0, 0, 10, 10, true);
  PostedMessage m;
  auto start = steady_clock::now();
  EXPECT_FALSE(ws.TakeMessage(w, &m, 50));
  EXPECT_GE(steady_clock::now() - start, std::chrono::milliseconds(50));

  // A reader waiting with a long time-out is woken by a post from another thread; the long
  // time-out only guards against a lost wake-up hanging the test.
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ws.PostMessage(w, 7, 8, 9);
  });
  bool took = ws.TakeMessage(w, &m, 10000);
  poster.join();
  ASSERT_TRUE(took);
  EXPECT_EQ(m.message, 7u);
  EXPECT_EQ(m.wParam, 8u);
  EXPECT_EQ(m.lParam, 9u);
}

TEST(HeadlessWindowTest, DestroyingAWindowReleasesItsWaitingReader) {
  HeadlessWindowSystem ws;
  WindowId w = ws.CreateWindow(0, 0, 10, 10, true);
  std::atomic<bool> result{true};
  auto start = steady_clock::now();
  std::thread reader([&] {
    PostedMessage m;
    result = ws.TakeMessage(w, &m, 30000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(ws.DestroyWindow(w));
  reader.join();
  EXPECT_FALSE(result.load());
  // Released by the destruction, not by its 30 s time-out.
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(HeadlessWindowTest, ConcurrentPostersKeepEachOnesOrder) {
  HeadlessWindowSystem ws;
  WindowId w = ws.CreateWindow(0, 0, 10, 10, true);
  constexpr uint32_t kThreads = 4;
  constexpr uint32_t kEach = 500;
  std::vector<std::thread> posters;
  for (uint32_t t = 0; t < kThreads; ++t) {
    posters.emplace_back([&ws, w, t] {
      for (uint32_t i = 0; i < kEach; ++i) ws.PostMessage(w, 0x400, t, i);
    });
  }
  std::vector<uint32_t> nextFrom(kThreads, 0);
  PostedMessage m;
  for (uint32_t n = 0; n < kThreads * kEach; ++n) {
    ASSERT_TRUE(ws.TakeMessage(w, &m, 10000)) << "after " << n << " messages";
    ASSERT_LT(m.wParam, kThreads);
    EXPECT_EQ(m.lParam, nextFrom[m.wParam]) << "thread " << m.wParam;
    nextFrom[m.wParam] = m.lParam + 1;
  }
  for (std::thread& p : posters) p.join();
  EXPECT_EQ(ws.PendingMessages(w), 0u);
}

// Each test starts with no window system chosen and puts the process's one back at the end.
class WindowSystemSelectionTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = ReplaceWindowSystemForTest(nullptr); }
  void TearDown() override { ReplaceWindowSystemForTest(std::move(saved_)); }

 private:
  std::unique_ptr<WindowSystem> saved_;
};

TEST_F(WindowSystemSelectionTest, ForcedHeadlessIsUsedEvenWithADisplaySet) {
  kv::test::ScopedEnv forced("KVNET_WINDOW_SYSTEM", "headless");
  kv::test::ScopedEnv display("DISPLAY", ":0");
  WindowSystem& ws = GetWindowSystem();
  EXPECT_STREQ(ws.Name(), "headless");
  EXPECT_EQ(&GetWindowSystem(), &ws);  // chosen once
  HeadlessWindowSystem* headless = GetHeadlessWindowSystem();
  ASSERT_EQ(headless, &ws);
  WindowId w = headless->CreateWindow(0, 0, 8, 8, true);
  EXPECT_TRUE(GetWindowSystem().PostMessage(w, 1, 2, 3));
  EXPECT_EQ(headless->PendingMessages(w), 1u);
}

TEST_F(WindowSystemSelectionTest, NoDisplayMeansHeadless) {
  kv::test::ScopedEnv forced("KVNET_WINDOW_SYSTEM", nullptr);
  kv::test::ScopedEnv display("DISPLAY", nullptr);
  EXPECT_STREQ(GetWindowSystem().Name(), "headless");
}

TEST_F(WindowSystemSelectionTest, ForcedX11WithoutADisplayFallsBackAndSaysSo) {
  kv::test::ScopedEnv forced("KVNET_WINDOW_SYSTEM", "x11");
  kv::test::ScopedEnv display("DISPLAY", ":4097");  // nobody serves this number
  DebugCapture capture;
  EXPECT_STREQ(GetWindowSystem().Name(), "headless");
  EXPECT_NE(GetHeadlessWindowSystem(), nullptr);
  EXPECT_TRUE(capture.Contains("KVNET_WINDOW_SYSTEM=x11"));
}

TEST_F(WindowSystemSelectionTest, ReplacementIsReturnedAndUsed) {
  auto mine = std::make_unique<HeadlessWindowSystem>();
  HeadlessWindowSystem* raw = mine.get();
  EXPECT_EQ(ReplaceWindowSystemForTest(std::move(mine)), nullptr);
  EXPECT_EQ(&GetWindowSystem(), raw);
  EXPECT_EQ(GetHeadlessWindowSystem(), raw);
  std::unique_ptr<WindowSystem> back = ReplaceWindowSystemForTest(nullptr);
  EXPECT_EQ(back.get(), raw);
}

}  // namespace
}  // namespace kv::platform
