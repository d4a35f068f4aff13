// XviD decoder and its object layer headers: a decoder serves one header, a different header
// gets a fresh decoder, and a frame whose headers disagree is refused.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "sdk/platform/xvid_dec.h"
#include "tests/support/test_streams.h"

namespace kv {
namespace {

using test::EncodedStream;

// Counts the pictures decoded from a whole stream and checks their size and numbers.
void ExpectWholeStream(platform::XvidDecoder& decoder, const EncodedStream& stream, int width,
                       int height) {
  std::vector<uint8_t> buffer(static_cast<size_t>(width) * height * 3 / 2);
  std::vector<int> numbers;
  for (const auto& frame : stream.frames) {
    platform::XvidPicture picture;
    ASSERT_GT(
        decoder.Decode(frame.data(), frame.size(), buffer.data(), buffer.size(), width, &picture),
        0);
    if (picture.type == platform::kXvidTypeIVop || picture.type == platform::kXvidTypePVop) {
      EXPECT_EQ(picture.width, width);
      EXPECT_EQ(picture.height, height);
      numbers.push_back(test::ReadPictureNumber(picture.y, picture.yStride, width, height));
    }
  }
  std::vector<int> expected(stream.frames.size());
  for (size_t n = 0; n < expected.size(); ++n) expected[n] = static_cast<int>(n);
  EXPECT_EQ(numbers, expected);
}

// The frames of a decoders fuzz input: after a selector byte pair, frames each led by a
// 2-byte big-endian length.
std::vector<std::vector<uint8_t>> FuzzFrames(const std::string& name) {
  std::ifstream in(std::string(KVNET_SOURCE_DIR) + "/fuzz/findings/" + name, std::ios::binary);
  const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  std::vector<std::vector<uint8_t>> frames;
  size_t at = 2;
  while (at + 2 <= data.size()) {
    const size_t length = (static_cast<size_t>(data[at]) << 8) | data[at + 1];
    at += 2;
    const size_t take = std::min(length, data.size() - at);
    frames.emplace_back(data.begin() + static_cast<ptrdiff_t>(at),
                        data.begin() + static_cast<ptrdiff_t>(at + take));
    at += take;
  }
  return frames;
}

// Two inputs the decoders fuzzer found: decoded one after the other by one decoder, the
// second's pictures were decoded with what the first's headers (a grey-scale layer, a layer of
// height 0) left behind, and XviD read out of bounds. Each header now gets a fresh decoder.
TEST(XvidLayerTest, HostileHeadersLeaveNothingBehindForTheNextLayer) {
  const auto first = FuzzFrames("xvid-crash-1.bin");
  const auto second = FuzzFrames("xvid-crash-2.bin");
  ASSERT_EQ(first.size(), 3u);
  ASSERT_EQ(second.size(), 5u);
  platform::XvidDecoder decoder;
  ASSERT_TRUE(decoder.Create());
  std::vector<uint8_t> buffer(128 * 96 * 3 / 2);
  for (const auto* input : {&first, &second}) {
    for (const auto& frame : *input) {
      platform::XvidPicture picture;
      decoder.Decode(frame.data(), frame.size(), buffer.data(), buffer.size(), 128, &picture);
    }
  }
  // The same decoder still decodes a sound stream whole.
  ExpectWholeStream(decoder, test::EncodeMpeg4Xvid(176, 144, 6), 176, 144);
}

TEST(XvidLayerTest, ANewLayerHeaderStartsAfreshAndAFrameWithTwoIsRefused) {
  const EncodedStream large = test::EncodeMpeg4Xvid(320, 240, 8);
  const EncodedStream small = test::EncodeMpeg4Xvid(176, 144, 8);
  platform::XvidDecoder decoder;
  ASSERT_TRUE(decoder.Create());
  {
    SCOPED_TRACE("one stream, then another of another size, then the first again");
    ExpectWholeStream(decoder, large, 320, 240);
    ExpectWholeStream(decoder, small, 176, 144);
    ExpectWholeStream(decoder, large, 320, 240);
  }
  // A key frame of one stream with the other's header put in front: its headers disagree.
  std::vector<uint8_t> mixed = small.frames[0];
  mixed.insert(mixed.end(), large.frames[0].begin(), large.frames[0].end());
  std::vector<uint8_t> buffer(320 * 240 * 3 / 2, 0xcd);
  platform::XvidPicture picture;
  EXPECT_LT(decoder.Decode(mixed.data(), mixed.size(), buffer.data(), buffer.size(), 320, &picture),
            0);
  EXPECT_EQ(picture.type, platform::kXvidTypeNothing);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0xcd; }));
}

}  // namespace
}  // namespace kv
