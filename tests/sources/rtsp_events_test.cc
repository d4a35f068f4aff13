// The device's reports through a live RTSP client: the event connection logs in with the RTSP
// session id (the simulator refuses any other), and motion and alarm reports reach the caller,
// the client's region table and the drawn window.
#include <algorithm>

#include "sdk/platform/window_pixels.h"
#include "tests/sources/rtsp_live_fixture.h"

namespace {

using namespace rtsp_live;

class RtspEvents : public RtspLive, public ::testing::WithParamInterface<int> {};

// How much of a window row segment is drawn in the overlay's pure red.
double RedShare(const kv::platform::PresentedImage& image, int y, int x0, int x1) {
  int red = 0;
  for (int x = x0; x < x1; ++x) {
    const kv::platform::Rgb p = image.At(x, y);
    red += p.r > 200 && p.g < 60 && p.b < 60;
  }
  return static_cast<double>(red) / (x1 - x0);
}

// Whether one of the rows y-1..y+1 is red along x0..x1 in the window as last presented.
bool EdgeDrawn(kv::platform::WindowId window, int y, int x0, int x1) {
  kv::platform::PresentedImage image;
  if (!kv::platform::ReadWindowPixels(window, &image)) return false;
  for (int row = std::max(0, y - 1); row <= std::min(image.height - 1, y + 1); ++row) {
    if (RedShare(image, row, x0, x1) > 0.8) return true;
  }
  return false;
}

TEST_P(RtspEvents, MotionAndAlarmReportsReachTheCallerTheTableAndTheWindow) {
  // Reports every second once the event connection has logged in with an open session's id.
  Device device(
      "--codec h264 --audio g711a --size 320x240 --event-session check --motion-every 1 "
      "--motion-regions 2,5 --alarm-every 1 --alarm-code 3");
  ASSERT_TRUE(device.ok());
  ASSERT_NE(Start({GetParam(), device.port()}), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return Pictures() >= 3; }));

  // The regions 2 and 5 as the device keeps them for the channel, read back into the table.
  KVNET_MD_INFO info{};
  const int32_t r2[4] = {100, 60, 300, 200}, r5[4] = {400, 300, 600, 500};
  std::copy(r2, r2 + 4, info.region[2]);
  std::copy(r5, r5 + 4, info.region[5]);
  ASSERT_EQ(KVNET_ClientSaveMDInfo(handle_, &info), 1);
  KVNET_MD_INFO read{};
  ASSERT_EQ(KVNET_ClientGetMDInfo(handle_, &read), 1);
  EXPECT_TRUE(std::equal(r5, r5 + 4, read.region[5]));

  ASSERT_TRUE(WaitUntil([] { return Count(KV_EVENT_MOTION, 36) >= 1; }))
      << "regions 2 and 5 moving give the mask 36";
  ASSERT_TRUE(WaitUntil([] { return Count(KV_EVENT_ALARM, 3) >= 1; }));
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_CONNECTED), 1);

  // Moving regions are framed in red in the 320 x 240 window (the region space is 704 x 576):
  // region 2's top edge on row 25, region 5's on row 125. Without the motion display they are
  // not, so the red is the overlay's and not the picture's.
  ASSERT_EQ(KVNET_ClientShowMDRegion(handle_, 0), 1);
  const uint32_t shown = Pictures();
  ASSERT_TRUE(WaitUntil([&] { return Pictures() >= shown + 3; }));
  EXPECT_FALSE(EdgeDrawn(window_, 25, 60, 120));
  EXPECT_FALSE(EdgeDrawn(window_, 125, 195, 260));
  ASSERT_EQ(KVNET_ClientShowMDRegion(handle_, 2), 1);
  EXPECT_TRUE(WaitUntil([&] { return EdgeDrawn(window_, 25, 60, 120); })) << "region 2";
  EXPECT_TRUE(WaitUntil([&] { return EdgeDrawn(window_, 125, 195, 260); })) << "region 5";
  EXPECT_TRUE(StopWithin(10));
}

INSTANTIATE_TEST_SUITE_P(Transports, RtspEvents,
                         ::testing::Values(TRANSPORT_RTSP_TCP, TRANSPORT_RTSP_UDP),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == TRANSPORT_RTSP_TCP ? "tcp" : "udp";
                         });

}  // namespace
