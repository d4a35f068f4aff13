// The RTP header and the H.264 and MPEG-4 rules: what reaches the conduit, the record files and
// the raw-video callback for each kind of packet, and the decisions handed back to the source.
#include <gtest/gtest.h>

#include "sdk/sources/rtp_h264.h"
#include "sdk/sources/rtp_mpeg4.h"
#include "tests/sources/rtp_test_sink.h"

namespace kv::test {
namespace {

Bytes Counting(uint8_t first, size_t length) {
  Bytes b(length);
  for (size_t i = 0; i < length; ++i) b[i] = static_cast<uint8_t>(first + i);
  b[0] = first;
  return b;
}

TEST(RtpPacket, HeaderFieldsCsrcExtensionAndPadding) {
  Bytes plain = MakeRtp({1, 2, 3}, true, 0xBEEF, 0xA0B0C0D0, 26);
  RtpPacket rtp;
  ASSERT_TRUE(ParseRtpPacket(plain.data(), plain.size(), &rtp));
  EXPECT_TRUE(rtp.marker);
  EXPECT_EQ(rtp.payloadType, 26);
  EXPECT_EQ(rtp.sequence, 0xBEEF);
  EXPECT_EQ(rtp.timestamp, 0xA0B0C0D0u);
  EXPECT_EQ(rtp.payload, plain.data() + 12);
  EXPECT_EQ(rtp.payloadLength, 3u);

  // Two CSRCs, a one-word extension and 2 bytes of padding around a 3-byte payload.
  Bytes full = MakeRtp({}, false);
  full[0] = 0x80 | 0x20 | 0x10 | 2;
  full.insert(full.end(), 8, 0xCC);
  full.insert(full.end(), {0xBE, 0xDE, 0x00, 0x01, 9, 9, 9, 9});
  full.insert(full.end(), {7, 8, 9, 0, 2});
  ASSERT_TRUE(ParseRtpPacket(full.data(), full.size(), &rtp));
  EXPECT_EQ(rtp.payloadLength, 3u);
  EXPECT_EQ(rtp.payload[0], 7);

  // Refused: too short, not version 2, CSRCs, extension or padding beyond the packet.
  Bytes shortOne(11, 0x80);
  EXPECT_FALSE(ParseRtpPacket(shortOne.data(), shortOne.size(), &rtp));
  Bytes v1 = MakeRtp({1}, false);
  v1[0] = 0x40;
  EXPECT_FALSE(ParseRtpPacket(v1.data(), v1.size(), &rtp));
  Bytes csrc = MakeRtp({1, 2, 3}, false);
  csrc[0] = 0x80 | 15;
  EXPECT_FALSE(ParseRtpPacket(csrc.data(), csrc.size(), &rtp));
  Bytes ext = MakeRtp({0xBE, 0xDE, 0x10, 0x00}, false);
  ext[0] = 0x90;
  EXPECT_FALSE(ParseRtpPacket(ext.data(), ext.size(), &rtp));
  Bytes pad = MakeRtp({1, 2, 40}, false);
  pad[0] = 0xA0;
  EXPECT_FALSE(ParseRtpPacket(pad.data(), pad.size(), &rtp));
}

TEST(RtpH264, SingleUnitParameterSetIsOneFrameAndAKeyRecord) {
  CollectingSink sink;
  RtpH264Depacketizer h264(H264Settings{});
  Bytes packet = MakeRtp(Counting(0x67, 20), true);
  const H264Decision d = h264.Process(Parse(packet), 1000, sink);
  EXPECT_EQ(d.receivedBytes, 20u);
  ASSERT_EQ(sink.frames.size(), 1u);
  EXPECT_EQ(sink.frames[0].bytes.size(), 24u);
  EXPECT_EQ(Bytes(sink.frames[0].bytes.begin(), sink.frames[0].bytes.begin() + 5),
            (Bytes{0, 0, 0, 1, 0x67}));
  EXPECT_EQ(sink.frames[0].tag, 7);
  ASSERT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(sink.records[0].bytes, sink.frames[0].bytes);
  EXPECT_EQ(sink.records[0].type, 7u);
  EXPECT_TRUE(sink.records[0].keyPoint);
  EXPECT_TRUE(sink.raw.empty());
}

TEST(RtpH264, FragmentedUnitIsRebuiltAndOnlyItsStartReachesTheCallback) {
  CollectingSink sink;
  sink.wantsRaw = true;
  RtpH264Depacketizer h264(H264Settings{});
  Bytes start = MakeRtp({0x7C, 0x85, 1, 2, 3}, false, 1, 777);
  Bytes middle = MakeRtp({0x7C, 0x05, 4, 5}, false, 2, 777);
  Bytes end = MakeRtp({0x7C, 0x45, 6}, true, 3, 777);
  h264.Process(Parse(start), 0, sink);
  EXPECT_TRUE(sink.frames.empty());
  h264.Process(Parse(middle), 0, sink);
  h264.Process(Parse(end), 0, sink);
  ASSERT_EQ(sink.frames.size(), 1u);
  EXPECT_EQ(sink.frames[0].bytes, (Bytes{0, 0, 0, 1, 0x65, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(sink.frames[0].tag, 5);
  ASSERT_EQ(sink.records.size(), 3u);
  EXPECT_EQ(sink.records[0].bytes, (Bytes{0, 0, 0, 1, 0x65, 1, 2, 3}));
  EXPECT_EQ(sink.records[1].bytes, (Bytes{4, 5}));
  EXPECT_EQ(sink.records[2].bytes, (Bytes{6}));
  for (const SinkRecord& r : sink.records) EXPECT_EQ(r.type, 5u);
  ASSERT_EQ(sink.raw.size(), 1u);
  EXPECT_EQ(sink.raw[0].first, (Bytes{0x65, 1, 2, 3}));
  EXPECT_EQ(sink.raw[0].second.nalType, 5);
  EXPECT_EQ(sink.raw[0].second.fragment, 1);
  EXPECT_EQ(sink.raw[0].second.rtpTimestamp, 777u);
}

TEST(RtpH264, ShortOrUnknownPacketsAreSkippedAndStapAIsSplit) {
  CollectingSink sink;
  RtpH264Depacketizer h264(H264Settings{});
  Bytes tiny = MakeRtp({0x65}, true);          // 13 bytes
  Bytes fuB = MakeRtp({0x7D, 0x85, 1}, true);  // type 29
  h264.Process(Parse(tiny), 0, sink);
  h264.Process(Parse(fuB), 0, sink);
  EXPECT_TRUE(sink.frames.empty());
  EXPECT_TRUE(sink.records.empty());

  // STAP-A with an SPS and a PPS, then a unit whose size runs past the packet.
  Bytes stap = MakeRtp({0x78, 0, 3, 0x67, 1, 2, 0, 2, 0x68, 9, 0, 50, 0x65}, true);
  h264.Process(Parse(stap), 0, sink);
  ASSERT_EQ(sink.frames.size(), 2u);
  EXPECT_EQ(sink.frames[0].bytes, (Bytes{0, 0, 0, 1, 0x67, 1, 2}));
  EXPECT_EQ(sink.frames[1].bytes, (Bytes{0, 0, 0, 1, 0x68, 9}));
  EXPECT_EQ(sink.records.size(), 2u);

  // Dropped as the device's receivers do when aggregation is not accepted.
  H264Settings strict;
  strict.acceptStapA = false;
  RtpH264Depacketizer dropping(strict);
  CollectingSink other;
  dropping.Process(Parse(stap), 0, other);
  EXPECT_TRUE(other.frames.empty());
}

TEST(RtpH264, RefusedWriteRecoversAtTheNextParameterSetWithARecreateRequest) {
  CollectingSink sink;
  RtpH264Depacketizer h264(H264Settings{});
  sink.refuseWrites = true;
  Bytes idr = MakeRtp({0x65, 1, 2}, true);
  EXPECT_FALSE(h264.Process(Parse(idr), 0, sink).recreateDecoder);
  EXPECT_FALSE(h264.ConduitOk());
  sink.refuseWrites = false;
  Bytes pps = MakeRtp({0x68, 1}, true);
  EXPECT_FALSE(h264.Process(Parse(pps), 0, sink).recreateDecoder);
  Bytes sps = MakeRtp({0x67, 1, 2}, true);
  const H264Decision d = h264.Process(Parse(sps), 0, sink);
  EXPECT_TRUE(d.recreateDecoder);
  EXPECT_EQ(sink.clears, 1);
  EXPECT_TRUE(h264.ConduitOk());
  EXPECT_FALSE(h264.Process(Parse(sps), 0, sink).recreateDecoder);
  EXPECT_EQ(sink.clears, 1);
}

// SPS at t, IDR ending at t + 400 ms on a 25 fps low-rate stream: depth ((2 x 400) / 40) / 11.
TEST(RtpH264, PreBufferDepthFromParameterSetTimingAndGuardedFrameRates) {
  auto run = [](int32_t frameRate, int32_t bitRate, uint32_t gap) {
    H264Settings s;
    s.frameRate = frameRate;
    s.bitRate = bitRate;
    RtpH264Depacketizer h264(s);
    CollectingSink sink;
    Bytes sps = MakeRtp({0x67, 1}, true);
    h264.Process(Parse(sps), 5000, sink);
    Bytes idrStart = MakeRtp({0x7C, 0x85, 1}, false);
    Bytes idrEnd = MakeRtp({0x7C, 0x45, 2}, true);
    EXPECT_FALSE(h264.Process(Parse(idrStart), 5000, sink).setPreBufferDepth);
    return h264.Process(Parse(idrEnd), 5000 + gap, sink);
  };
  H264Decision d = run(25, 1000000, 4400);
  EXPECT_TRUE(d.setPreBufferDepth);
  EXPECT_EQ(d.preBufferDepth, (2 * 4400 / 40) / 11);
  EXPECT_FALSE(run(25, 4000000, 4400).setPreBufferDepth);  // not a low-rate stream
  EXPECT_FALSE(run(0, 1000000, 4400).setPreBufferDepth);   // no frame period
  EXPECT_FALSE(run(2000, 1000000, 4400).setPreBufferDepth);
  EXPECT_EQ(run(1000, 1000000, 100).preBufferDepth, (2 * 100 / 1) / 11);
}

TEST(RtpMpeg4, MarkedShortPacketIsTheKeyPointAndTagComesFromByte3) {
  CollectingSink sink;
  Bytes config = MakeRtp(Counting(0, 30), true);
  config[12 + 3] = 0xB6;
  Bytes vop = MakeRtp(Counting(0, 200), true);
  vop[12 + 3] = 0x40;
  Bytes piece = MakeRtp(Counting(0, 100), false);
  ProcessMpeg4Packet(Parse(piece), sink);
  ProcessMpeg4Packet(Parse(config), sink);
  ProcessMpeg4Packet(Parse(vop), sink);
  ASSERT_EQ(sink.frames.size(), 2u);
  EXPECT_EQ(sink.frames[0].bytes.size(), 130u);
  EXPECT_EQ(sink.frames[0].tag, 0xB6 >> 6);
  EXPECT_EQ(sink.frames[1].tag, 1);
  ASSERT_EQ(sink.records.size(), 3u);
  EXPECT_EQ(sink.records[0].type, 0u);
  EXPECT_EQ(sink.records[1].type, 7u);
  EXPECT_TRUE(sink.records[1].keyPoint);
  EXPECT_EQ(sink.records[2].type, 0u);
  EXPECT_FALSE(sink.records[2].keyPoint);
  Bytes empty = MakeRtp({}, true);
  ProcessMpeg4Packet(Parse(empty), sink);
  EXPECT_EQ(sink.frames.size(), 2u);
}

}  // namespace
}  // namespace kv::test
