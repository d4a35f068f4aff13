// Tests of the X11 window system against a private Xvfb display; the test plays the caller,
// with its own connection and windows.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "sdk/platform/headless_window.h"
#include "sdk/platform/window_system.h"
#include "tests/support/xvfb.h"

namespace kv::platform {
namespace {

constexpr uint32_t kReceiveTimeoutMs = 5000;  // failure guard only

// The library's window system is chosen afresh against the test's display, and the caller's
// connection is open.
class X11WindowTest : public kv::test::XvfbTest {
 protected:
  void SetUp() override {
    XvfbTest::SetUp();
    if (IsSkipped()) return;
    saved_ = ReplaceWindowSystemForTest(nullptr);
    forced_ = std::make_unique<kv::test::ScopedEnv>("KVNET_WINDOW_SYSTEM", "x11");
    ASSERT_STREQ(GetWindowSystem().Name(), "x11");
    ASSERT_TRUE(caller_.Connect(DisplayName().c_str()));
  }
  void TearDown() override {
    if (forced_ != nullptr) {
      ReplaceWindowSystemForTest(std::move(saved_));
      forced_.reset();
    }
    XvfbTest::TearDown();
  }

  WindowSystem& ws() { return GetWindowSystem(); }

  kv::test::X11TestClient caller_;

 private:
  std::unique_ptr<WindowSystem> saved_;
  std::unique_ptr<kv::test::ScopedEnv> forced_;
};

TEST_F(X11WindowTest, RectangleIsInScreenCoordinatesAlsoForAChild) {
  WindowId top = caller_.CreateWindow(0, 40, 30, 320, 240);
  ASSERT_NE(top, 0u);
  WindowId child = caller_.CreateWindow(top, 15, 25, 100, 80);
  ASSERT_NE(child, 0u);
  ASSERT_TRUE(caller_.Sync());

  Rect r;
  ASSERT_TRUE(ws().GetWindowRect(top, &r));
  EXPECT_EQ(r.left, 40);
  EXPECT_EQ(r.top, 30);
  EXPECT_EQ(r.right, 360);
  EXPECT_EQ(r.bottom, 270);

  ASSERT_TRUE(ws().GetWindowRect(child, &r));
  EXPECT_EQ(r.left, 55);
  EXPECT_EQ(r.top, 55);
  EXPECT_EQ(r.Width(), 100);
  EXPECT_EQ(r.Height(), 80);

  // The root window covers the whole screen.
  ASSERT_TRUE(ws().GetWindowRect(caller_.RootWindow(), &r));
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(r.Width(), 1024);
  EXPECT_EQ(r.Height(), 768);
}

TEST_F(X11WindowTest, VisibleOnlyWhenMappedAndViewable) {
  WindowId top = caller_.CreateWindow(0, 0, 0, 200, 100);
  WindowId child = caller_.CreateWindow(top, 10, 10, 50, 50);
  ASSERT_NE(top, 0u);
  ASSERT_NE(child, 0u);
  EXPECT_FALSE(ws().IsWindowVisible(top));

  ASSERT_TRUE(caller_.MapWindow(child));
  EXPECT_FALSE(ws().IsWindowVisible(child));  // mapped, but its parent is not
  ASSERT_TRUE(caller_.MapWindow(top));
  EXPECT_TRUE(ws().IsWindowVisible(top));
  EXPECT_TRUE(ws().IsWindowVisible(child));

  ASSERT_TRUE(caller_.UnmapWindow(top));
  EXPECT_FALSE(ws().IsWindowVisible(top));
  EXPECT_FALSE(ws().IsWindowVisible(child));
}

TEST_F(X11WindowTest, PostedMessageArrivesAsAClientMessage) {
  WindowId w = caller_.CreateWindow(0, 0, 0, 64, 64);
  ASSERT_NE(w, 0u);
  ASSERT_TRUE(caller_.MapWindow(w));

  ASSERT_TRUE(ws().PostMessage(w, 0x0401, 3, 0xFFFFFFFEu));
  auto received = caller_.WaitClientMessage(kReceiveTimeoutMs);
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(received->window, w);
  EXPECT_EQ(received->typeName, kMessageAtomName);
  EXPECT_EQ(received->format, 32);
  EXPECT_EQ(received->data32[0], 0x0401u);
  EXPECT_EQ(received->data32[1], 3u);
  EXPECT_EQ(received->data32[2], 0xFFFFFFFEu);
  EXPECT_EQ(received->data32[3], 0u);
  EXPECT_EQ(received->data32[4], 0u);

  // Unmapped windows receive posted messages too.
  ASSERT_TRUE(caller_.UnmapWindow(w));
  ASSERT_TRUE(ws().PostMessage(w, 0x0402, 0, 1));
  received = caller_.WaitClientMessage(kReceiveTimeoutMs);
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(received->data32[0], 0x0402u);
  EXPECT_EQ(received->data32[2], 1u);
}

TEST_F(X11WindowTest, DestroyedOrUnknownWindowsFailWithoutHarm) {
  WindowId w = caller_.CreateWindow(0, 0, 0, 64, 64);
  ASSERT_NE(w, 0u);
  ASSERT_TRUE(caller_.MapWindow(w));
  ASSERT_TRUE(caller_.DestroyWindow(w));

  Rect r{1, 2, 3, 4};
  EXPECT_FALSE(ws().PostMessage(w, 0x0401, 1, 2));
  EXPECT_FALSE(ws().GetWindowRect(w, &r));
  EXPECT_FALSE(ws().IsWindowVisible(w));
  EXPECT_EQ(r.left, 1);
  // 0 and 1 name the pointer window and the input focus in X11, never a caller's window.
  for (WindowId id : {WindowId{0}, WindowId{1}}) {
    EXPECT_FALSE(ws().PostMessage(id, 0x0401, 1, 2));
    EXPECT_FALSE(ws().GetWindowRect(id, &r));
    EXPECT_FALSE(ws().IsWindowVisible(id));
  }
  EXPECT_FALSE(caller_.WaitClientMessage(100).has_value());

  // The library's connection is still fine afterwards.
  WindowId alive = caller_.CreateWindow(0, 0, 0, 64, 64);
  ASSERT_NE(alive, 0u);
  EXPECT_TRUE(ws().PostMessage(alive, 0x0403, 0, 0));
  auto received = caller_.WaitClientMessage(kReceiveTimeoutMs);
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(received->data32[0], 0x0403u);
}

TEST_F(X11WindowTest, FourThreadsPostConcurrently) {
  WindowId w = caller_.CreateWindow(0, 0, 0, 64, 64);
  ASSERT_NE(w, 0u);
  constexpr uint32_t kThreads = 4;
  constexpr uint32_t kEach = 100;
  std::vector<std::thread> posters;
  std::vector<int> failures(kThreads, 0);
  for (uint32_t t = 0; t < kThreads; ++t) {
    posters.emplace_back([this, w, t, &failures] {
      for (uint32_t i = 0; i < kEach; ++i) {
        if (!ws().PostMessage(w, 0x0400 + t, t, i)) ++failures[t];
      }
    });
  }
  // Read while they post, so nothing waits on a full socket.
  std::vector<uint32_t> nextFrom(kThreads, 0);
  uint32_t received = 0;
  for (; received < kThreads * kEach; ++received) {
    auto m = caller_.WaitClientMessage(kReceiveTimeoutMs);
    if (!m.has_value()) break;
    ASSERT_LT(m->data32[1], kThreads);
    const uint32_t t = m->data32[1];
    EXPECT_EQ(m->data32[0], 0x0400 + t);
    EXPECT_EQ(m->data32[2], nextFrom[t]) << "thread " << t;  // each thread's order kept
    nextFrom[t] = m->data32[2] + 1;
  }
  for (std::thread& p : posters) p.join();
  EXPECT_EQ(received, kThreads * kEach);
  for (uint32_t t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

// Selection with a display present.
class X11SelectionTest : public kv::test::XvfbTest {
 protected:
  void SetUp() override {
    XvfbTest::SetUp();
    if (IsSkipped()) return;
    saved_ = ReplaceWindowSystemForTest(nullptr);
    replaced_ = true;
  }
  void TearDown() override {
    if (replaced_) ReplaceWindowSystemForTest(std::move(saved_));
    XvfbTest::TearDown();
  }

 private:
  std::unique_ptr<WindowSystem> saved_;
  bool replaced_ = false;
};

TEST_F(X11SelectionTest, DisplayPresentMeansX11UnlessHeadlessIsForced) {
  {
    kv::test::ScopedEnv forced("KVNET_WINDOW_SYSTEM", nullptr);
    EXPECT_STREQ(GetWindowSystem().Name(), "x11");
    EXPECT_EQ(GetHeadlessWindowSystem(), nullptr);
  }
  ReplaceWindowSystemForTest(nullptr);
  {
    kv::test::ScopedEnv forced("KVNET_WINDOW_SYSTEM", "x11");
    EXPECT_STREQ(GetWindowSystem().Name(), "x11");
  }
  ReplaceWindowSystemForTest(nullptr);
  {
    kv::test::ScopedEnv forced("KVNET_WINDOW_SYSTEM", "headless");
    EXPECT_STREQ(GetWindowSystem().Name(), "headless");
    EXPECT_NE(GetHeadlessWindowSystem(), nullptr);
  }
}

}  // namespace
}  // namespace kv::platform
