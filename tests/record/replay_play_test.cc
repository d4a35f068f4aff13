// Replay of record files end to end through KVNET_OpenFile: every layout plays to the end
// with the expected pictures and sound, the end event, seeking, pause, step, speed levels,
// files without a trailer or key frames, and damaged files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/media/pacing.h"
#include "sdk/platform/headless_window.h"
#include "sdk/platform/surface_headless.h"
#include "sdk/platform/window_system.h"
#include "tests/support/drawn_picture.h"
#include "tests/support/record_writers.h"
#include "tests/support/test_streams.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using test::StoredStream;

struct Seen {
  std::mutex mutex;
  std::vector<int> pictures;
  std::vector<Clock::time_point> times;
  std::vector<uint32_t> pacingTimes;  // the pacing clock's time at each picture
  int ends = 0;
};
Seen gSeen;

// Reads the picture number from what was just drawn into the window's back surface.
int KVNET_CALL OnDraw(KVNET_HANDLE, void* dc, void*) {
  const int number = test::ReadDrawnPictureNumber(dc);
  if (number == -2) return 0;
  std::lock_guard<std::mutex> lock(gSeen.mutex);
  gSeen.pictures.push_back(number);
  gSeen.times.push_back(Clock::now());
  gSeen.pacingTimes.push_back(PacingNow());
  return 0;
}

void KVNET_CALL OnEvent(KVNET_HANDLE, int eventClass, int code, int user) {
  if (eventClass != KV_EVENT_REPLAY_END) return;
  EXPECT_EQ(code, 0);
  EXPECT_EQ(user, 0);
  std::lock_guard<std::mutex> lock(gSeen.mutex);
  ++gSeen.ends;
}

class Replay : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kvnet-replay-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    wav_ = (dir_ / "out.wav").string();
    setenv("KVNET_AUDIO_OUT", ("wavfast:" + wav_).c_str(), 1);
    saved_ =
        platform::ReplaceWindowSystemForTest(std::make_unique<platform::HeadlessWindowSystem>());
    platform::HeadlessDisplay::Get().Reset();
    // The raster stays below the windows, so drawing never waits for a blank.
    platform::HeadlessDisplay::Get().SetFixedScanLine(1070);
    KVNET_Startup(0, 0, OnEvent, 0);
    KVNET_SetDrawCallback(OnDraw);
    Reset();
  }
  void TearDown() override {
    Close();
    SetPacingTimerForTest(nullptr);
    KVNET_SetDrawCallback(nullptr);
    KVNET_Startup(0, 0, nullptr, 0);
    platform::HeadlessDisplay::Get().Reset();
    platform::ReplaceWindowSystemForTest(std::move(saved_));
    unsetenv("KVNET_AUDIO_OUT");
    fs::remove_all(dir_);
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(gSeen.mutex);
    gSeen.pictures.clear();
    gSeen.times.clear();
    gSeen.pacingTimes.clear();
    gSeen.ends = 0;
  }
  std::string Path(const std::string& name) { return (dir_ / name).string(); }
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string p = Path(name);
    EXPECT_TRUE(test::WriteFileBytes(p, bytes));
    return p;
  }
  KVNET_HANDLE Open(const std::string& path, int width, int height, int paused = 0) {
    Close();
    Reset();
    auto* windows = platform::GetHeadlessWindowSystem();
    const uint32_t window = windows->CreateWindow(0, 0, width, height, true);
    handle_ = KVNET_OpenFile(path.c_str(), window, paused);
    return handle_;
  }
  void Close() {
    if (handle_ != nullptr) KVNET_CloseFile(handle_);
    handle_ = nullptr;
  }
  CNetClient* client() { return CNetClient::FromHandle(handle_); }
  std::vector<int> Pictures() {
    std::lock_guard<std::mutex> lock(gSeen.mutex);
    return gSeen.pictures;
  }
  int Ends() {
    std::lock_guard<std::mutex> lock(gSeen.mutex);
    return gSeen.ends;
  }
  // Polls pred every 10 ms for up to ms milliseconds (a failure guard only).
  static bool WaitFor(const std::function<bool()>& pred, int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
      if (Clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  static void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  // Every picture once, in order, from first to last.
  static void ExpectRun(const std::vector<int>& got, int first, int last) {
    ASSERT_FALSE(got.empty());
    std::vector<int> want;
    for (int i = first; i <= last; ++i) want.push_back(i);
    EXPECT_EQ(got, want);
  }
  // The WAV output is the start of the expected sound and lacks at most the player's last
  // partial block.
  void ExpectSound(const std::vector<int16_t>& expected) {
    Close();
    const std::vector<int16_t> got = test::ReadWavSamples(wav_);
    ASSERT_GE(got.size() + 400, expected.size());
    ASSERT_LE(got.size(), expected.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin()));
  }
  void PlayToEnd(int last) {
    ASSERT_TRUE(WaitFor(
        [&] { return Ends() >= 1 && !Pictures().empty() && Pictures().back() == last; }, 15000))
        << "pictures " << Pictures().size() << ", ends " << Ends();
  }

  fs::path dir_;
  std::string wav_;
  std::unique_ptr<platform::WindowSystem> saved_;
  // Installed by the tests that count pacing decisions; outlives the replay (TearDown).
  // Sleeps a real millisecond on each pacing sleep, so the replay does not run far ahead.
  test::VirtualPacingTimer pacingTimer_{1};
  KVNET_HANDLE handle_ = nullptr;
};

test::StreamOptions Options(int pictures, int key, int rate = 25) {
  test::StreamOptions o;
  o.width = 160;
  o.height = 128;
  o.pictures = pictures;
  o.keyInterval = key;
  o.frameRate = rate;
  return o;
}

TEST_F(Replay, NativeFromTheRecorderPlaysToTheEndWithItsSound) {
  const StoredStream s = test::MakeH264Stream(Options(50, 25));
  const std::string path = Path("native.kv");
  ASSERT_TRUE(test::RecordWithRecorder(s, path));
  ASSERT_NE(Open(path, 160, 128), nullptr);
  EXPECT_EQ(KVNET_ReplayTotalTime(handle_), 1u);  // key pictures 0 and 25
  KVNET_VIDEO_INFO info{};
  KVNET_GetClientParam(handle_, &info);
  EXPECT_EQ(info.videoCodec, VCODEC_H264);
  EXPECT_EQ(info.audioCodec, ACODEC_G711U);
  EXPECT_EQ(info.width, 160);
  EXPECT_EQ(info.frameRate, 25);
  bool within = true;
  WaitFor(
      [&] {
        within = within && KVNET_ReplayCurTime(handle_) <= KVNET_ReplayTotalTime(handle_);
        return Ends() >= 1 && !Pictures().empty() && Pictures().back() == 49;
      },
      15000);
  EXPECT_TRUE(within);
  ExpectRun(Pictures(), 0, 49);
  Sleep(300);
  EXPECT_EQ(Ends(), 1);  // once per arrival at the end
  ExpectSound(s.pcm);
}

TEST_F(Replay, MjpegFromTheRecorderPlaysToTheEndWithItsSound) {
  const StoredStream s = test::MakeMjpegStream(Options(30, 1));
  const std::string path = Path("mjpeg.kv");
  ASSERT_TRUE(test::RecordWithRecorder(s, path));
  ASSERT_NE(Open(path, 160, 128), nullptr);
  PlayToEnd(29);
  ExpectRun(Pictures(), 0, 29);
  ExpectSound(s.pcm);
}

TEST_F(Replay, LegacyFilesWithAndWithoutTrailerPlay) {
  const StoredStream s = test::MakeH264Stream(Options(30, 10));
  for (bool trailer : {true, false}) {
    SCOPED_TRACE(trailer);
    ASSERT_NE(Open(Write("legacy.dat", test::WriteLegacyBytes(s, trailer)), 160, 128), nullptr);
    PlayToEnd(29);
    ExpectRun(Pictures(), 0, 29);
    EXPECT_EQ(KVNET_ReplayTotalTime(handle_), 0u);  // keys at 0, 10, 20: 800 ms
    ExpectSound(s.pcm);
  }
}

TEST_F(Replay, AviFilesPlayWithTheirSound) {
  const StoredStream h264 = test::MakeH264Stream(Options(30, 10));
  const StoredStream mjpeg = test::MakeMjpegStream(Options(30, 1));
  struct Case {
    const StoredStream* s;
    const char* fourcc;
  } cases[] = {{&h264, "H264"}, {&mjpeg, "MJPG"}, {&h264, "\0\0\0\0"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fourcc);
    ASSERT_NE(Open(Write("clip.avi", test::WriteAviBytes(*c.s, c.fourcc)), 160, 128), nullptr);
    EXPECT_EQ(KVNET_ReplayTotalTime(handle_), 1u);  // 30 frames at 25/s
    PlayToEnd(29);
    ExpectRun(Pictures(), 0, 29);
    ExpectSound(c.s->pcm);
  }
}

TEST_F(Replay, FileOfAKilledRecorderOpensByScanningAndPlays) {
  const StoredStream s = test::MakeH264Stream(Options(60, 25));
  const std::string path = Path("killed.kv");
  ASSERT_TRUE(test::RecordWithRecorder(s, path));
  std::vector<uint8_t> b = test::ReadFileBytes(path);
  const uint32_t n = b[b.size() - 12];
  b.resize(b.size() - 22 - 16 * n - 7);  // no trailer, the last unit cut short
  ASSERT_NE(Open(Write("killed2.kv", b), 160, 128), nullptr);
  EXPECT_EQ(KVNET_ReplayTotalTime(handle_), 2u);  // keys at 0, 25, 50
  ASSERT_TRUE(WaitFor([&] { return Ends() >= 1; }, 15000));
  Sleep(300);
  const std::vector<int> got = Pictures();
  ASSERT_GE(got.size(), 55u);
  ExpectRun(got, 0, got.back());
}

TEST_F(Replay, SeekAfterTheEndPlaysFromTheNextKeyAndEndsAgain) {
  const StoredStream s = test::MakeH264Stream(Options(50, 25));
  ASSERT_NE(Open(Write("seek.kv", test::WriteNativeBytes(s, true, VCODEC_H264)), 160, 128),
            nullptr);
  PlayToEnd(49);
  Reset();
  // A seek to 0 goes to the first key picture after the base: the second one.
  EXPECT_EQ(KVNET_ReplaySeek(handle_, 0), 1);
  PlayToEnd(49);
  ExpectRun(Pictures(), 25, 49);
  EXPECT_LE(KVNET_ReplayCurTime(handle_), KVNET_ReplayTotalTime(handle_));
  // Beyond the end: the target becomes the total, and no key picture lies after it.
  Reset();
  EXPECT_EQ(KVNET_ReplaySeek(handle_, 1000), 1);
  Sleep(400);
  EXPECT_TRUE(Pictures().empty());
  EXPECT_EQ(Ends(), 0);
  EXPECT_EQ(KVNET_ReplayCurTime(handle_), 1u);
}

// Devices mark every datagram piece of a key picture as key, so the recorder takes an index
// entry for each piece; here the key slice of picture 25 is stored as three such pieces 1 ms
// apart, and the seek target falls between the first and the second.
TEST_F(Replay, SeekBetweenThePiecesOfAKeyPictureStartsAtItsFirstPiece) {
  StoredStream s = test::MakeH264Stream(Options(50, 25));
  const auto key = std::find_if(s.units.begin(), s.units.end(), [](const test::StoredUnit& u) {
    return u.kind == 0 && u.picture == 25;
  });
  ASSERT_NE(key, s.units.end());
  ASSERT_EQ(key->type, 5u);
  ASSERT_EQ(key->timeStamp, 101000u);
  const std::vector<uint8_t> slice = key->data;
  ASSERT_GT(slice.size(), 60u);
  std::vector<test::StoredUnit> pieces;
  const size_t cuts[] = {0, slice.size() / 3, 2 * slice.size() / 3, slice.size()};
  for (int p = 0; p < 3; ++p) {
    test::StoredUnit piece;
    piece.kind = 0;
    piece.type = 7;
    piece.picture = 25;
    piece.timeStamp = 101000 + static_cast<uint32_t>(p);
    piece.data.assign(slice.begin() + static_cast<std::ptrdiff_t>(cuts[p]),
                      slice.begin() + static_cast<std::ptrdiff_t>(cuts[p + 1]));
    pieces.push_back(std::move(piece));
  }
  // Only the first piece may look like the start of a coded unit.
  for (int p = 1; p < 3; ++p) {
    const std::vector<uint8_t>& d = pieces[static_cast<size_t>(p)].data;
    ASSERT_FALSE(d[0] == 0 && d[1] == 0 && (d[2] == 1 || (d[2] == 0 && d[3] == 1)));
  }
  const auto at = s.units.erase(key);
  s.units.insert(at, pieces.begin(), pieces.end());

  ASSERT_NE(Open(Write("pieces.kv", test::WriteNativeBytes(s, true, VCODEC_H264)), 160, 128),
            nullptr);
  PlayToEnd(49);
  ExpectRun(Pictures(), 0, 49);  // in play the pieces make the whole key picture
  Reset();
  // The first entry after 1 s is the second piece; the replay starts at the first.
  EXPECT_EQ(KVNET_ReplaySeek(handle_, 1), 1);
  PlayToEnd(49);
  ExpectRun(Pictures(), 25, 49);
}

TEST_F(Replay, AviSeekStartsAtAKeyPicture) {
  const StoredStream s = test::MakeH264Stream(Options(75, 25));
  ASSERT_NE(Open(Write("seek.avi", test::WriteAviBytes(s, "H264")), 160, 128), nullptr);
  PlayToEnd(74);
  Reset();
  EXPECT_EQ(KVNET_ReplaySeek(handle_, 1), 1);
  PlayToEnd(74);
  ExpectRun(Pictures(), 25, 74);
}

TEST_F(Replay, StartPausedShowsTheFirstPictureAndStepLetsOneThroughEachTime) {
  const StoredStream s = test::MakeH264Stream(Options(50, 25));
  ASSERT_NE(Open(Write("step.kv", test::WriteNativeBytes(s, true, VCODEC_H264)), 160, 128, 1),
            nullptr);
  ASSERT_TRUE(WaitFor([&] { return Pictures().size() == 1; }, 5000));
  Sleep(500);
  EXPECT_EQ(Pictures(), std::vector<int>{0});  // pause holds
  for (int step = 1; step <= 3; ++step) {
    EXPECT_EQ(KVNET_ReplayStepByStep(handle_), 1);
    ASSERT_TRUE(WaitFor([&] { return Pictures().size() == static_cast<size_t>(step + 1); }, 5000));
    Sleep(300);
    ExpectRun(Pictures(), 0, step);
  }
  EXPECT_EQ(KVNET_ReplayContinue(handle_), 1);
  PlayToEnd(49);
  ExpectRun(Pictures(), 0, 49);
}

TEST_F(Replay, SeekWhilePausedShowsOnePictureFromTheNewPlaceAndStaysPaused) {
  const StoredStream s = test::MakeH264Stream(Options(100, 25));
  ASSERT_NE(Open(Write("pause.kv", test::WriteNativeBytes(s, true, VCODEC_H264)), 160, 128, 1),
            nullptr);
  ASSERT_TRUE(WaitFor([&] { return Pictures().size() == 1; }, 5000));
  EXPECT_EQ(KVNET_ReplaySeek(handle_, 1), 1);  // first key after 1 s: picture 50
  ASSERT_TRUE(WaitFor([&] { return Pictures().size() == 2; }, 5000));
  Sleep(500);
  EXPECT_EQ(Pictures(), (std::vector<int>{0, 50}));
  EXPECT_EQ(KVNET_ReplayCurTime(handle_), 2u);
  EXPECT_EQ(KVNET_ReplayContinue(handle_), 1);
  PlayToEnd(99);
  const std::vector<int> all = Pictures();
  ExpectRun(std::vector<int>(all.begin() + 1, all.end()), 50, 99);
}

TEST_F(Replay, ASeekWithNowhereToGoLeavesThePausedPictureAndItsPosition) {
  const StoredStream s = test::MakeH264Stream(Options(100, 50));
  ASSERT_NE(Open(Write("nowhere.kv", test::WriteNativeBytes(s, true, VCODEC_H264)), 160, 128, 1),
            nullptr);
  ASSERT_TRUE(WaitFor([&] { return Pictures().size() == 1; }, 5000));
  // The last key picture is at 2 s: nothing lies after the end, so the seek does not move.
  const unsigned total = KVNET_ReplayTotalTime(handle_);
  ASSERT_EQ(total, 2u);
  // By now the source has filled the conduit and waits to write the next picture.
  Sleep(300);
  EXPECT_EQ(KVNET_ReplaySeek(handle_, total), 1);
  ASSERT_TRUE(WaitFor([&] { return client()->m_replayControl.seekPending.load() == 0; }, 5000));
  Sleep(500);
  EXPECT_EQ(Pictures(), std::vector<int>{0});
  EXPECT_EQ(KVNET_ReplayCurTime(handle_), 0u);
  EXPECT_EQ(KVNET_ReplayContinue(handle_), 1);
  PlayToEnd(99);
  ExpectRun(Pictures(), 0, 99);
}

TEST_F(Replay, SpeedLevelsScaleThePictureRate) {
  SetPacingTimerForTest(&pacingTimer_);
  const StoredStream s = test::MakeH264Stream(Options(400, 50, 10));
  ASSERT_NE(Open(Write("speed.kv", test::WriteNativeBytes(s, true, VCODEC_H264)), 160, 128),
            nullptr);
  EXPECT_EQ(KVNET_SpeedSlow(handle_), 1);
  EXPECT_EQ(KVNET_SpeedSlow(handle_), 1);
  EXPECT_EQ(KVNET_SpeedSlow(handle_), 1);
  EXPECT_EQ(KVNET_SpeedSlow(handle_), 1);
  EXPECT_EQ(KVNET_SpeedSlow(handle_), 0);  // -4 is the slowest
  EXPECT_EQ(KVNET_SpeedNormal(handle_), 1);
  // Every picture shown after the level changed is paced at 10 x 2^level pictures a second:
  // eight intervals add up to eight times 100 / 2^level ms (whole milliseconds, rounded down
  // on the clock's count), each within a millisecond of it.
  auto expectLevel = [&](int level) {
    SCOPED_TRACE("level " + std::to_string(level));
    ASSERT_EQ(client()->m_replayControl.speed.load(), level);
    // Pictures drawn from now on pace at the new level; the one before may not.
    const size_t drawn = Pictures().size();
    constexpr size_t kIntervals = 8;
    ASSERT_TRUE(WaitFor([&] { return Pictures().size() >= drawn + 1 + kIntervals; }, 15000));
    std::lock_guard<std::mutex> lock(gSeen.mutex);
    const double exact = 100.0 / std::pow(2.0, level);
    uint32_t sum = 0;
    for (size_t i = drawn + 1; i <= drawn + kIntervals; ++i) {
      const uint32_t interval = gSeen.pacingTimes[i] - gSeen.pacingTimes[i - 1];
      EXPECT_GE(interval, std::floor(exact)) << "picture " << gSeen.pictures[i];
      EXPECT_LE(interval, std::ceil(exact)) << "picture " << gSeen.pictures[i];
      sum += interval;
    }
    EXPECT_EQ(sum, static_cast<uint32_t>(std::floor(kIntervals * exact)));
  };
  expectLevel(0);
  EXPECT_EQ(KVNET_SpeedSlow(handle_), 1);
  expectLevel(-1);
  KVNET_SpeedNormal(handle_);
  for (int level = 1; level <= 4; ++level) {
    EXPECT_EQ(KVNET_SpeedFast(handle_), 1);
    expectLevel(level);
  }
  EXPECT_EQ(KVNET_SpeedFast(handle_), 0);  // 4 is the fastest
  Close();
  const std::vector<int> all = Pictures();
  ExpectRun(all, 0, static_cast<int>(all.size()) - 1);
}

TEST_F(Replay, AudioOnlyAtNormalSpeed) {
  const StoredStream s = test::MakeH264Stream(Options(50, 25));
  const std::string path = Write("audio.kv", test::WriteNativeBytes(s, true, VCODEC_H264));
  ASSERT_NE(Open(path, 160, 128, 1), nullptr);
  EXPECT_EQ(KVNET_SpeedFast(handle_), 1);
  EXPECT_EQ(KVNET_ReplayContinue(handle_), 1);
  PlayToEnd(49);
  Close();
  // Only what was queued while the first picture waited in the pause can have played.
  EXPECT_LT(test::ReadWavSamples(wav_).size(), s.pcm.size() / 3);
  // Audio switched off at normal speed: nothing either.
  fs::remove(wav_);
  ASSERT_NE(Open(path, 160, 128, 1), nullptr);
  client()->m_sound.on = 0;
  EXPECT_EQ(KVNET_ReplayContinue(handle_), 1);
  PlayToEnd(49);
  Close();
  EXPECT_LT(test::ReadWavSamples(wav_).size(), s.pcm.size() / 3);
}

TEST_F(Replay, FileWithoutKeyPicturesPlaysButCannotSeek) {
  StoredStream s = test::MakeMjpegStream(Options(20, 1));
  for (auto& u : s.units)
    if (u.kind == 0) u.type = 1;
  // A trailer without a single entry makes the file unplayable...
  EXPECT_EQ(Open(Write("nokey.kv", test::WriteNativeBytes(s, true, VCODEC_MJPEG)), 160, 128),
            nullptr);
  // ...without a trailer the file is scanned and plays.
  ASSERT_NE(Open(Write("nokey2.kv", test::WriteNativeBytes(s, false, VCODEC_MJPEG)), 160, 128),
            nullptr);
  EXPECT_EQ(KVNET_ReplayTotalTime(handle_), 0u);
  EXPECT_EQ(KVNET_ReplaySeek(handle_, 1), 0);
  PlayToEnd(19);
  ExpectRun(Pictures(), 0, 19);
}

}  // namespace
}  // namespace kv
