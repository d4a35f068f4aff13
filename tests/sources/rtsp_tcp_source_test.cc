// The RTSP-over-TCP source end to end against the device simulator: pictures and sound arrive
// as sent, a loss reconnects at once, and stray text and RTCP between the packets are skipped.
#include "tests/sources/rtsp_live_fixture.h"
#include "tests/support/tone_quality.h"

namespace {

using namespace rtsp_live;

class RtspTcpSource : public RtspLive {};

TEST_F(RtspTcpSource, H264AndG711PlayAndDecodeAtTheirSize) {
  Device device(
      "--codec h264 --audio g711a --size 320x240 --fps 25 --key-interval 10 --rtcp "
      "--stray-text 0.3");
  ASSERT_TRUE(device.ok());
  ASSERT_NE(Start({TRANSPORT_RTSP_TCP, device.port()}), nullptr);
  KVNET_ClientPlayAudio(handle_);
  ASSERT_TRUE(WaitUntil([&] { return Pictures() >= 40; })) << Pictures();
  EXPECT_EQ(Client().m_viewState.decodedWidth.load(), 320);
  EXPECT_EQ(Client().m_viewState.decodedHeight.load(), 240);
  EXPECT_EQ(Client().m_stream.videoCodec.load(), VCODEC_H264);
  EXPECT_EQ(Client().m_stream.audioCodec.load(), ACODEC_G711A);
  EXPECT_EQ(KVNET_GetClientState(handle_), LINK_CONNECTED);
  EXPECT_EQ(LinkCodes(), (std::vector<int>{LINK_CONNECTING, LINK_CONNECTED}));
  EXPECT_TRUE(StopWithin(10));
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_CLOSED), 0);

  const std::vector<int16_t> samples = ReadWavSamples(wav_);
  ASSERT_GT(samples.size(), 8000u);  // more than a second of sound
  EXPECT_GE(kv::test::ToneQualityDb(samples, 1000.0, 2000), kv::test::ToneFloorDb("g711a"));
}

}  // namespace
