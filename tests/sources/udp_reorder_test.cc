// The UDP source fed datagrams without a socket, with the real decoder behind it: a stream
// reordered within windows up to 64 datagrams and shares up to half of them decodes every
// picture with no decoder complaint, and a lost datagram costs pictures only until the next
// key picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/media/buffer_conduit.h"
#include "sdk/sources/av_source_udp.h"
#include "tests/support/test_streams.h"
#include "tests/support/udp_test_sender.h"
#include "tests/support/xvfb.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using kv::test::SenderDatagram;

// libavcodec's complaints (errors and worse) while a test runs; the test program brings its
// own libavcodec, which the library then uses as it is.
std::atomic<int> gDecoderErrors{0};
void CountErrors(void*, int level, const char*, va_list) {
  if (level <= AV_LOG_ERROR) ++gDecoderErrors;
}

const kv::test::EncodedStream& Stream() {
  static const kv::test::EncodedStream stream = [] {
    kv::test::H264Options o;
    o.width = 320;
    o.height = 240;
    o.pictures = 40;
    o.slices = 2;
    o.intraPeriod = 20;
    return kv::test::EncodeH264OpenH264(o);
  }();
  return stream;
}

// A live client whose UDP source is fed by hand; the decode worker runs as in a live view.
struct FedSource {
  kv::CNetClient client;
  kv::CBufferConduit video, audio;
  kv::CAVSource_UDP source;
  FedSource() {
    KVNET_CLIENT_PARAM p;
    std::memset(&p, 0, sizeof p);
    p.transport = TRANSPORT_UDP;
    p.view = 1;
    std::strcpy(p.address, "127.0.0.1:0");
    EXPECT_TRUE(client.InitLive(p));
    client.m_self = &client;
    EXPECT_TRUE(video.Create(4194304, false, 8192, true));
    EXPECT_TRUE(audio.Create(131072, false, 8192, false));
    client.m_videoConduit = &video;
    client.m_audioConduit = &audio;
    source.Attach(&client, &video, &audio);
    EXPECT_EQ(source.Open(), 1);
  }
  ~FedSource() { source.Close(); }
  void Feed(const std::vector<SenderDatagram>& datagrams) {
    for (const auto& d : datagrams) source.FeedDatagram(d.bytes.data(), d.bytes.size());
  }
  uint32_t Pictures() const { return client.m_counters.frameCount.load(); }
  // Waits (bounded) until n pictures were decoded and the worker has emptied the conduit.
  uint32_t WaitPictures(uint32_t n) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((Pictures() < n || video.GetFrameCount() > 0) &&
           std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return Pictures();
  }
};

class UdpReorder : public ::testing::Test {
 protected:
  void SetUp() override {
    gDecoderErrors = 0;
    av_log_set_callback(CountErrors);
  }
  void TearDown() override { av_log_set_callback(av_log_default_callback); }
  kv::test::ScopedEnv audio_{"KVNET_AUDIO_OUT", "null"};
};

std::vector<SenderDatagram> Packetise() {
  kv::test::UdpStreamBuilder b({});
  b.AddH264Frames(Stream().frames);
  return b.datagrams();
}

struct Shape {
  size_t window;
  double share;
  uint32_t seed;
};

TEST_F(UdpReorder, EveryPictureDecodesWithoutComplaint) {
  ASSERT_EQ(Stream().pictures, 40);
  const std::vector<SenderDatagram> original = Packetise();
  std::vector<std::vector<SenderDatagram>> wires;
  for (const Shape& s : {Shape{4, 0.3, 1}, Shape{16, 0.3, 7}, Shape{32, 0.5, 3}, Shape{64, 0.25, 2},
                         Shape{64, 0.5, 9}}) {
    wires.push_back(original);
    kv::test::HoldBack(wires.back(), s.window, s.share, s.seed);
  }
  // The very first datagram (the first key picture's parameter set) overtaken by the rest
  // of its picture.
  wires.push_back(original);
  std::rotate(wires.back().begin(), wires.back().begin() + 1, wires.back().begin() + 6);

  for (size_t i = 0; i < wires.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "case " << i);
    gDecoderErrors = 0;
    FedSource fed;
    fed.Feed(wires[i]);
    EXPECT_EQ(fed.WaitPictures(40), 40u);
    EXPECT_EQ(gDecoderErrors.load(), 0);
    ASSERT_NE(fed.source.Sequencer(), nullptr);
    EXPECT_EQ(fed.source.Sequencer()->Counters().synchronisations, 1u);
  }
}

TEST_F(UdpReorder, ALostDatagramCostsPicturesUntilTheNextKeyPicture) {
  // The first piece of picture 5 is lost; 130 audio datagrams follow that picture, so the
  // source gives the gap up once 128 wait, drops what follows, and resumes at the key picture
  // 20.
  const kv::test::EncodedStream& s = Stream();
  kv::test::UdpStreamBuilder b({});
  size_t lostAt = SIZE_MAX;
  for (size_t f = 0; f < s.frames.size(); ++f) {
    const int picture = s.pictureOfFrame[f];
    if (picture == 5 && lostAt == SIZE_MAX) lostAt = b.datagrams().size();
    b.AddH264Frames({s.frames[f]});
    if (picture == 5 && (f + 1 == s.frames.size() || s.pictureOfFrame[f + 1] != 5)) {
      for (int a = 0; a < 130; ++a) b.AddAudio(std::vector<uint8_t>(160, 0xFF));
    }
  }
  ASSERT_NE(lostAt, SIZE_MAX);
  std::vector<SenderDatagram> wire = b.datagrams();
  wire.erase(wire.begin() + static_cast<long>(lostAt));
  // The restart at picture 20 drops what the decoder has not taken yet, so pictures 0-4 are
  // let through first.
  const auto split = wire.begin() + static_cast<long>(lostAt);
  FedSource fed;
  fed.Feed({wire.begin(), split});
  EXPECT_EQ(fed.WaitPictures(5), 5u);
  fed.Feed({split, wire.end()});
  EXPECT_EQ(fed.WaitPictures(25), 25u);  // 0-4 and 20-39
  EXPECT_EQ(fed.source.Sequencer()->Counters().gapsGivenUp, 1u);
  EXPECT_EQ(fed.source.Sequencer()->Counters().synchronisations, 2u);
}

TEST_F(UdpReorder, TheLossWaitComesFromTheEnvironment) {
  const std::pair<const char*, uint32_t> cases[] = {
      {nullptr, 0}, {"100", 100}, {"0", 0}, {"600000", 600000},         {"600001", 0},
      {"-5", 0},    {"12ms", 0},  {"", 0},  {"99999999999999999999", 0}};
  for (const auto& [text, expected] : cases) {
    kv::test::ScopedEnv wait("KVNET_UDP_LOSS_WAIT_MS", text);
    FedSource fed;
    ASSERT_NE(fed.source.Sequencer(), nullptr);
    EXPECT_EQ(fed.source.Sequencer()->LossWaitMs(), expected) << (text ? text : "unset");
  }
}

}  // namespace
