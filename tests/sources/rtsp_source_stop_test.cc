// KVNET_ClientStop returns promptly whatever an RTSP client is doing: connecting to a device
// that never answers, playing, waiting to retry, or waiting on a device that went silent. The
// bounds are generous, yet shorter than the waits a stop must cut short (the 5 s answer time-out,
// the 60 s retry interval, the 5 s / 10 s silence time-outs). A stop never reports LINK_CLOSED.
#include "tests/sources/rtsp_live_fixture.h"

namespace {

using namespace rtsp_live;

class RtspStop : public RtspLive, public ::testing::WithParamInterface<int> {
 protected:
  void TearDown() override {
    EXPECT_EQ(Count(KV_EVENT_LINK, LINK_CLOSED), 0);
    RtspLive::TearDown();
  }
};

TEST_P(RtspStop, WhileConnectingToADeviceThatNeverAnswers) {
  KVNET_SetWaitTime(30, 1, 60);
  Device device("--no-answer all");
  ASSERT_TRUE(device.ok());
  ASSERT_NE(Start({GetParam(), device.port()}), nullptr);
  // Let the attempt reach its wait for the answer.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(KVNET_GetClientState(handle_), LINK_CONNECTING);
  EXPECT_TRUE(StopWithin(4));
  // The negotiation the stop cut short is not reported as a failure.
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_CONNECT_FAILED), 0);
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_RETRYING), 0);
}

TEST_P(RtspStop, WhilePlaying) {
  Device device("--codec mjpeg --audio g711u --size 320x240");
  ASSERT_TRUE(device.ok());
  ASSERT_NE(Start({GetParam(), device.port()}), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return Pictures() >= 5; }));
  EXPECT_TRUE(StopWithin(10));
}

TEST_P(RtspStop, WhileWaitingToRetry) {
  KVNET_SetWaitTime(5, 3, 60);
  ASSERT_NE(Start({GetParam(), kv::test::FreeTcpPort()}), nullptr);
  const int failed = GetParam() == TRANSPORT_RTSP_TCP ? LINK_CONNECTING : LINK_CONNECT_FAILED;
  ASSERT_TRUE(WaitUntil([&] { return Count(KV_EVENT_LINK, failed) >= 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_RETRYING), 0);
  EXPECT_TRUE(StopWithin(10));
}

TEST_P(RtspStop, WhileTheDeviceIsSilent) {
  Device device("--codec h264 --audio g711a --size 320x240 --key-interval 5 --stall-after 1.5");
  ASSERT_TRUE(device.ok());
  ASSERT_NE(Start({GetParam(), device.port()}), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return Pictures() >= 3; }));
  // The pictures stop coming: the stream is silent but not yet lost.
  uint32_t last = Pictures();
  ASSERT_TRUE(WaitUntil([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const uint32_t now = Pictures();
    const bool still = now == last;
    last = now;
    return still;
  }));
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_LOST), 0);
  EXPECT_TRUE(StopWithin(4));
}

INSTANTIATE_TEST_SUITE_P(Transports, RtspStop,
                         ::testing::Values(TRANSPORT_RTSP_TCP, TRANSPORT_RTSP_UDP),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == TRANSPORT_RTSP_TCP ? "tcp" : "udp";
                         });

}  // namespace
