// Recording: the file layout read back by an independent reader, index points, durations,
// alarm extension, directory creation and write failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/platform/clock.h"
#include "sdk/record/ensure_directory.h"
#include "sdk/record/unit_recorder.h"
#include "tests/support/event_log.h"
#include "tests/support/fake_parts.h"

namespace {

namespace fs = std::filesystem;

// ---- An independent reader of the record layout ----
struct ReadUnit {
  uint64_t offset;
  int kind, type;
  uint32_t length, timeStamp;
  uint16_t width, height;
  std::vector<uint8_t> data;
};
struct ReadFile {
  std::vector<uint8_t> header;
  std::vector<ReadUnit> units;
  std::vector<std::pair<uint64_t, uint32_t>> index;
  bool trailerOk = false;
};

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

ReadFile ReadRecord(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), {});
  ReadFile f;
  if (b.size() < 39 + 22) return f;
  f.header.assign(b.begin(), b.begin() + 39);
  const size_t end = b.size();
  if (std::memcmp(&b[end - 8], "ENDINDEX", 8) != 0) return f;
  const uint32_t n = Le32(&b[end - 12]);
  const size_t begin = end - 12 - 16 * size_t{n} - 10;
  if (std::memcmp(&b[begin], "BEGININDEX", 10) != 0) return f;
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* e = &b[begin + 10 + 16 * i];
    f.index.push_back({uint64_t(Le32(e)) | uint64_t(Le32(e + 4)) << 32, Le32(e + 8)});
    if (Le32(e + 12) != 0) return f;
  }
  size_t pos = 39;
  while (pos + 12 <= begin) {
    const uint32_t word = Le32(&b[pos]);
    ReadUnit u;
    u.offset = pos;
    u.kind = word & 3;
    u.type = (word >> 2) & 15;
    u.length = word >> 12;
    u.width = uint16_t(b[pos + 4] | b[pos + 5] << 8);
    u.height = uint16_t(b[pos + 6] | b[pos + 7] << 8);
    u.timeStamp = Le32(&b[pos + 8]);
    if ((word & 0xFC0) != 0 || pos + 12 + u.length > begin) return f;
    u.data.assign(b.begin() + pos + 12, b.begin() + pos + 12 + u.length);
    f.units.push_back(u);
    pos += 12 + u.length;
  }
  f.trailerOk = pos == begin;
  return f;
}

std::vector<int> RecordCodes() { return kv::test::EventCodes(KV_EVENT_RECORD); }

class Recording : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kvnet-rec-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    KVNET_Startup(0, 0, kv::test::RecordEvent, 0);
    kv::test::ClearEvents();
    KVNET_CLIENT_PARAM p;
    std::memset(&p, 0, sizeof p);
    p.transport = TRANSPORT_UDP;
    std::strcpy(p.address, "127.0.0.1:6000");
    handle_ = KVNET_ClientStart(&p);
    ASSERT_NE(handle_, nullptr);
    client_ = kv::CNetClient::FromHandle(handle_);
    client_->m_stream.videoCodec = VCODEC_H264;
    client_->m_stream.audioCodec = ACODEC_G711U;
    client_->m_stream.width = 352;
    client_->m_stream.height = 288;
    client_->m_stream.frameRate = 0;
    client_->m_stream.deviceGeneration = 1;
  }
  void TearDown() override {
    if (handle_ != nullptr) KVNET_ClientStop(handle_);
    KVNET_Startup(0, 0, nullptr, 0);
    fs::remove_all(dir_);
  }
  kv::IRecord& recorder() { return *client_->m_source; }
  void Video(uint32_t type, std::vector<uint8_t> data, bool begins, uint32_t ts) {
    kv::VideoUnit u;
    u.data = data.data();
    u.length = static_cast<uint32_t>(data.size());
    u.type = type;
    u.beginsCodedUnit = begins;
    u.timeStamp = ts;
    kv::RecordVideoUnit(recorder(), client_->m_stream, client_->m_recordSettings, *client_, u);
  }
  std::string Path(const std::string& name) { return (dir_ / name).string(); }

  fs::path dir_;
  kv::test::ScopedFakeParts parts_;
  KVNET_HANDLE handle_ = nullptr;
  kv::CNetClient* client_ = nullptr;
};

TEST_F(Recording, FileLayoutIndexAndTrailer) {
  const std::string path = Path("a/b/c/one.kv");
  ASSERT_EQ(KVNET_ClientStartRecord(handle_, path.c_str(), 0), 1);
  Video(7, {0x67, 1, 2, 3}, true, 1000);
  Video(7, {0x68, 9}, true, 1001);
  Video(7, {0x65, 0xAA, 0xBB}, true, 1002);
  Video(1, {0x41, 5, 5}, true, 1040);
  Video(1, {6, 6, 6, 6}, false, 1041);  // continues the unit: no start code
  const uint8_t voice[] = {0x00, 0x01, 0x02, 0x00, 1, 2, 3, 4};
  kv::RecordAudioUnit(recorder(), ACODEC_G711U, voice, sizeof voice, 1050);
  Video(7, {0x67, 4}, true, 2000);
  ASSERT_EQ(KVNET_ClientStopRecord(handle_), 1);

  const ReadFile f = ReadRecord(path);
  ASSERT_TRUE(f.trailerOk);
  ASSERT_EQ(f.header.size(), 39u);
  EXPECT_EQ(std::string(f.header.begin(), f.header.begin() + 11), "Morvalinder");
  EXPECT_EQ(f.header[11], VCODEC_H264);
  EXPECT_EQ(f.header[12], ACODEC_G711U);
  EXPECT_EQ(f.header[13] | f.header[14] << 8, 352);
  EXPECT_EQ(f.header[15] | f.header[16] << 8, 288);
  EXPECT_EQ(f.header[17], 1);
  for (int i = 18; i < 38; ++i) EXPECT_EQ(f.header[i], 0) << i;
  EXPECT_EQ(f.header[38], 30);  // a frame rate of 0 is stored as 30

  ASSERT_EQ(f.units.size(), 7u);
  EXPECT_EQ(f.units[0].offset, 39u);
  EXPECT_EQ(f.units[0].data, (std::vector<uint8_t>{0, 0, 0, 1, 0x67, 1, 2, 3}));
  EXPECT_EQ(f.units[0].width, 352);
  EXPECT_EQ(f.units[4].data, (std::vector<uint8_t>{6, 6, 6, 6}));
  EXPECT_EQ(f.units[5].kind, 1);
  EXPECT_EQ(f.units[5].type, ACODEC_G711U);
  EXPECT_EQ(f.units[5].data, std::vector<uint8_t>(voice, voice + sizeof voice));
  // Index points are the type-7 unit headers with their time stamps.
  ASSERT_EQ(f.index.size(), 4u);
  const size_t keyUnits[] = {0, 1, 2, 6};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(f.index[i].first, f.units[keyUnits[i]].offset);
    EXPECT_EQ(f.index[i].second, f.units[keyUnits[i]].timeStamp);
    EXPECT_EQ(f.units[keyUnits[i]].type, 7);
  }
  EXPECT_EQ(RecordCodes(), (std::vector<int>{REC_STARTED, REC_STOPPED}));
}

// A unit in pieces with its key point given: a JPEG picture (type 10) takes an index point; one
// larger than the header's 20-bit length field is refused whole and the file stays readable.
TEST_F(Recording, PiecesWithExplicitKeyPointAndOversizeRefused) {
  const std::string path = Path("pieces.kv");
  ASSERT_EQ(KVNET_ClientStartRecord(handle_, path.c_str(), 0), 1);
  const std::vector<uint8_t> head = {0xFF, 0xD8, 1, 2};
  const std::vector<uint8_t> body = {3, 4, 5};
  kv::UnitPieces picture;
  picture.pieces[picture.count++] = {head.data(), static_cast<uint32_t>(head.size())};
  picture.pieces[picture.count++] = {body.data(), static_cast<uint32_t>(body.size())};
  picture.type = 10;
  picture.keyPoint = true;
  picture.timeStamp = 1000;
  kv::RecordVideoPieces(recorder(), client_->m_stream, client_->m_recordSettings, *client_,
                        picture);
  // 1 MiB + 1 byte: the length field would wrap and corrupt every unit after it.
  const std::vector<uint8_t> huge(0x100000, 0x55);
  kv::UnitPieces oversize = picture;
  oversize.pieces[1] = {huge.data(), static_cast<uint32_t>(huge.size())};
  oversize.timeStamp = 1040;
  kv::RecordVideoPieces(recorder(), client_->m_stream, client_->m_recordSettings, *client_,
                        oversize);
  picture.timeStamp = 1080;
  picture.keyPoint = false;
  kv::RecordVideoPieces(recorder(), client_->m_stream, client_->m_recordSettings, *client_,
                        picture);
  ASSERT_EQ(KVNET_ClientStopRecord(handle_), 1);

  const ReadFile f = ReadRecord(path);
  ASSERT_TRUE(f.trailerOk);
  ASSERT_EQ(f.units.size(), 2u);
  EXPECT_EQ(f.units[0].type, 10);
  EXPECT_EQ(f.units[0].data, (std::vector<uint8_t>{0xFF, 0xD8, 1, 2, 3, 4, 5}));
  EXPECT_EQ(f.units[1].timeStamp, 1080u);
  ASSERT_EQ(f.index.size(), 1u);
  EXPECT_EQ(f.index[0], (std::pair<uint64_t, uint32_t>{39, 1000}));
}

TEST_F(Recording, StartWhileRecordingKeepsTheFirstPathAndDuration) {
  const std::string first = Path("first.kv");
  ASSERT_EQ(KVNET_ClientStartRecord(handle_, first.c_str(), 10), 1);
  EXPECT_EQ(KVNET_ClientStartRecord(handle_, Path("second.kv").c_str(), 99), 1);
  EXPECT_STREQ(client_->m_recordSettings.path, first.c_str());
  EXPECT_EQ(client_->m_recordSettings.duration.load(), 10000u);
  EXPECT_FALSE(fs::exists(Path("second.kv")));
  EXPECT_EQ(KVNET_ClientStopRecord(handle_), 1);
  EXPECT_EQ(KVNET_ClientStopRecord(handle_), 1);  // not recording: nothing to do
}

TEST_F(Recording, BadPathsFail) {
  EXPECT_EQ(KVNET_ClientStartRecord(handle_, nullptr, 0), 0);
  EXPECT_EQ(KVNET_ClientStartRecord(handle_, "", 0), 0);
  EXPECT_EQ(KVNET_ClientStartRecord(handle_, "bare-name.kv", 0), 0);  // no folder named
  std::ofstream(Path("plain")) << "x";
  EXPECT_EQ(KVNET_ClientStartRecord(handle_, Path("plain/x.kv").c_str(), 0), 0);
  const std::string tooLong = dir_.string() + "/" + std::string(300, 'n');
  EXPECT_EQ(KVNET_ClientStartRecord(handle_, tooLong.c_str(), 0), 0);
  EXPECT_EQ(client_->m_source->IsRecording(), 0);
  EXPECT_TRUE(RecordCodes().empty());
}

TEST_F(Recording, AudioOnlyRecordingIsDeleted) {
  const std::string path = Path("audio-only.kv");
  ASSERT_EQ(KVNET_ClientStartRecord(handle_, path.c_str(), 0), 1);
  const uint8_t voice[] = {0x00, 0x01, 0x01, 0x00, 7, 7};
  kv::RecordAudioUnit(recorder(), ACODEC_G711A, voice, sizeof voice, 5);
  Video(1, {0x41, 1}, true, 6);
  ASSERT_EQ(KVNET_ClientStopRecord(handle_), 1);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(RecordCodes(), (std::vector<int>{REC_STARTED, REC_STOPPED}));
}

TEST_F(Recording, DurationRunsOutBeforeAVideoUnit) {
  const std::string path = Path("timed.kv");
  ASSERT_EQ(KVNET_ClientStartRecord(handle_, path.c_str(), 10), 1);
  Video(7, {0x67}, true, 1);
  // Pretend the recording began 10.001 s ago: the next unit is not written.
  client_->m_recordSettings.start = kv::platform::GetTickCount() - 10001;
  Video(7, {0x67, 2}, true, 2);
  EXPECT_EQ(client_->m_source->IsRecording(), 0);
  const ReadFile f = ReadRecord(path);
  ASSERT_TRUE(f.trailerOk);
  EXPECT_EQ(f.units.size(), 1u);
  EXPECT_EQ(RecordCodes(), (std::vector<int>{REC_STARTED, REC_STOPPED, REC_TIME_UP}));
}

// The client's recorder as the unit writer sees it, with a seam: the first look at the
// recording flag first runs `beforeFirstLook`, standing in for the caller's thread acting just
// as a unit comes in.
class SeamRecorder : public kv::IRecord {
 public:
  SeamRecorder(kv::IRecord& inner, std::function<void()> beforeFirstLook)
      : inner_(inner), beforeFirstLook_(std::move(beforeFirstLook)) {}
  int IsRecording() override {
    if (beforeFirstLook_) std::exchange(beforeFirstLook_, nullptr)();
    return inner_.IsRecording();
  }
  int IsAlarmRecording() override { return inner_.IsAlarmRecording(); }
  void LockRecord() override { inner_.LockRecord(); }
  void UnlockRecord() override { inner_.UnlockRecord(); }
  int WriteRecord(int r, const void* d, uint32_t n) override { return inner_.WriteRecord(r, d, n); }
  int AddRecordIndex(uint32_t t) override { return inner_.AddRecordIndex(t); }
  int AddAlarmIndex(uint32_t t) override { return inner_.AddAlarmIndex(t); }
  void LockAlarmRecord() override { inner_.LockAlarmRecord(); }
  void UnlockAlarmRecord() override { inner_.UnlockAlarmRecord(); }
  int WriteAlarmRecord(int r, const void* d, uint32_t n) override {
    return inner_.WriteAlarmRecord(r, d, n);
  }
  int StartRecord() override { return inner_.StartRecord(); }
  int StopRecord() override { return inner_.StopRecord(); }
  int StartAlarmRecord() override { return inner_.StartAlarmRecord(); }
  int StopAlarmRecord() override { return inner_.StopAlarmRecord(); }

 private:
  kv::IRecord& inner_;
  std::function<void()> beforeFirstLook_;
};

TEST_F(Recording, ARestartJustBeforeAUnitIsJudgedByTheNewRecordingsLimits) {
  const std::string first = Path("first.kv");
  const std::string second = Path("second.kv");
  ASSERT_EQ(KVNET_ClientStartRecord(handle_, first.c_str(), 10), 1);
  Video(7, {0x67}, true, 1);
  // The first recording's 10 s are up when the next unit arrives, and just then the caller
  // stops it and starts a new one without a limit.
  client_->m_recordSettings.start = kv::platform::GetTickCount() - 10001;
  SeamRecorder seam(recorder(), [&] {
    EXPECT_EQ(KVNET_ClientStopRecord(handle_), 1);
    EXPECT_EQ(KVNET_ClientStartRecord(handle_, second.c_str(), 0), 1);
  });
  const std::vector<uint8_t> key = {0x67, 2};
  kv::VideoUnit u;
  u.data = key.data();
  u.length = static_cast<uint32_t>(key.size());
  u.type = 7;
  u.beginsCodedUnit = true;
  u.timeStamp = 2;
  kv::RecordVideoUnit(seam, client_->m_stream, client_->m_recordSettings, *client_, u);

  EXPECT_EQ(client_->m_source->IsRecording(), 1) << "the new recording was stopped";
  ASSERT_EQ(KVNET_ClientStopRecord(handle_), 1);
  EXPECT_EQ(ReadRecord(first).units.size(), 1u);
  const ReadFile f = ReadRecord(second);
  ASSERT_TRUE(f.trailerOk);
  ASSERT_EQ(f.units.size(), 1u);
  EXPECT_EQ(f.units[0].timeStamp, 2u);
  EXPECT_EQ(RecordCodes(), (std::vector<int>{REC_STARTED, REC_STOPPED, REC_STARTED, REC_STOPPED}));
}

// A time-up stop held up in the middle (its file is a pipe the test has not read) while the
// caller starts the next recording: the start waits for the stop, the stop removes the
// index-less file it closed, and the new recording is kept.
TEST_F(Recording, AStartDuringATimeUpStopWaitsAndTheStopRemovesItsOwnFile) {
  const std::string slow = Path("slow.kv");
  const std::string next = Path("next.kv");
  ASSERT_EQ(::mkfifo(slow.c_str(), 0600), 0);
  const int reader = ::open(slow.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const int capacity = ::fcntl(reader, F_GETPIPE_SZ);
  ASSERT_GT(capacity, 1024);
  ASSERT_EQ(KVNET_ClientStartRecord(handle_, slow.c_str(), 1), 1);
  // A unit (no index point) that leaves one byte free in the pipe: the stop's trailer blocks.
  Video(1, std::vector<uint8_t>(static_cast<size_t>(capacity) - 39 - 16 - 1, 0x41), true, 1);
  std::thread source([&] {
    client_->m_recordSettings.start = kv::platform::GetTickCount() - 1001;
    Video(1, {0x41, 2}, true, 2);  // the second is up: stopped, held up writing the trailer
  });
  while (client_->m_source->IsRecording() != 0) std::this_thread::yield();
  int started = -1;
  std::thread caller([&] { started = KVNET_ClientStartRecord(handle_, next.c_str(), 0); });
  // Time for the caller to get as far as it can before the stop goes on.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  char bytes[4096];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    const ssize_t n = ::read(reader, bytes, sizeof bytes);
    if (n == 0 || std::chrono::steady_clock::now() > deadline) break;  // the stop closed it
    if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  source.join();
  caller.join();
  ::close(reader);
  EXPECT_FALSE(fs::exists(slow)) << "the stop did not remove the file it closed";
  EXPECT_EQ(started, 1);
  EXPECT_EQ(client_->m_source->IsRecording(), 1);
  EXPECT_TRUE(fs::exists(next)) << "the new recording was removed";
  EXPECT_STREQ(client_->m_recordSettings.path, next.c_str());
  EXPECT_EQ(KVNET_ClientStopRecord(handle_), 1);
  EXPECT_EQ(RecordCodes(),
            (std::vector<int>{REC_STARTED, REC_STOPPED, REC_TIME_UP, REC_STARTED, REC_STOPPED}));
}

// A stop removes the index-less file it closed even when the client's path field was changed
// while it was open.
TEST_F(Recording, AStopRemovesTheFileItClosedNotTheOneThePathNamesNow) {
  const std::string opened = Path("opened.kv");
  const std::string other = Path("other.kv");
  std::ofstream(other) << "someone else's file";
  ASSERT_EQ(KVNET_ClientStartRecord(handle_, opened.c_str(), 0), 1);
  std::snprintf(client_->m_recordSettings.path, sizeof client_->m_recordSettings.path, "%s",
                other.c_str());
  ASSERT_EQ(KVNET_ClientStopRecord(handle_), 1);
  EXPECT_FALSE(fs::exists(opened));
  EXPECT_TRUE(fs::exists(other));
}

TEST_F(Recording, AlarmExtensionIsCappedAtThirtyMinutes) {
  const std::string path = Path("alarm/a.kv");
  ASSERT_EQ(KVNET_ClientStartAlarmRecord(handle_, path.c_str(), 60), 1);
  EXPECT_EQ(client_->m_recordSettings.alarmDuration.load(), 60000u);
  // 25 minutes into the alarm, another minute is asked for: capped at 30 minutes in all.
  client_->m_recordSettings.alarmStart = kv::platform::GetTickCount() - 25u * 60u * 1000u;
  EXPECT_EQ(KVNET_ClientStartAlarmRecord(handle_, "ignored", 60 * 60), 1);
  EXPECT_EQ(client_->m_recordSettings.alarmDuration.load(), 1800000u);
  // A short extension adds to the time already elapsed.
  client_->m_recordSettings.alarmStart = kv::platform::GetTickCount() - 5000u;
  ASSERT_EQ(KVNET_ClientStartAlarmRecord(handle_, "ignored", 20), 1);
  EXPECT_GE(client_->m_recordSettings.alarmDuration.load(), 25000u);
  EXPECT_LT(client_->m_recordSettings.alarmDuration.load(), 26000u);

  // Both files run at once and time out on their own.
  ASSERT_EQ(KVNET_ClientStartRecord(handle_, Path("n.kv").c_str(), 0), 1);
  Video(7, {0x67}, true, 1);
  client_->m_recordSettings.alarmStart = kv::platform::GetTickCount() - 30000u;
  Video(7, {0x67}, true, 2);
  EXPECT_EQ(client_->m_source->IsAlarmRecording(), 0);
  EXPECT_EQ(client_->m_source->IsRecording(), 1);
  EXPECT_EQ(ReadRecord(path).units.size(), 1u);
  EXPECT_EQ(KVNET_ClientStopAlarmRecord(handle_), 1);
  ASSERT_EQ(KVNET_ClientStopRecord(handle_), 1);
  EXPECT_EQ(ReadRecord(Path("n.kv")).units.size(), 2u);
  EXPECT_EQ(RecordCodes(), (std::vector<int>{ALARM_REC_STARTED, REC_STARTED, ALARM_REC_STOPPED,
                                             ALARM_REC_TIME_UP, REC_STOPPED}));
}

TEST_F(Recording, ClientStopClosesBothFiles) {
  ASSERT_EQ(KVNET_ClientStartRecord(handle_, Path("s1.kv").c_str(), 0), 1);
  ASSERT_EQ(KVNET_ClientStartAlarmRecord(handle_, Path("s2.kv").c_str(), 0), 1);
  Video(7, {0x67}, true, 1);
  EXPECT_EQ(KVNET_ClientStop(handle_), 1);
  handle_ = nullptr;
  EXPECT_TRUE(ReadRecord(Path("s1.kv")).trailerOk);
  EXPECT_TRUE(ReadRecord(Path("s2.kv")).trailerOk);
}

TEST_F(Recording, WriteFailureEndsTheRecordingAndReportsIt) {
  // A full device: writes fail once the stream's buffer is flushed.
  const std::string path = Path("full.kv");
  fs::create_symlink("/dev/full", path);
  ASSERT_EQ(KVNET_ClientStartRecord(handle_, path.c_str(), 0), 1);
  std::vector<uint8_t> big(64 * 1024, 0x11);
  for (int i = 0; i < 8 && client_->m_source->IsRecording(); ++i) Video(7, big, true, i);
  EXPECT_EQ(client_->m_source->IsRecording(), 0);
  EXPECT_EQ(RecordCodes(), (std::vector<int>{REC_STARTED, REC_STOPPED}));
  EXPECT_EQ(KVNET_ClientStopRecord(handle_), 1);  // already ended and reported
  EXPECT_TRUE(fs::is_symlink(path));              // the device itself is never removed

  // A trailer that cannot be written makes the stop report failure.
  const std::string late = Path("late.kv");
  fs::create_symlink("/dev/full", late);
  ASSERT_EQ(KVNET_ClientStartRecord(handle_, late.c_str(), 0), 1);
  Video(7, {0x67}, true, 1);
  EXPECT_EQ(KVNET_ClientStopRecord(handle_), 0);
}

TEST(EnsureDirectory, CreatesLevelsAndRejectsWhatIsNoFolder) {
  const fs::path base = fs::temp_directory_path() / ("kvnet-ed-" + std::to_string(getpid()));
  fs::remove_all(base);
  EXPECT_EQ(kv::EnsureDirectory(nullptr), 0);
  EXPECT_EQ(kv::EnsureDirectory("file-without-folder.kv"), 0);
  EXPECT_NE(kv::EnsureDirectory((base / "x/y/z/file.kv").c_str()), 0);
  EXPECT_TRUE(fs::is_directory(base / "x/y/z"));
  EXPECT_NE(kv::EnsureDirectory((base / "x/y/z/other.kv").c_str()), 0);
  std::ofstream(base / "x/blocker") << "x";
  EXPECT_EQ(kv::EnsureDirectory((base / "x/blocker/f.kv").c_str()), 0);
  EXPECT_EQ(kv::EnsureDirectory((base / "x/blocker/deeper/f.kv").c_str()), 0);

  // A relative path gets its first folder created too.
  const fs::path cwd = fs::current_path();
  fs::current_path(base);
  EXPECT_NE(kv::EnsureDirectory("rel1/rel2/f.kv"), 0);
  EXPECT_TRUE(fs::is_directory(base / "rel1/rel2"));
  fs::current_path(cwd);
  fs::remove_all(base);
}

}  // namespace
