// End to end on a private Xvfb display: the renderer draws into a real X11 window owned by
// the test (the caller), and the pixels are read back from the X server.
#include <gtest/gtest.h>

#include <memory>

#include "sdk/core/net_client.h"
#include "sdk/media/ddraw_render.h"
#include "sdk/platform/window_pixels.h"
#include "sdk/platform/window_system.h"
#include "tests/media/render_test_picture.h"
#include "tests/support/xvfb.h"

namespace kv {
namespace {

class RenderX11Test : public test::XvfbTest {
 protected:
  void SetUp() override {
    XvfbTest::SetUp();
    if (IsSkipped()) return;
    saved_ = platform::ReplaceWindowSystemForTest(nullptr);
    forced_ = std::make_unique<test::ScopedEnv>("KVNET_WINDOW_SYSTEM", "x11");
    ASSERT_STREQ(platform::GetWindowSystem().Name(), "x11");
    ASSERT_TRUE(caller_.Connect(DisplayName().c_str()));
  }
  void TearDown() override {
    if (forced_ != nullptr) {
      platform::ReplaceWindowSystemForTest(std::move(saved_));
      forced_.reset();
    }
    XvfbTest::TearDown();
  }

  std::unique_ptr<platform::WindowSystem> saved_;
  std::unique_ptr<test::ScopedEnv> forced_;
  test::X11TestClient caller_;
};

TEST_F(RenderX11Test, PictureReachesTheWindowOnTheServer) {
  const uint32_t window = caller_.CreateWindow(0, 40, 30, 320, 240);
  ASSERT_NE(window, 0u);
  ASSERT_TRUE(caller_.MapWindow(window));
  ASSERT_TRUE(caller_.Sync());
  ASSERT_TRUE(platform::GetWindowSystem().IsWindowVisible(window));

  CNetClient client;
  client.m_self = &client;
  client.m_viewState.videoWindow = window;
  client.m_viewState.flip = 1;  // drawn upside down
  const test::I420Picture picture = test::MakeTestPicture(352, 288);
  {
    CDDrawRender renderer(&client.m_viewState, &client);
    renderer.Render(window, picture.y.data(), picture.u.data(), picture.v.data(), picture.yStride,
                    picture.uvStride, picture.width, picture.height);
    ASSERT_EQ(renderer.IsSetUp(), 1);
    EXPECT_EQ(client.m_viewState.windowWidth, 320);
    EXPECT_EQ(client.m_viewState.windowHeight, 240);

    platform::PresentedImage shown;
    ASSERT_TRUE(platform::ReadWindowPixels(window, &shown));
    EXPECT_EQ(shown.width, 320);
    EXPECT_EQ(shown.height, 240);
    const test::CompareResult r =
        test::CompareWithPicture(shown, picture, test::Transform::kFlip, 8);
    EXPECT_GT(r.compared, shown.width * shown.height / 2);
    EXPECT_EQ(r.mismatched, 0) << "worst " << r.worst << " at (" << r.firstBadX << ", "
                               << r.firstBadY << ")";

    ASSERT_TRUE(caller_.UnmapWindow(window));
    ASSERT_TRUE(caller_.DestroyWindow(window));
    ASSERT_TRUE(caller_.Sync());
    // A destroyed window only makes drawing fail.
    renderer.Render(window, picture.y.data(), picture.u.data(), picture.v.data(), picture.yStride,
                    picture.uvStride, picture.width, picture.height);
    EXPECT_EQ(renderer.Refresh(), 1);
  }
}

}  // namespace
}  // namespace kv
