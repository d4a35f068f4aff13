// Talk's uplink packets and the downlink reader's handling of good and bad voice frames.
#include "sdk/control/talk_frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kv {
namespace {

using Bytes = std::vector<uint8_t>;

// A byte source over memory with the receive-exactly contract.
struct MemoryStream {
  Bytes data;
  size_t at = 0;
  long operator()(size_t n, void* out) {
    if (data.size() - at < n) return 0;
    std::memcpy(out, data.data() + at, n);
    at += n;
    return static_cast<long>(n);
  }
};

Bytes Header(uint8_t b0, uint8_t b1, int16_t words) {
  return {b0, b1, static_cast<uint8_t>(words & 0xFF), static_cast<uint8_t>((words >> 8) & 0xFF)};
}

void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

TEST(TalkCodecTest, GenerationChoosesTheCodec) {
  EXPECT_EQ(TalkCodecForGeneration(1).mode, platform::kVoiceModeG711U);
  EXPECT_EQ(TalkCodecForGeneration(1).wireCodec, 2);
  EXPECT_EQ(TalkCodecForGeneration(0).mode, platform::kVoiceModeG726_32);
  EXPECT_EQ(TalkCodecForGeneration(7).wireCodec, 16);
}

TEST(UplinkPacketTest, LengthWordAndTickAreLittleEndian) {
  Bytes frame = Header(0, 1, 2);
  Append(frame, {9, 8, 7, 6});
  uint8_t out[64];
  ASSERT_EQ(BuildUplinkPacket(frame.data(), frame.size(), 0x11223344u, out, sizeof out), 16u);
  EXPECT_EQ(Bytes(out, out + 8), (Bytes{8, 0, 0, 0, 0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(Bytes(out + 8, out + 16), frame);
  EXPECT_EQ(BuildUplinkPacket(frame.data(), frame.size(), 0, out, 15), 0u) << "does not fit";
  Bytes huge(1024, 0);
  uint8_t big[2048];
  EXPECT_EQ(BuildUplinkPacket(huge.data(), huge.size(), 0, big, sizeof big), 0u)
      << "the length field has 10 bits";
}

class DownlinkTest : public ::testing::Test {
 protected:
  // Runs the reader over the stream until it reports the end; the played blocks' sizes.
  std::vector<int> Run(int32_t mode) {
    DownlinkReader reader(mode);
    EXPECT_TRUE(reader.Reset());
    std::vector<int> blocks;
    const DownlinkReader::Play play = [&](const uint8_t*, int bytes) { blocks.push_back(bytes); };
    while (reader.Step(std::ref(stream_), play)) {
    }
    played_ = reader.framesPlayed();
    skipped_ = reader.framesSkipped();
    return blocks;
  }
  MemoryStream stream_;
  uint64_t played_ = 0;
  uint64_t skipped_ = 0;
};

TEST_F(DownlinkTest, VoiceFramesArePlayedAndForeignHeadersSkippedAlone) {
  Append(stream_.data, Header(0, 1, 80));
  Append(stream_.data, Bytes(160, 0xFF));
  Append(stream_.data, Header(7, 7, 80));  // not a voice frame: only its 4 bytes go
  Append(stream_.data, Header(0, 1, 80));
  Append(stream_.data, Bytes(160, 0x7F));
  EXPECT_EQ(Run(platform::kVoiceModeG711U), (std::vector<int>{320, 320}));
  EXPECT_EQ(played_, 2u);
  EXPECT_EQ(skipped_, 1u);
}

TEST_F(DownlinkTest, LongNegativeAndOversizeFramesStayInBounds) {
  // 400 mu-law samples decode to 800 bytes: three playback blocks, none above 320 bytes.
  Append(stream_.data, Header(0, 1, 200));
  Append(stream_.data, Bytes(400, 0xFF));
  // A negative length: the header alone is dropped.
  Append(stream_.data, Header(0, 1, -3));
  // Longer than any device frame: read past and dropped, and the stream stays in step.
  Append(stream_.data, Header(0, 1, 2000));
  Append(stream_.data, Bytes(4000, 0x55));
  Append(stream_.data, Header(0, 1, 80));
  Append(stream_.data, Bytes(160, 0xFF));
  EXPECT_EQ(Run(platform::kVoiceModeG711U), (std::vector<int>{320, 320, 160, 320}));
  EXPECT_EQ(skipped_, 2u);
  EXPECT_EQ(stream_.at, stream_.data.size());
}

TEST_F(DownlinkTest, ATruncatedFrameEndsTheConnection) {
  Append(stream_.data, Header(0, 1, 80));
  Append(stream_.data, Bytes(100, 0xFF));
  EXPECT_TRUE(Run(platform::kVoiceModeG726_32).empty());
  EXPECT_EQ(played_, 0u);
}

}  // namespace
}  // namespace kv
