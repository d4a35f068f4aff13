// The record file readers on their own: layout recognition, trailer and scan, damaged
// trailers and units, AVI walk and seek positioning, and codec recognition.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstring>

#include "KvNetClient.h"
#include "sdk/record/avi_reader.h"
#include "sdk/record/codec_sniffer.h"
#include "sdk/record/record_reader.h"
#include "tests/support/record_writers.h"
#include "tests/support/test_streams.h"

namespace kv {
namespace {

using test::StoredStream;

StoredStream SmallH264(int pictures = 20, int key = 10) {
  test::StreamOptions o;
  o.width = 160;
  o.height = 128;
  o.pictures = pictures;
  o.keyInterval = key;
  return test::MakeH264Stream(o);
}

RecordDescription Describe(const std::vector<uint8_t>& b, bool* ok) {
  MemoryRecordInput in(b.data(), b.size());
  RecordDescription d;
  *ok = ReadRecordDescription(in, &d);
  return d;
}

TEST(ReplayReader, RecognisesEachLayoutAndRefusesOthers) {
  const StoredStream s = SmallH264();
  bool ok = false;
  RecordDescription d = Describe(test::WriteNativeBytes(s, true, VCODEC_H264), &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(d.layout, kLayoutNative);
  EXPECT_EQ(d.videoCodec, VCODEC_H264);
  EXPECT_EQ(d.width, 160);
  EXPECT_EQ(d.height, 128);
  EXPECT_EQ(d.frameRateByte, 25);

  d = Describe(test::WriteNativeBytes(s, true, VCODEC_MJPEG), &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(d.layout, kLayoutNativeMjpeg);

  d = Describe(test::WriteLegacyBytes(s, false), &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(d.layout, kLayoutLegacy);
  EXPECT_EQ(d.frameRateByte, 25);

  d = Describe(test::WriteAviBytes(s, "H264"), &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(d.layout, kLayoutAvi);
  EXPECT_EQ(d.aviRate, 25u);
  EXPECT_EQ(d.aviFrames, 20u);
  EXPECT_EQ(CodecFromFourCc(d.aviFourCc), VCODEC_H264);

  // Cut short or foreign.
  std::vector<uint8_t> native = test::WriteNativeBytes(s, true, VCODEC_H264);
  for (size_t cut : {0, 5, 11, 20, 38}) {
    Describe(std::vector<uint8_t>(native.begin(), native.begin() + cut), &ok);
    EXPECT_FALSE(ok) << "cut at " << cut;
  }
  std::vector<uint8_t> legacy = test::WriteLegacyBytes(s, false);
  Describe(std::vector<uint8_t>(legacy.begin(), legacy.begin() + 38), &ok);
  EXPECT_FALSE(ok) << "legacy head without its frame-rate byte";
  native[3] = 'X';
  Describe(native, &ok);
  EXPECT_FALSE(ok);
  std::vector<uint8_t> avi = test::WriteAviBytes(s, "H264");
  avi[340] ^= 0x20;  // maker text damaged: neither AVI nor anything else
  Describe(avi, &ok);
  EXPECT_FALSE(ok);
}

TEST(ReplayReader, FrameRateRule) {
  EXPECT_EQ(ReplayFrameRate(0), 30);
  EXPECT_EQ(ReplayFrameRate(1), 1);
  EXPECT_EQ(ReplayFrameRate(30), 30);
  EXPECT_EQ(ReplayFrameRate(31), 30);
  EXPECT_EQ(ReplayFrameRate(255), 30);
}

TEST(ReplayReader, TrailerAndScanGiveTheSameIndex) {
  const StoredStream s = SmallH264(40, 10);
  for (int layout : {kLayoutNative, kLayoutLegacy}) {
    SCOPED_TRACE(layout);
    const auto with = layout == kLayoutNative ? test::WriteNativeBytes(s, true, VCODEC_H264)
                                              : test::WriteLegacyBytes(s, true);
    const auto without = layout == kLayoutNative ? test::WriteNativeBytes(s, false, VCODEC_H264)
                                                 : test::WriteLegacyBytes(s, false);
    MemoryRecordInput a(with.data(), with.size());
    MemoryRecordInput b(without.data(), without.size());
    const IndexReadResult fromTrailer = ReadRecordIndex(a, layout);
    const IndexReadResult scanned = ReadRecordIndex(b, layout);
    EXPECT_TRUE(fromTrailer.fromTrailer);
    EXPECT_TRUE(scanned.scanned);
    ASSERT_EQ(fromTrailer.entries.size(), 4u);  // key pictures 0, 10, 20, 30
    ASSERT_EQ(fromTrailer.entries.size(), scanned.entries.size());
    for (size_t i = 0; i < scanned.entries.size(); ++i) {
      EXPECT_EQ(fromTrailer.entries[i].offset, scanned.entries[i].offset);
      EXPECT_EQ(fromTrailer.entries[i].timeStamp, scanned.entries[i].timeStamp);
    }
    EXPECT_EQ(IndexTotalSeconds(scanned.entries), 1u);  // 0 to 30 pictures at 25/s
    EXPECT_EQ(scanned.dataEnd, without.size());
    EXPECT_LT(fromTrailer.dataEnd, with.size());
    // A seek to 0 goes to the first key entry after the base: the second one.
    const IndexEntry* e = FindSeekEntry(scanned.entries, scanned.entries[0].timeStamp, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->offset, scanned.entries[1].offset);
    EXPECT_EQ(FindSeekEntry(scanned.entries, scanned.entries[0].timeStamp, 5), nullptr);
  }
}

TEST(ReplayReader, DamagedTrailersAndUnits) {
  const StoredStream s = SmallH264(20, 10);
  const std::vector<uint8_t> good = test::WriteNativeBytes(s, true, VCODEC_H264);
  auto index = [](const std::vector<uint8_t>& b) {
    MemoryRecordInput in(b.data(), b.size());
    return ReadRecordIndex(in, kLayoutNative);
  };
  // N = 0 fails.
  std::vector<uint8_t> zero = test::WriteNativeBytes(s, false, VCODEC_H264);
  zero.insert(zero.end(), {'B', 'E', 'G', 'I', 'N', 'I', 'N', 'D', 'E', 'X', 0, 0, 0, 0});
  zero.insert(zero.end(), {'E', 'N', 'D', 'I', 'N', 'D', 'E', 'X'});
  EXPECT_TRUE(index(zero).failed);
  // A count that cannot fit in the file: scanned instead.
  std::vector<uint8_t> huge = good;
  std::memset(&huge[huge.size() - 12], 0xFF, 4);
  IndexReadResult r = index(huge);
  EXPECT_FALSE(r.failed);
  EXPECT_TRUE(r.scanned);
  EXPECT_EQ(r.entries.size(), 2u);
  // Entries pointing outside the units are left out.
  std::vector<uint8_t> outside = good;
  const size_t firstEntry = outside.size() - 12 - 2 * 16;
  std::memset(&outside[firstEntry], 0xEE, 8);
  r = index(outside);
  EXPECT_TRUE(r.fromTrailer);
  ASSERT_EQ(r.entries.size(), 1u);
  // A unit whose length runs past the end stops the scan there.
  std::vector<uint8_t> cut = test::WriteNativeBytes(s, false, VCODEC_H264);
  cut.resize(cut.size() - 3);
  r = index(cut);
  EXPECT_TRUE(r.scanned);
  EXPECT_EQ(r.entries.size(), 2u);
  std::vector<uint8_t> longUnit = test::WriteNativeBytes(s, false, VCODEC_H264);
  const uint32_t word = 0u | (7u << 2) | (0xFFFFFu << 12);
  std::memcpy(&longUnit[39], &word, 4);
  r = index(longUnit);
  EXPECT_TRUE(r.entries.empty());
}

TEST(ReplayReader, AviWalkEntriesAndSeek) {
  StoredStream s = SmallH264(75, 25);  // 3 seconds, key pictures at 0, 25, 50
  // The other pictures' slices as devices write them (OpenH264 gives them the 0x61 header that
  // marks the devices' key pictures).
  for (test::StoredUnit& u : s.units) {
    if (u.kind == 0 && u.data.size() > 4 && u.data[4] == 0x61) u.data[4] = 0x41;
  }
  std::vector<uint8_t> avi = test::WriteAviBytes(s, "H264");
  MemoryRecordInput in(avi.data(), avi.size());
  AviIndexLocation loc;
  ASSERT_TRUE(LocateAviIndex(in, &loc));
  ASSERT_EQ(loc.Count(), 75u * 3);
  AviEntry e;
  ASSERT_TRUE(ReadAviEntry(in, loc, loc.p0, &e));
  EXPECT_EQ(e.kind, AviEntryKind::kVideo);
  EXPECT_TRUE(AviChunkReadable(e, avi.size(), 1 << 20));
  ASSERT_TRUE(ReadAviEntry(in, loc, loc.p0 + 16, &e));
  EXPECT_EQ(e.kind, AviEntryKind::kAudio);
  EXPECT_EQ(e.length, 320u);
  EXPECT_FALSE(ReadAviEntry(in, loc, loc.end, &e));
  EXPECT_EQ(AviEntryTime(loc.p0 + 1199, loc.p0), 0u);
  EXPECT_EQ(AviEntryTime(loc.p0 + 1200, loc.p0), 1000u);

  // Seeks land on the key picture at or before the target.
  EXPECT_EQ(FindAviSeekEntry(in, loc, 0, VCODEC_H264), 0);
  EXPECT_EQ(FindAviSeekEntry(in, loc, 1, VCODEC_H264), 75);
  EXPECT_EQ(FindAviSeekEntry(in, loc, 2, VCODEC_H264), 150);
  EXPECT_EQ(FindAviSeekEntry(in, loc, 100, VCODEC_H264), 150);  // beyond the end: the last key

  // An entry whose chunk leaves the file is not readable.
  AviEntry bad{AviEntryKind::kVideo, 0, static_cast<uint32_t>(avi.size() - 10), 100};
  EXPECT_FALSE(AviChunkReadable(bad, avi.size(), 1 << 20));
  bad.offset = 0xFFFFFFF0u;
  EXPECT_FALSE(AviChunkReadable(bad, avi.size(), 1 << 20));
  AviEntry big{AviEntryKind::kVideo, 0, 400, 2 << 20};
  EXPECT_FALSE(AviChunkReadable(big, 1u << 30, 1 << 20));

  // Chunk sizes that lead outside the file, or a fourth chunk that is not the index.
  std::vector<uint8_t> broken = avi;
  std::memset(&broken[364], 0xFF, 4);  // the movie list's size
  MemoryRecordInput b1(broken.data(), broken.size());
  EXPECT_FALSE(LocateAviIndex(b1, &loc));
  broken = avi;
  broken[352] = 8;  // the second chunk grows by 4 bytes: the walk misses the index
  MemoryRecordInput b2(broken.data(), broken.size());
  EXPECT_FALSE(LocateAviIndex(b2, &loc));
}

TEST(ReplayReader, KeyChunksAndCodecRecognition) {
  const StoredStream h264 = SmallH264(2, 10);
  // The stream starts with its parameter sets.
  EXPECT_EQ(SniffVideoCodec(h264.units[0].data.data(), h264.units[0].data.size()), VCODEC_H264);
  const std::vector<uint8_t> jpeg = test::EncodeJpeg(test::MakeTestPicture(64, 64, 1), TJSAMP_420);
  EXPECT_EQ(SniffVideoCodec(jpeg.data(), jpeg.size()), VCODEC_MJPEG);
  const test::EncodedStream mpeg4 = test::EncodeMpeg4Xvid(64, 64, 2);
  ASSERT_FALSE(mpeg4.frames.empty());
  EXPECT_EQ(SniffVideoCodec(mpeg4.frames[0].data(), mpeg4.frames[0].size()), VCODEC_MPEG4);
  const std::vector<uint8_t> noise = test::RandomBytes(64, 7);
  EXPECT_EQ(SniffVideoCodec(noise.data(), noise.size()), 0);
  EXPECT_EQ(SniffVideoCodec(nullptr, 0), 0);
  const uint8_t shortCode[] = {0, 0, 1};
  EXPECT_EQ(SniffVideoCodec(shortCode, sizeof shortCode), 0);

  const uint8_t mjpg[4] = {'m', 'j', 'p', 'g'}, xvid[4] = {'X', 'V', 'I', 'D'},
                none[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(CodecFromFourCc(mjpg), VCODEC_MJPEG);
  EXPECT_EQ(CodecFromFourCc(xvid), VCODEC_MPEG4);
  EXPECT_EQ(CodecFromFourCc(none), 0);

  // 0x61 marks a key chunk, in H.264 too.
  const uint8_t marked[] = {0, 0, 0, 1, 0x61, 0x88};
  EXPECT_TRUE(IsAviKeyChunk(marked, sizeof marked, 0));
  EXPECT_TRUE(IsAviKeyChunk(marked, sizeof marked, VCODEC_H264));
  const uint8_t pSlice[] = {0, 0, 0, 1, 0x41, 0x9A};
  EXPECT_FALSE(IsAviKeyChunk(pSlice, sizeof pSlice, VCODEC_H264));
  const uint8_t audThenSps[] = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x67, 0x42};
  EXPECT_TRUE(IsAviKeyChunk(audThenSps, sizeof audThenSps, VCODEC_H264));
  EXPECT_TRUE(IsAviKeyChunk(jpeg.data(), jpeg.size(), VCODEC_MJPEG));
}

}  // namespace
}  // namespace kv
