// The proprietary UDP source end to end on loopback: synchronisation, ordering, sender checks,
// stream changes, recording and damaged datagrams.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/platform/debug_output.h"
#include "tests/support/event_log.h"
#include "tests/support/test_streams.h"
#include "tests/support/udp_test_sender.h"
#include "tests/support/xvfb.h"

namespace {

using kv::test::CountEvents;
using kv::test::SenderDatagram;
using kv::test::UdpStreamBuilder;

const kv::test::EncodedStream& Stream() {
  static const kv::test::EncodedStream stream = [] {
    kv::test::H264Options o;
    o.width = 320;
    o.height = 240;
    o.pictures = 30;
    o.slices = 4;
    o.intraPeriod = 10;
    return kv::test::EncodeH264OpenH264(o);
  }();
  return stream;
}

class UdpSource : public ::testing::Test {
 protected:
  void SetUp() override {
    KVNET_Startup(0, 0, kv::test::RecordEvent, 0);
    kv::test::ClearEvents();
    port_ = kv::test::FreeUdpPort();
    KVNET_CLIENT_PARAM p;
    std::memset(&p, 0, sizeof p);
    p.transport = TRANSPORT_UDP;
    p.view = 1;
    std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u", port_);
    handle_ = KVNET_ClientStart(&p);
    ASSERT_NE(handle_, nullptr);
    client_ = kv::CNetClient::FromHandle(handle_);
  }
  void TearDown() override {
    if (handle_ != nullptr) {
      EXPECT_EQ(KVNET_ClientStop(handle_), 1);
    }
    KVNET_Startup(0, 0, nullptr, 0);
  }
  void Send(const std::vector<SenderDatagram>& datagrams, const char* from = "127.0.0.1") {
    kv::test::UdpTestSocket socket(from, port_);
    ASSERT_TRUE(socket.ok());
    int n = 0;
    for (const auto& d : datagrams) {
      ASSERT_TRUE(socket.Send(d.bytes));
      if (++n % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  // Waits (bounded) until the decoded-picture counter reaches at least n; returns it.
  uint32_t WaitPictures(uint32_t n, int timeoutMs = 15000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (client_->m_counters.frameCount.load() < n && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return client_->m_counters.frameCount.load();
  }
  // Lets the client take in what was sent, with nothing more to expect.
  void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(400)); }

  kv::test::ScopedEnv audio_{"KVNET_AUDIO_OUT", "null"};
  uint16_t port_ = 0;
  KVNET_HANDLE handle_ = nullptr;
  kv::CNetClient* client_ = nullptr;
};

TEST_F(UdpSource, DecodesEveryPictureAndSynchronisesOnKeyFrames) {
  const auto& stream = Stream();
  ASSERT_EQ(stream.pictures, 30);
  UdpStreamBuilder b({});
  // Pictures after the first key picture but sent before it: dropped until synchronised.
  std::vector<std::vector<uint8_t>> inter;
  for (size_t i = 0; i < stream.frames.size(); ++i) {
    const int nal = stream.frames[i][4] & 0x1F;
    if (nal == 1 && inter.size() < 4) inter.push_back(stream.frames[i]);
  }
  b.AddH264Frames(inter);
  b.AddH264Frames(stream.frames);
  Send(b.datagrams());
  EXPECT_EQ(WaitPictures(30), 30u);
  Settle();
  EXPECT_EQ(client_->m_counters.frameCount.load(), 30u);
  EXPECT_EQ(CountEvents(KV_EVENT_LINK, LINK_CONNECTED), 1);
  EXPECT_EQ(KVNET_GetClientState(handle_), LINK_CONNECTED);
  KVNET_VIDEO_INFO info{};
  KVNET_GetClientParam(handle_, &info);
  EXPECT_EQ(info.width, 320);
  EXPECT_EQ(info.height, 240);
  EXPECT_EQ(info.videoCodec, VCODEC_H264);
  EXPECT_EQ(info.audioCodec, ACODEC_G711U);
  EXPECT_EQ(client_->m_viewState.decodedWidth.load(), 320);
}

TEST_F(UdpSource, ReorderingAndDuplicatesLoseNothing) {
  UdpStreamBuilder b({});
  b.AddH264Frames(Stream().frames);
  kv::test::Shuffle(b.datagrams(), 0.05, 0.05, 1234);
  Send(b.datagrams());
  EXPECT_EQ(WaitPictures(30), 30u);
  Settle();
  EXPECT_EQ(client_->m_counters.frameCount.load(), 30u);
}

TEST_F(UdpSource, DatagramsFromAnotherHostAreDropped) {
  UdpStreamBuilder b({});
  b.AddH264Frames(Stream().frames);
  kv::platform::DebugCapture capture;
  Send(b.datagrams(), "127.0.0.2");
  Settle();
  EXPECT_EQ(client_->m_counters.frameCount.load(), 0u);
  EXPECT_EQ(CountEvents(KV_EVENT_LINK, LINK_CONNECTED), 0);
  EXPECT_TRUE(capture.Contains("recvfrom other source\n"));
}

TEST_F(UdpSource, NewStreamIdResynchronises) {
  // A new stream restarts the decoder, which drops whatever of the old stream is still queued;
  // the second stream therefore follows once the first has been shown, as after a device
  // restart.
  UdpStreamBuilder first({});
  first.AddH264Frames(Stream().frames);
  Send(first.datagrams());
  EXPECT_EQ(WaitPictures(30), 30u);
  UdpStreamBuilder second({}, static_cast<uint32_t>(first.datagrams().size() + 1));
  second.SetStreamId(0x5EED0002);
  second.AddH264Frames(Stream().frames);
  Send(second.datagrams());
  EXPECT_EQ(WaitPictures(60), 60u);
  EXPECT_EQ(CountEvents(KV_EVENT_LINK, LINK_CONNECTED), 2);
}

TEST_F(UdpSource, DamagedDatagramsAreDroppedWithoutHarm) {
  UdpStreamBuilder b({});
  b.AddH264Frames(Stream().frames);
  std::vector<SenderDatagram> damaged;
  const auto garbage = kv::test::RandomBytes(4096, 7);
  damaged.push_back({std::vector<uint8_t>(garbage.begin(), garbage.begin() + 20)});
  damaged.push_back({std::vector<uint8_t>(garbage.begin(), garbage.begin() + 68)});
  damaged.push_back({garbage});
  auto badLength = b.datagrams()[3];
  badLength.bytes[27] ^= 0x40;
  damaged.push_back(badLength);
  kv::platform::DebugCapture capture;
  Send(damaged);
  Send(b.datagrams());
  EXPECT_EQ(WaitPictures(30), 30u);
  EXPECT_TRUE(capture.Contains("udp ret length too small\n"));
  EXPECT_TRUE(capture.Contains("udp data length err\n"));
}

TEST_F(UdpSource, RecordsVideoPiecesAndVoiceFrames) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kvnet-udp-rec-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  const std::string path = (dir / "cam/1.kv").string();
  ASSERT_EQ(KVNET_ClientStartRecord(handle_, path.c_str(), 0), 1);
  KVNET_ClientPlayAudio(handle_);
  UdpStreamBuilder b({});
  const auto& frames = Stream().frames;
  b.AddH264Frames({frames.begin(), frames.begin() + 12});
  b.AddAudio(std::vector<uint8_t>(160, 0xFF));
  b.AddH264Frames({frames.begin() + 12, frames.end()});
  Send(b.datagrams());
  EXPECT_EQ(WaitPictures(30), 30u);
  Settle();
  ASSERT_EQ(KVNET_ClientStopRecord(handle_), 1);

  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), {});
  ASSERT_GT(f.size(), 39u + 22u);
  EXPECT_EQ(std::memcmp(f.data() + f.size() - 8, "ENDINDEX", 8), 0);
  size_t pos = 39, video = 0, audio = 0, keys = 0;
  const size_t count = f[f.size() - 12] | f[f.size() - 11] << 8;
  const size_t end = f.size() - 12 - 16 * count - 10;
  while (pos + 12 <= end) {
    const uint32_t word = f[pos] | f[pos + 1] << 8 | f[pos + 2] << 16 | uint32_t(f[pos + 3]) << 24;
    const uint32_t length = word >> 12;
    if ((word & 3) == 1) {
      ++audio;
      EXPECT_EQ(length, 164u);
      EXPECT_EQ(f[pos + 12], 0x00);
      EXPECT_EQ(f[pos + 13], 0x01);
      EXPECT_EQ(f[pos + 14], 80);
    } else {
      ++video;
      keys += ((word >> 2) & 15) == 7;
    }
    pos += 12 + length;
  }
  EXPECT_EQ(pos, end);
  EXPECT_EQ(audio, 1u);
  EXPECT_EQ(keys, count);
  EXPECT_GT(video, 30u);
  std::filesystem::remove_all(dir);
}

}  // namespace
