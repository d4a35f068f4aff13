// The JPEG rule (a real JPEG sent as RFC 2435 packets decodes to the same picture through
// libjpeg-turbo), its header for each type, the refusals that keep the buffer whole, and the
// audio rule.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include "KvNetClient.h"
#include "sdk/media/jpeg_tables.h"
#include "sdk/platform/voice_codec.h"
#include "sdk/sources/rtp_audio.h"
#include "sdk/sources/rtp_jpeg.h"
#include "tests/sources/rtp_test_sink.h"
#include "tests/support/jpeg_inspect.h"
#include "tests/support/test_streams.h"

namespace kv::test {
namespace {

struct Decoded {
  bool ok = false;
  int width = 0, height = 0, subsampling = -1;
  Bytes rgb;
};

Decoded Decode(const Bytes& jpeg) {
  Decoded d;
  tjhandle h = tjInitDecompress();
  int colourspace = 0;
  if (tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &d.width, &d.height, &d.subsampling,
                          &colourspace) == 0) {
    d.rgb.resize(static_cast<size_t>(d.width) * d.height * 3);
    // The rebuilt picture ends without an end-of-image marker, as the device's does; the
    // decoder's warning about it is the only one accepted.
    const int r = tjDecompress2(h, jpeg.data(), jpeg.size(), d.rgb.data(), d.width, 0, d.height,
                                TJPF_RGB, 0);
    d.ok = r == 0 || (tjGetErrorCode(h) == TJERR_WARNING &&
                      std::string(tjGetErrorStr2(h)).find("Premature end") != std::string::npos);
    if (!d.ok) ADD_FAILURE() << tjGetErrorStr2(h);
  }
  tjDestroy(h);
  return d;
}

// The RTP JPEG packets of a baseline file: its two quantisation tables in-band, its scan data
// cut into pieces of at most `piece` bytes.
std::vector<Bytes> Packetise(const Bytes& file, uint8_t type, uint16_t restart, size_t piece) {
  size_t entropy = 0;
  const std::vector<JpegSegment> segments = ReadSegments(file, &entropy);
  Bytes tables;
  int width = 0, height = 0;
  for (const JpegSegment& s : segments) {
    if (s.marker == 0xDB) {
      for (size_t at = 0; at + 65 <= s.payload.size(); at += 65) {
        tables.insert(tables.end(), s.payload.begin() + at + 1, s.payload.begin() + at + 65);
      }
    } else if (s.marker == 0xC0) {
      height = (s.payload[1] << 8) | s.payload[2];
      width = (s.payload[3] << 8) | s.payload[4];
    }
  }
  EXPECT_EQ(tables.size(), 128u);
  Bytes scan(file.begin() + static_cast<long>(entropy), file.end() - 2);  // without EOI
  std::vector<Bytes> packets;
  for (size_t offset = 0; offset < scan.size(); offset += piece) {
    Bytes p = {0,
               static_cast<uint8_t>(offset >> 16),
               static_cast<uint8_t>(offset >> 8),
               static_cast<uint8_t>(offset),
               type,
               255,
               static_cast<uint8_t>(width / 8),
               static_cast<uint8_t>(height / 8)};
    if (type >= 64)
      p.insert(p.end(),
               {static_cast<uint8_t>(restart >> 8), static_cast<uint8_t>(restart), 0xFF, 0xFF});
    if (offset == 0) {
      p.insert(p.end(), {0, 0, 0, 128});
      p.insert(p.end(), tables.begin(), tables.end());
    }
    const size_t n = std::min(piece, scan.size() - offset);
    p.insert(p.end(), scan.begin() + static_cast<long>(offset),
             scan.begin() + static_cast<long>(offset + n));
    packets.push_back(MakeRtp(p, offset + n == scan.size(), 0, 0, 26));
  }
  return packets;
}

TEST(RtpJpeg, PictureSentInPiecesDecodesAsTheOriginal) {
  const Bytes file = EncodeJpeg(MakeTestPicture(320, 240, 5), TJSAMP_420, 80);
  const Decoded original = Decode(file);
  ASSERT_TRUE(original.ok);
  RtpJpegDepacketizer jpeg(10);
  ASSERT_TRUE(jpeg.Allocate());
  CollectingSink sink;
  std::vector<Bytes> packets = Packetise(file, 1, 0, 1000);
  ASSERT_GE(packets.size(), 3u);
  for (Bytes& p : packets) jpeg.Process(Parse(p), sink);
  ASSERT_EQ(sink.frames.size(), 1u);
  const Decoded got = Decode(sink.frames[0].bytes);
  ASSERT_TRUE(got.ok);
  EXPECT_EQ(got.width, 320);
  EXPECT_EQ(got.height, 240);
  EXPECT_EQ(got.subsampling, TJSAMP_420);
  EXPECT_EQ(got.rgb, original.rgb);
  ASSERT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(sink.records[0].type, 10u);
  EXPECT_TRUE(sink.records[0].keyPoint);
  EXPECT_EQ(sink.records[0].bytes, sink.frames[0].bytes);
}

TEST(RtpJpeg, Types0And64Are422AndDecode) {
  const Bytes file = EncodeJpeg(MakeTestPicture(320, 240, 9), TJSAMP_422, 85);
  RtpJpegDepacketizer jpeg(7);
  ASSERT_TRUE(jpeg.Allocate());
  CollectingSink sink;
  for (Bytes& p : Packetise(file, 0, 0, 1400)) jpeg.Process(Parse(p), sink);
  ASSERT_EQ(sink.frames.size(), 1u);
  const Decoded got = Decode(sink.frames[0].bytes);
  ASSERT_TRUE(got.ok);
  EXPECT_EQ(got.subsampling, TJSAMP_422);
  EXPECT_EQ(got.rgb, Decode(file).rgb);
  EXPECT_EQ(sink.records[0].type, 7u);
  // Type 64 is type 0 with a restart header: the same 4:2:2 sampling.
  for (Bytes& p : Packetise(file, 64, 0, 1400)) jpeg.Process(Parse(p), sink);
  ASSERT_EQ(sink.frames.size(), 2u);
  const Decoded withRestartHeader = Decode(sink.frames[1].bytes);
  EXPECT_EQ(withRestartHeader.subsampling, TJSAMP_422);
  EXPECT_EQ(withRestartHeader.rgb, got.rgb);
}

TEST(RtpJpeg, HeaderForEachTypeSizeAndTables) {
  uint8_t t0[64], t1[64], out[700];
  for (int i = 0; i < 64; ++i)
    t0[i] = static_cast<uint8_t>(i + 1), t1[i] = static_cast<uint8_t>(100 + i);
  ASSERT_EQ(BuildJpegHeader(out, 1, 320, 30, 0, t0, t1), 605u);
  EXPECT_EQ(Bytes(out, out + 7), (Bytes{0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00}));
  EXPECT_EQ(out[7], 1);
  EXPECT_EQ(out[2 + 69 + 5], 100);
  const size_t sof = 2 + 69 + 69;
  EXPECT_EQ(Bytes(out + sof, out + sof + 9),
            (Bytes{0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 240, 0x0A, 0x00}));
  EXPECT_EQ(out[sof + 11], 0x22);
  EXPECT_EQ(Bytes(out + 591, out + 605), (Bytes{0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x00, 0x00, 0x01,
                                                0x11, 0x02, 0x11, 0x00, 0x3F, 0x00}));
  ASSERT_EQ(BuildJpegHeader(out, 64, 40, 30, 0x1234, t0, t1), 611u);
  EXPECT_EQ(Bytes(out + sof, out + sof + 6), (Bytes{0xFF, 0xDD, 0x00, 0x04, 0x12, 0x34}));
  EXPECT_EQ(out[sof + 6 + 11], 0x21);
  ASSERT_EQ(BuildJpegHeader(out, 0, 40, 30, 0, t0, t1), 605u);
  EXPECT_EQ(out[sof + 11], 0x21);
  ASSERT_EQ(BuildJpegHeader(out, 65, 40, 30, 8, t0, t1), 611u);
  EXPECT_EQ(out[sof + 6 + 11], 0x22);

  // The four Huffman tables give the standard codes.
  ASSERT_EQ(BuildJpegHeader(out, 1, 40, 30, 0, t0, t1), 605u);
  const size_t dht = sof + 19;
  const jpeg::HuffmanCodes lumDc = jpeg::BuildHuffmanCodes(out + dht + 5, out + dht + 21);
  EXPECT_EQ(lumDc.code, jpeg::StandardHuffman().luminanceDc.code);
  EXPECT_EQ(lumDc.length, jpeg::StandardHuffman().luminanceDc.length);
  const jpeg::HuffmanCodes lumAc = jpeg::BuildHuffmanCodes(out + dht + 33 + 5, out + dht + 33 + 21);
  EXPECT_EQ(lumAc.length, jpeg::StandardHuffman().luminanceAc.length);
  const jpeg::HuffmanCodes chrAc =
      jpeg::BuildHuffmanCodes(out + dht + 33 + 183 + 33 + 5, out + dht + 33 + 183 + 33 + 21);
  EXPECT_EQ(chrAc.code, jpeg::StandardHuffman().chrominanceAc.code);

  // Width byte 68 stands for 2560 pixels.
  RtpJpegDepacketizer jpeg(10);
  ASSERT_TRUE(jpeg.Allocate());
  CollectingSink sink;
  Bytes p = {0, 0, 0, 0, 1, 255, 68, 90, 0, 0, 0, 128};
  p.resize(p.size() + 128, 1);
  p.insert(p.end(), {0x12, 0x34});
  Bytes packet = MakeRtp(p, true, 0, 0, 26);
  jpeg.Process(Parse(packet), sink);
  ASSERT_EQ(sink.frames.size(), 1u);
  EXPECT_EQ(sink.frames[0].bytes.size(), 607u);
  EXPECT_EQ(sink.frames[0].bytes[sof + 7], 0x0A);  // 2560 = 0x0A00
  EXPECT_EQ(sink.frames[0].bytes[sof + 8], 0x00);
}

TEST(RtpJpeg, ScaledTablesFromQ) {
  uint8_t l[64], c[64];
  MakeJpegQuantTables(50, l, c);
  EXPECT_EQ(l[0], 16);
  EXPECT_EQ(c[63], 99);
  MakeJpegQuantTables(90, l, c);
  EXPECT_EQ(l[0], (16 * 20 + 50) / 100);
  MakeJpegQuantTables(1, l, c);
  EXPECT_EQ(l[63], 255);
  // A first packet with Q 80 carries no tables: its data follows the main header.
  RtpJpegDepacketizer jpeg(10);
  ASSERT_TRUE(jpeg.Allocate());
  CollectingSink sink;
  Bytes packet = MakeRtp({0, 0, 0, 0, 1, 80, 40, 30, 0xAB, 0xCD}, true, 0, 0, 26);
  jpeg.Process(Parse(packet), sink);
  ASSERT_EQ(sink.frames.size(), 1u);
  EXPECT_EQ(sink.frames[0].bytes.size(), 607u);
  EXPECT_EQ(sink.frames[0].bytes[605], 0xAB);
}

TEST(RtpJpeg, ShortFirstPacketAndOversizePictureAreRefusedAndTheStreamContinues) {
  const Bytes file = EncodeJpeg(MakeTestPicture(160, 120, 1), TJSAMP_420, 80);
  std::vector<Bytes> good = Packetise(file, 1, 0, 700);
  const size_t total = 605 + (file.size() - 2 - 605);  // roughly one picture
  RtpJpegDepacketizer jpeg(10, total + 4096);
  ASSERT_TRUE(jpeg.Allocate());
  CollectingSink sink;
  // A 19-byte datagram and a first packet cut inside its tables add nothing.
  Bytes tiny = MakeRtp({0, 0, 0, 0, 1, 255, 20}, true, 0, 0, 26);
  jpeg.Process(Parse(tiny), sink);
  Bytes cut = MakeRtp({0, 0, 0, 0, 1, 255, 20, 15, 0, 0, 0, 128, 1, 2, 3}, false, 0, 0, 26);
  jpeg.Process(Parse(cut), sink);
  Bytes rest = good.back();
  jpeg.Process(Parse(rest), sink);  // its pieces belong to the refused picture
  EXPECT_TRUE(sink.frames.empty());
  EXPECT_EQ(jpeg.Fill(), 0u);
  // A picture that outgrows the buffer is refused whole.
  Bytes first = good.front();
  jpeg.Process(Parse(first), sink);
  Bytes big = MakeRtp({0, 0, 0, 100, 1, 255, 20, 15}, false, 0, 0, 26);
  big.resize(big.size() + 3000, 0x55);
  for (int i = 0; i < 4; ++i) {
    Bytes copy = big;
    jpeg.Process(Parse(copy), sink);
  }
  Bytes marker = good.back();
  jpeg.Process(Parse(marker), sink);
  EXPECT_TRUE(sink.frames.empty());
  // The next whole picture comes through and decodes.
  for (Bytes& p : good) jpeg.Process(Parse(p), sink);
  ASSERT_EQ(sink.frames.size(), 1u);
  EXPECT_EQ(Decode(sink.frames[0].bytes).rgb, Decode(file).rgb);
}

TEST(RtpAudio, G711PacketsDecodeRecordAndClear) {
  CollectingSink sink;
  RtpAudioDepacketizer audio(1024);
  ASSERT_TRUE(audio.Reset(ACODEC_G711U));
  Bytes payload(160);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 3);
  Bytes packet = MakeRtp(payload, false, 1, 8000, 0);
  ASSERT_TRUE(audio.Process(Parse(packet), sink));
  ASSERT_EQ(sink.pcm.size(), 320u);
  ASSERT_EQ(sink.audioRecords.size(), 1u);
  const Bytes& rec = sink.audioRecords[0].first;
  EXPECT_EQ(rec.size(), 4u + 160u + 1u);  // voice frame (packet length - 8), then the type
  EXPECT_EQ(Bytes(rec.begin(), rec.begin() + 4), (Bytes{0x00, 0x01, 80, 0}));
  EXPECT_EQ(rec.back(), ACODEC_G711U);
  EXPECT_EQ(sink.audioRecords[0].second, 8000u);
  EXPECT_EQ(sink.audioClears, 0);

  // Over the clear level the conduit is emptied first; with sound off it is not written.
  sink.queued = 1025;
  Bytes again = MakeRtp(payload, false, 2, 8160, 0);
  ASSERT_TRUE(audio.Process(Parse(again), sink));
  EXPECT_EQ(sink.audioClears, 1);
  sink.audioOn = false;
  Bytes third = MakeRtp(payload, false, 3, 8320, 0);
  ASSERT_TRUE(audio.Process(Parse(third), sink));
  EXPECT_EQ(sink.pcm.size(), 640u);
  EXPECT_EQ(sink.audioRecords.size(), 3u);

  // The interleaved level is 3072.
  RtpAudioDepacketizer interleaved(3072);
  ASSERT_TRUE(interleaved.Reset(ACODEC_G711A));
  CollectingSink other;
  other.queued = 3000;
  Bytes p4 = MakeRtp(payload, false, 4, 0, 8);
  ASSERT_TRUE(interleaved.Process(Parse(p4), other));
  EXPECT_EQ(other.audioClears, 0);
}

TEST(RtpAudio, OversizeAndEmptyPacketsAreSkippedAndG726FitsItsBuffer) {
  CollectingSink sink;
  RtpAudioDepacketizer audio(1024);
  EXPECT_FALSE(audio.Reset(99));
  ASSERT_TRUE(audio.Reset(ACODEC_G726_16));
  Bytes tooLong = MakeRtp(Bytes(kRtpAudioMaxPayload + 2, 0x11), false);
  EXPECT_FALSE(audio.Process(Parse(tooLong), sink));
  Bytes one = MakeRtp({0x11}, false);
  EXPECT_FALSE(audio.Process(Parse(one), sink));
  // The largest accepted packet decodes completely: 4 samples per byte at 16 kbit/s.
  Bytes largest = MakeRtp(RandomBytes(kRtpAudioMaxPayload, 3), false);
  ASSERT_TRUE(audio.Process(Parse(largest), sink));
  EXPECT_GE(sink.pcm.size(), kRtpAudioMaxPayload * 4 * 2 - 16);
  EXPECT_EQ(sink.audioRecords.size(), 1u);
}

}  // namespace
}  // namespace kv::test
