// The RTSP-over-UDP source end to end against the device simulator: pictures and sound over
// the two RTP sockets, the raw-video callback with its frame record, and the RTP port search
// when the first port is taken.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>

#include "sdk/sources/rtsp_source.h"
#include "tests/sources/rtsp_live_fixture.h"
#include "tests/support/tone_quality.h"

namespace {

using namespace rtsp_live;

class RtspUdpSource : public RtspLive {};

// A UDP socket bound to a port of the wildcard address, as the client's RTP sockets are.
class BoundUdpPort {
 public:
  explicit BoundUdpPort(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~BoundUdpPort() {
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

TEST_F(RtspUdpSource, H264AndG711PlayAndDecodeAtTheirSize) {
  Device device("--codec h264 --audio g711u --size 320x240 --fps 25 --key-interval 10");
  ASSERT_TRUE(device.ok());
  ASSERT_NE(Start({TRANSPORT_RTSP_UDP, device.port()}), nullptr);
  KVNET_ClientPlayAudio(handle_);
  ASSERT_TRUE(WaitUntil([&] { return Pictures() >= 40; })) << Pictures();
  EXPECT_EQ(Client().m_viewState.decodedWidth.load(), 320);
  EXPECT_EQ(Client().m_viewState.decodedHeight.load(), 240);
  EXPECT_EQ(Client().m_stream.audioCodec.load(), ACODEC_G711U);
  EXPECT_EQ(LinkCodes(), (std::vector<int>{LINK_CONNECTED}));
  EXPECT_TRUE(StopWithin(10));
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_CLOSED), 0);

  const std::vector<int16_t> samples = ReadWavSamples(wav_);
  ASSERT_GT(samples.size(), 8000u);
  EXPECT_GE(kv::test::ToneQualityDb(samples, 1000.0, 2000), kv::test::ToneFloorDb("g711u"));
}

// What the raw-video callback saw.
std::atomic<int> gRawCalls{0};
std::atomic<int> gRawBadRecord{0};
std::atomic<int> gRawIdr{0};
void KVNET_CALL OnRawVideo(KVNET_HANDLE, const uint8_t* data, int length,
                           const KVNET_FRAME_INFO* info, int userValue) {
  ++gRawCalls;
  // The unit's NAL header comes first, then its first fragment; only first fragments come.
  const bool good = info != nullptr && length > 1 && info->fragment == 1 && info->mediaKind == 0 &&
                    info->videoCodec == VCODEC_H264 && info->width == 320 && info->height == 240 &&
                    info->frameRate == 25 && (data[0] & 0x1F) == info->nalType && userValue == 0;
  if (!good) ++gRawBadRecord;
  if (info != nullptr && info->nalType == 5) ++gRawIdr;
}

TEST_F(RtspUdpSource, RawVideoCallbackGetsFirstFragmentsWithTheirFrameRecord) {
  // Large pictures, so that key pictures travel as FU-A fragments; the banner states the size.
  Device device(
      "--codec h264 --audio none --size 320x240 --fps 25 --key-interval 5 "
      "--max-payload 500 --bitrate 1500");
  ASSERT_TRUE(device.ok());
  gRawCalls = 0;
  gRawBadRecord = 0;
  gRawIdr = 0;
  KVNET_SetAVCallback(OnRawVideo);
  ASSERT_NE(Start({TRANSPORT_RTSP_UDP, device.port()}), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return gRawIdr.load() >= 2 && Pictures() >= 10; }));
  EXPECT_TRUE(StopWithin(10));
  EXPECT_GT(gRawCalls.load(), 0);
  EXPECT_EQ(gRawBadRecord.load(), 0);
}

TEST_F(RtspUdpSource, TakenFirstPortMovesTheVideoSocketOnByTwo) {
  // A client of a test running beside this one may hold 1600 for a while: wait until it is
  // ours.
  std::unique_ptr<BoundUdpPort> taken;
  WaitUntil(
      [&] {
        taken = std::make_unique<BoundUdpPort>(1600);
        return taken->bound();
      },
      60);
  if (!taken->bound()) GTEST_SKIP() << "port 1600 stayed in use by another program";
  Device device("--codec h264 --audio g711a --size 320x240");
  ASSERT_TRUE(device.ok());
  ASSERT_NE(Start({TRANSPORT_RTSP_UDP, device.port()}), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return Pictures() >= 10; })) << Pictures();
  // The video socket steps on by two from 1600 (to 1602, or further when a client of a test
  // running beside this one holds that), and the stream reaches it there.
  auto* rtsp = dynamic_cast<kv::CAVSource_RTSP*>(Client().m_source.get());
  ASSERT_NE(rtsp, nullptr);
  const uint16_t port = rtsp->Session()->VideoClientPort();
  EXPECT_GE(port, 1602);
  EXPECT_LT(port, 1700);
  EXPECT_EQ(port % 2, 0);
  EXPECT_TRUE(StopWithin(10));
}

}  // namespace
