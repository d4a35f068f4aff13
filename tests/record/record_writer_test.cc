// The record-file writer and the recorder on their own: the file they leave is the one the
// readers read (header, units, the index trailer), a file without an index point is not kept,
// the events come in their order, and the replay source owns no recorder.
#include "sdk/record/record_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/media/buffer_conduit.h"
#include "sdk/record/record_reader.h"
#include "sdk/record/recorder.h"
#include "sdk/sources/av_source_file.h"
#include "sdk/state/client_state.h"
#include "sdk/state/event_notifier.h"
#include "tests/support/temp_dir.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// One unit: its header and its bytes.
void WriteUnit(CRecordWriter& w, uint32_t type, uint32_t stamp, const std::vector<uint8_t>& data) {
  RecordUnitHeader h;
  h.kind = kUnitVideo;
  h.type = type;
  h.length = static_cast<uint32_t>(data.size());
  h.width = 352;
  h.height = 288;
  h.timeStamp = stamp;
  uint8_t bytes[kUnitHeaderSize];
  EncodeUnitHeader(h, bytes);
  ASSERT_TRUE(w.Write(bytes, kUnitHeaderSize));
  ASSERT_TRUE(w.Write(data.data(), static_cast<uint32_t>(data.size())));
}

class RecordWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::MakeUniqueTempDir("kvnet-writer-");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(RecordWriterTest, TheFileItLeavesIsTheOneTheReaderReads) {
  const fs::path path = dir_ / "a.rec";
  RecordFileHeader header;
  header.videoCodec = VCODEC_H264;
  header.audioCodec = ACODEC_G711U;
  header.width = 352;
  header.height = 288;
  header.frameRate = 25;
  CRecordWriter w;
  ASSERT_EQ(w.Open(path.c_str(), header), CRecordWriter::OpenResult::kOpen);
  EXPECT_EQ(w.Position(), kRecordHeaderSize);
  w.AddIndex(1000);
  WriteUnit(w, 7, 1000, std::vector<uint8_t>(100, 0xAA));
  WriteUnit(w, 1, 1040, std::vector<uint8_t>(50, 0xBB));
  w.AddIndex(2000);
  w.AddIndex(2000);  // two entries without a write between them share their offset
  WriteUnit(w, 7, 2000, std::vector<uint8_t>(70, 0xCC));
  const uint64_t unitsEnd = w.Position();
  ASSERT_TRUE(w.Finish());
  EXPECT_FALSE(w.IsOpen());

  const std::vector<uint8_t> bytes = ReadAll(path);
  ASSERT_EQ(bytes.size(), unitsEnd + kIndexTrailerFixedSize + 3 * kIndexEntrySize);
  EXPECT_EQ(bytes[11], VCODEC_H264);
  EXPECT_EQ(bytes[12], ACODEC_G711U);
  EXPECT_EQ(bytes[38], 25);
  MemoryRecordInput in(bytes.data(), bytes.size());
  const IndexReadResult index = ReadRecordIndex(in, kLayoutNative);
  ASSERT_TRUE(index.fromTrailer);
  EXPECT_EQ(index.dataEnd, unitsEnd);
  ASSERT_EQ(index.entries.size(), 3u);
  const uint64_t second = kRecordHeaderSize + (kUnitHeaderSize + 100) + (kUnitHeaderSize + 50);
  EXPECT_EQ(index.entries[0].offset, kRecordHeaderSize);
  EXPECT_EQ(index.entries[0].timeStamp, 1000u);
  EXPECT_EQ(index.entries[1].offset, second);
  EXPECT_EQ(index.entries[2].offset, second);
  EXPECT_EQ(index.entries[2].timeStamp, 2000u);
  // The writer's trailer is byte for byte the one the format describes.
  const std::vector<uint8_t> trailer = EncodeIndexTrailer(w.Index());
  EXPECT_TRUE(std::equal(trailer.begin(), trailer.end(), bytes.begin() + unitsEnd));
}

TEST_F(RecordWriterTest, AFileWithoutAnIndexPointIsNotKept) {
  const fs::path finished = dir_ / "finished.rec";
  CRecordWriter w;
  ASSERT_EQ(w.Open(finished.c_str(), RecordFileHeader{}), CRecordWriter::OpenResult::kOpen);
  WriteUnit(w, 1, 40, std::vector<uint8_t>(10, 1));
  EXPECT_TRUE(w.Finish());
  EXPECT_FALSE(fs::exists(finished));

  // Abandoned with an index point: kept without its trailer, and a scan finds the unit.
  const fs::path abandoned = dir_ / "abandoned.rec";
  ASSERT_EQ(w.Open(abandoned.c_str(), RecordFileHeader{}), CRecordWriter::OpenResult::kOpen);
  w.AddIndex(500);
  WriteUnit(w, 7, 500, std::vector<uint8_t>(10, 2));
  EXPECT_TRUE(w.Abandon());
  EXPECT_FALSE(w.Abandon());
  const std::vector<uint8_t> bytes = ReadAll(abandoned);
  ASSERT_EQ(bytes.size(), kRecordHeaderSize + kUnitHeaderSize + 10);
  MemoryRecordInput in(bytes.data(), bytes.size());
  const IndexReadResult index = ReadRecordIndex(in, kLayoutNative);
  EXPECT_FALSE(index.fromTrailer);
  ASSERT_EQ(index.entries.size(), 1u);
  EXPECT_EQ(index.entries[0].timeStamp, 500u);

  // A file that cannot be created leaves nothing open; writes then change nothing.
  EXPECT_EQ(w.Open((dir_ / "missing" / "x.rec").c_str(), RecordFileHeader{}),
            CRecordWriter::OpenResult::kNotCreated);
  EXPECT_FALSE(w.IsOpen());
  const uint64_t before = w.Position();
  EXPECT_TRUE(w.Write("abc", 3));
  EXPECT_EQ(w.Position(), before);
}

class EventLog : public IEventNotifier {
 public:
  void Notify(int eventClass, int code) override { events.emplace_back(eventClass, code); }
  KVNET_HANDLE Handle() const override { return nullptr; }
  std::vector<std::pair<int, int>> events;
};

TEST_F(RecordWriterTest, RecorderStartsAndStopsItsFileWithItsEvents) {
  RecordSettings settings;
  StreamDescription stream;
  stream.videoCodec = VCODEC_MJPEG;
  stream.width = 640;
  stream.height = 480;
  stream.frameRate = 0;  // written as 30
  EventLog log;
  CRecorder alarm(CRecorder::Kind::kAlarm, settings, stream, log);
  const fs::path path = dir_ / "deep" / "folders" / "alarm.rec";
  std::snprintf(settings.alarmPath, sizeof settings.alarmPath, "%s", path.c_str());
  ASSERT_EQ(alarm.Start(), 1);  // the folders are made
  EXPECT_EQ(alarm.IsRecording(), 1);
  alarm.Lock();
  alarm.AddIndex(77);
  alarm.Write("unit", 4);
  alarm.Unlock();
  EXPECT_EQ(alarm.Index().size(), 1u);
  EXPECT_EQ(alarm.Index()[0].offset, kRecordHeaderSize);
  EXPECT_EQ(alarm.Position(), kRecordHeaderSize + 4);
  // The path may change while recording; the file closed is the one that was opened.
  std::snprintf(settings.alarmPath, sizeof settings.alarmPath, "%s", (dir_ / "other").c_str());
  EXPECT_EQ(alarm.Stop(), 1);
  EXPECT_EQ(alarm.IsRecording(), 0);
  const std::vector<uint8_t> bytes = ReadAll(path);
  ASSERT_GE(bytes.size(), kRecordHeaderSize);
  EXPECT_EQ(bytes[11], VCODEC_MJPEG);
  EXPECT_EQ(bytes[38], 30);
  EXPECT_EQ(log.events, (std::vector<std::pair<int, int>>{{KV_EVENT_RECORD, ALARM_REC_STARTED},
                                                          {KV_EVENT_RECORD, ALARM_REC_STOPPED}}));

  // A start whose folders cannot be made fails without an event.
  log.events.clear();
  CRecorder normal(CRecorder::Kind::kNormal, settings, stream, log);
  std::snprintf(settings.path, sizeof settings.path, "%s", (path / "under-a-file.rec").c_str());
  EXPECT_EQ(normal.Start(), 0);
  EXPECT_EQ(normal.IsRecording(), 0);
  EXPECT_TRUE(log.events.empty());
}

TEST(ReplaySourceRecorder, TheReplaySourceOwnsNone) {
  CNetClient client;
  client.m_self = &client;
  CBufferConduit video, audio;
  CAVSource_File source;
  source.Attach(client.SourceParts(&video, &audio));
  std::snprintf(client.m_recordSettings.path, sizeof client.m_recordSettings.path, "%s",
                (fs::temp_directory_path() / "kvnet-replay-never.rec").c_str());
  source.LockRecord();
  EXPECT_EQ(source.WriteRecord(0, "x", 1), 1);
  EXPECT_EQ(source.AddRecordIndex(1), 1);
  source.UnlockRecord();
  EXPECT_EQ(source.StartRecord(), 0);
  EXPECT_EQ(source.StartAlarmRecord(), 0);
  EXPECT_EQ(source.IsRecording(), 0);
  EXPECT_EQ(source.IsAlarmRecording(), 0);
  EXPECT_FALSE(fs::exists(fs::temp_directory_path() / "kvnet-replay-never.rec"));
}

}  // namespace
}  // namespace kv
