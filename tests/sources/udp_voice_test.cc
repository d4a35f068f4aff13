// Voice in the proprietary stream: payloads of every size a datagram allows are decoded, played
// and recorded; a frame that cannot be decoded is counted, not lost silently.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/media/buffer_conduit.h"
#include "sdk/sources/av_source_udp.h"
#include "tests/support/record_writers.h"
#include "tests/support/udp_test_sender.h"
#include "tests/support/xvfb.h"

namespace {

namespace fs = std::filesystem;

class UdpVoice : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kvnet-udp-voice-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    KVNET_CLIENT_PARAM p;
    std::memset(&p, 0, sizeof p);
    p.transport = TRANSPORT_UDP;
    std::strcpy(p.address, "127.0.0.1:0");
    ASSERT_TRUE(client_.InitLive(p));
    client_.m_self = &client_;
    client_.m_audioOn = 1;
    ASSERT_TRUE(video_.Create(4194304, false, 8192, true));
    ASSERT_TRUE(audio_.Create(131072, false, 8192, false));
    client_.m_videoConduit = &video_;
    client_.m_audioConduit = &audio_;
    source_.Attach(&client_, &video_, &audio_);
    ASSERT_EQ(source_.Open(), 1);
    path_ = (dir_ / "voice.kv").string();
    std::snprintf(client_.m_recordPath, sizeof client_.m_recordPath, "%s", path_.c_str());
    ASSERT_EQ(source_.StartRecord(), 1);
  }
  void TearDown() override {
    source_.Close();
    fs::remove_all(dir_);
  }
  // A new stream (its voice decoder is reset for the codec at its key picture, a whole JPEG
  // here), then one voice payload.
  void SendVoice(uint8_t codec, size_t payloadBytes) {
    kv::test::StreamDescription d;
    d.streamId = ++streamId_;
    d.videoCodec = 26;
    d.audioCodec = codec;
    kv::test::UdpStreamBuilder b(d, next_);
    b.AddVideoUnit({0xFF, 0xD8, 0xFF, 0xD9}, true);
    std::vector<uint8_t> voice(payloadBytes);
    for (size_t i = 0; i < voice.size(); ++i) voice[i] = static_cast<uint8_t>(i * 37 + 11);
    b.AddAudio(voice);
    for (const auto& dg : b.datagrams()) source_.FeedDatagram(dg.bytes.data(), dg.bytes.size());
    next_ += static_cast<uint32_t>(b.datagrams().size());
  }
  // Lengths of the audio units in the stopped recording.
  std::vector<uint32_t> RecordedVoiceLengths() {
    EXPECT_EQ(source_.StopRecord(), 1);
    const std::vector<uint8_t> f = kv::test::ReadFileBytes(path_);
    std::vector<uint32_t> lengths;
    if (f.size() < 39 + 22) return lengths;
    const uint32_t n = f[f.size() - 12] | f[f.size() - 11] << 8;
    const size_t end = f.size() - 12 - 16 * size_t{n} - 10;
    for (size_t pos = 39; pos + 12 <= end;) {
      const uint32_t word =
          f[pos] | f[pos + 1] << 8 | f[pos + 2] << 16 | uint32_t{f[pos + 3]} << 24;
      if ((word & 3) == 1) lengths.push_back(word >> 12);
      pos += 12 + (word >> 12);
    }
    return lengths;
  }

  kv::test::ScopedEnv audioOut_{"KVNET_AUDIO_OUT", "null"};
  fs::path dir_;
  std::string path_;
  kv::CNetClient client_;
  kv::CBufferConduit video_, audio_;
  kv::CAVSource_UDP source_;
  uint32_t next_ = 1;
  uint32_t streamId_ = 0x100;
};

TEST_F(UdpVoice, TheLargestPayloadsOfEveryCodecArePlayedAndRecorded) {
  const size_t largest = kv::kUdpMaxDatagram - kv::kUdpHeaderSize;  // 4,028 bytes
  struct Case {
    uint8_t codec;
    size_t bytes;
    size_t samples;
  };
  // G.726-16 decodes four samples a byte, G.726-24 eight samples every three bytes.
  const Case cases[] = {{ACODEC_G726_16, largest, largest * 4},
                        {ACODEC_G726_24, 3102, 3102 * 8 / 3},
                        {ACODEC_G726_32, largest, largest * 2},
                        {ACODEC_G711U, largest, largest}};
  std::vector<uint32_t> expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "codec " << int{c.codec});
    audio_.Clear();
    SendVoice(c.codec, c.bytes);
    EXPECT_EQ(audio_.GetDataSize(), static_cast<int32_t>(c.samples * 2));
    expected.push_back(static_cast<uint32_t>(4 + c.bytes));
  }
  EXPECT_EQ(source_.AudioFramesNotDecoded(), 0u);
  EXPECT_EQ(RecordedVoiceLengths(), expected);
}

TEST_F(UdpVoice, FramesThatCannotBeDecodedAreCounted) {
  SendVoice(ACODEC_G726_32, 161);  // not whole 16-bit words
  SendVoice(9, 160);               // no voice codec has that code
  EXPECT_EQ(source_.AudioFramesNotDecoded(), 2u);
  EXPECT_EQ(audio_.GetDataSize(), 0);
  EXPECT_TRUE(RecordedVoiceLengths().empty());
}

}  // namespace
