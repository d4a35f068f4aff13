// The replay source driven on the test's own thread (no decode worker): every AVI index entry
// is visited, the unit scan keeps a key unit that ends at the very end of the data, the seek
// steps back only over pieces of one picture, and AVI seeks accept the devices' 0x61 key
// pictures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/record/avi_reader.h"
#include "sdk/record/record_reader.h"
#include "sdk/sources/av_source_file.h"
#include "tests/support/record_writers.h"
#include "tests/support/recording_conduit.h"
#include "tests/support/temp_dir.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using test::RecordingConduit;
using test::StoredStream;
using test::StoredUnit;

// A replay client whose file source is read step by step into recording conduits.
class SteppedReplay : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = test::MakeUniqueTempDir("kvnet-walk-"); }
  void TearDown() override {
    source_.reset();
    fs::remove_all(dir_);
  }
  bool Open(const std::vector<uint8_t>& bytes) {
    const std::string path = (dir_ / "file").string();
    if (!test::WriteFileBytes(path, bytes)) return false;
    if (!client_.InitReplay(path.c_str(), 0)) return false;
    client_.m_audioOn = 1;
    video_.Create(0, false, 0, true);
    audio_.Create(0, false, 0, false);
    source_ = std::make_unique<CAVSource_File>();
    source_->Attach(&client_, &video_, &audio_);
    return source_->OpenReader() == 1;
  }
  void Seek(uint32_t seconds) {
    client_.m_seekTarget = seconds;
    client_.m_seekPending = 1;
  }

  fs::path dir_;
  CNetClient client_;
  RecordingConduit video_, audio_;
  std::unique_ptr<CAVSource_File> source_;
};

test::StreamOptions Options(int pictures, int key) {
  test::StreamOptions o;
  o.width = 160;
  o.height = 128;
  o.pictures = pictures;
  o.keyInterval = key;
  return o;
}

std::vector<uint8_t> Pcm(const StoredStream& s) {
  std::vector<uint8_t> b(s.pcm.size() * 2);
  std::memcpy(b.data(), s.pcm.data(), b.size());
  return b;
}

TEST_F(SteppedReplay, TheAviWalkVisitsEveryIndexEntry) {
  const StoredStream s = test::MakeH264Stream(Options(30, 10));
  const std::vector<uint8_t> avi = test::WriteAviBytes(s, "H264");
  // The writer ends the index with the last picture's sound.
  MemoryRecordInput in(avi.data(), avi.size());
  AviIndexLocation loc;
  ASSERT_TRUE(LocateAviIndex(in, &loc));
  AviEntry last;
  ASSERT_TRUE(ReadAviEntry(in, loc, loc.end - kAviEntrySize, &last));
  ASSERT_EQ(last.kind, AviEntryKind::kAudio);

  ASSERT_TRUE(Open(avi));
  const size_t steps = source_->ReadSteps(100000);
  EXPECT_EQ(steps, loc.Count() + 1);  // every entry, then the end
  EXPECT_EQ(video_.frames.size(), 30u);
  // Every sample of every sound chunk, the last one included.
  EXPECT_EQ(audio_.bytes, Pcm(s));
}

TEST_F(SteppedReplay, AScanKeepsAKeyUnitEndingAtTheEndOfTheData) {
  // No trailer, and the last unit is a key unit whose data ends with the file.
  StoredStream s = test::MakeH264Stream(Options(12, 5));
  s.units.erase(std::remove_if(s.units.begin(), s.units.end(),
                               [](const StoredUnit& u) { return u.kind == 1; }),
                s.units.end());
  StoredUnit key;
  key.type = 7;
  key.data = {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1E};
  key.timeStamp = s.units.back().timeStamp + 1000;
  s.units.push_back(key);
  const std::vector<uint8_t> bytes = test::WriteNativeBytes(s, false, VCODEC_H264);
  MemoryRecordInput in(bytes.data(), bytes.size());
  const IndexReadResult index = ReadRecordIndex(in, kLayoutNative);
  ASSERT_TRUE(index.scanned);
  ASSERT_FALSE(index.entries.empty());
  EXPECT_EQ(index.entries.back().offset, bytes.size() - 12 - key.data.size());
  EXPECT_EQ(index.entries.back().timeStamp, key.timeStamp);
}

// A native file of hand-made units: every piece of a key picture is a type-7 unit with its own
// index entry; only the first piece of each picture carries a start code.
struct Piece {
  bool begins;
  uint32_t time;
};
std::vector<uint8_t> PiecesFile(const std::vector<Piece>& pieces) {
  StoredStream s;
  s.videoCodec = VCODEC_H264;
  s.width = 160;
  s.height = 128;
  for (size_t i = 0; i < pieces.size(); ++i) {
    StoredUnit u;
    u.type = 7;
    u.timeStamp = pieces[i].time;
    if (pieces[i].begins) u.data = {0, 0, 0, 1, 0x67};
    u.data.push_back(static_cast<uint8_t>(0x10 + i));  // names the piece
    u.data.push_back(0xEE);
    s.units.push_back(u);
  }
  return test::WriteNativeBytes(s, true, VCODEC_H264);
}
// The piece the replay read first after the seek (by the byte that names it).
int FirstPieceAfterSeek(const RecordingConduit& video) {
  for (size_t i = 0; i < video.sinceClear.size(); ++i) {
    if (video.sinceClear[i] >= 0x10 && video.sinceClear[i] < 0x20) {
      return video.sinceClear[i] - 0x10;
    }
  }
  return -1;
}

TEST_F(SteppedReplay, ASeekKeepsTheEntryFoundWhenNoPictureStartIsWithinASecond) {
  // Piece 1 starts a picture 1.1 s before piece 3; pieces 2 and 3 continue something whose
  // beginning is not within that second.
  ASSERT_TRUE(Open(PiecesFile(
      {{true, 100000}, {true, 101400}, {false, 102000}, {false, 102500}, {true, 104000}})));
  Seek(2);  // the first entry after 102,000 ms is piece 3
  source_->ReadSteps(2);
  ASSERT_EQ(video_.clears, 1);
  EXPECT_EQ(FirstPieceAfterSeek(video_), 3);
}

TEST_F(SteppedReplay, ASeekStepsBackToAPictureThatStartsAtTheFirstEntry) {
  ASSERT_TRUE(Open(PiecesFile({{true, 100000}, {false, 100010}, {false, 100020}, {true, 102000}})));
  Seek(0);  // the first entry after the base is piece 1, a continuation of piece 0
  source_->ReadSteps(2);
  ASSERT_EQ(video_.clears, 1);
  EXPECT_EQ(FirstPieceAfterSeek(video_), 0);
}

// An AVI as the devices write it: key pictures are single 0x61 slices (non-IDR reference
// slices, no parameter sets in front), the other pictures 0x41 slices. The stream's one IDR
// picture with its parameter sets opens the file.
std::vector<uint8_t> MarkedAvi(int pictures, int keyEvery) {
  StoredStream s = test::MakeH264Stream(Options(pictures, 1000));
  for (StoredUnit& u : s.units) {
    if (u.kind != 0 || u.data.size() < 5 || u.picture <= 0) continue;
    u.data[4] = (u.picture % keyEvery == 0) ? 0x61 : 0x41;
  }
  return test::WriteAviBytes(s, "H264");
}

TEST_F(SteppedReplay, AviSeeksStartAtTheDevicesMarkedKeyPictures) {
  const std::vector<uint8_t> avi = MarkedAvi(75, 25);
  MemoryRecordInput in(avi.data(), avi.size());
  AviIndexLocation loc;
  ASSERT_TRUE(LocateAviIndex(in, &loc));
  // Three entries a picture: pictures 25 and 50 are entries 75 and 150.
  EXPECT_EQ(FindAviSeekEntry(in, loc, 1, VCODEC_H264), 75);
  EXPECT_EQ(FindAviSeekEntry(in, loc, 2, VCODEC_H264), 150);
  EXPECT_EQ(FindAviSeekEntry(in, loc, 0, VCODEC_H264), 0);  // the IDR picture still counts

  ASSERT_TRUE(Open(avi));
  source_->ReadSteps(30);
  Seek(2);
  source_->ReadSteps(1);
  ASSERT_EQ(video_.clears, 1);
  ASSERT_GE(video_.sinceClear.size(), 5u);
  EXPECT_EQ(video_.sinceClear[4], 0x61);
  EXPECT_EQ(video_.frames.back().timestamp, 2000);
}

}  // namespace
}  // namespace kv
