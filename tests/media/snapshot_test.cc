// Snapshots through the public interface on replay clients: KVNET_ClientCapturePicture's checks,
// the folders it creates, a capture while paused (the picture on show, within the pause loop's
// period), a capture of a playing replay once the view returns, MJPEG frames saved byte for
// byte, a file that cannot be opened, and ffprobe reading what was written.
#include <cairo.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "KvNetClient.h"
#include "sdk/media/snapshot_writer.h"
#include "sdk/platform/headless_window.h"
#include "sdk/platform/surface_headless.h"
#include "sdk/platform/window_system.h"
#include "tests/support/jpeg_inspect.h"
#include "tests/support/record_writers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_streams.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::atomic<int> gDraws{0};

int KVNET_CALL CountDraw(KVNET_HANDLE, void*, void*) {
  ++gDraws;
  return 0;
}

// Polls every 5 ms until done() holds; false after guardMs.
bool WaitFor(const std::function<bool()>& done, int guardMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(guardMs);
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A file that exists, ends with EOI and no longer grows.
bool Complete(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return false;
  const std::vector<uint8_t> bytes = test::ReadFileBytes(path.string());
  return bytes.size() > 4 && bytes[bytes.size() - 2] == 0xFF && bytes.back() == 0xD9;
}

// The number written into the picture, read from a snapshot decoded by libjpeg-turbo.
int NumberIn(const fs::path& path) {
  test::Planes444 planes;
  const std::vector<uint8_t> bytes = test::ReadFileBytes(path.string());
  if (!test::DecodeWithTurbo(bytes, &planes)) return -2;
  return test::ReadPictureNumber(planes.y.data(), planes.width, planes.width, planes.height);
}

test::StreamOptions Options(int pictures, int key) {
  test::StreamOptions o;
  o.width = 160;
  o.height = 128;
  o.pictures = pictures;
  o.keyInterval = key;
  o.audio = false;
  return o;
}

class Snapshot : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::MakeUniqueTempDir("kvnet-snapshot-");
    ASSERT_FALSE(dir_.empty());
    setenv("KVNET_AUDIO_OUT", "null", 1);
    saved_ =
        platform::ReplaceWindowSystemForTest(std::make_unique<platform::HeadlessWindowSystem>());
    platform::HeadlessDisplay::Get().Reset();
    platform::HeadlessDisplay::Get().SetFixedScanLine(1070);
    KVNET_Startup(0, 0, nullptr, 0);
    KVNET_SetDrawCallback(CountDraw);
    gDraws = 0;
  }
  void TearDown() override {
    if (handle_ != nullptr) KVNET_CloseFile(handle_);
    KVNET_SetDrawCallback(nullptr);
    platform::HeadlessDisplay::Get().Reset();
    platform::ReplaceWindowSystemForTest(std::move(saved_));
    unsetenv("KVNET_AUDIO_OUT");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Writes the stream as a record file and opens it in a 160 x 128 window.
  void Open(const test::StoredStream& s, int paused) {
    const std::string path = (dir_ / "replay.kv").string();
    ASSERT_TRUE(test::WriteFileBytes(path, test::WriteNativeBytes(s, true, s.videoCodec)));
    const uint32_t window =
        platform::GetHeadlessWindowSystem()->CreateWindow(0, 0, s.width, s.height, true);
    handle_ = KVNET_OpenFile(path.c_str(), window, paused);
    ASSERT_NE(handle_, nullptr);
  }

  fs::path dir_;
  std::unique_ptr<platform::WindowSystem> saved_;
  KVNET_HANDLE handle_ = nullptr;
};

TEST_F(Snapshot, RequestsAreCheckedBeforeTheyAreStored) {
  ASSERT_NO_FATAL_FAILURE(Open(test::MakeH264Stream(Options(10, 5)), 1));
  EXPECT_EQ(KVNET_ClientCapturePicture(nullptr, (dir_ / "a.jpg").c_str()), 0);
  EXPECT_EQ(KVNET_ClientCapturePicture(handle_, nullptr), 0);
  EXPECT_EQ(KVNET_ClientCapturePicture(handle_, ""), 0);
  // No separator: no folder to make sure of.
  EXPECT_EQ(KVNET_ClientCapturePicture(handle_, "bare.jpg"), 0);
  // A folder on the way is a file.
  ASSERT_TRUE(test::WriteFileBytes((dir_ / "plain").string(), {1}));
  EXPECT_EQ(KVNET_ClientCapturePicture(handle_, (dir_ / "plain" / "x.jpg").c_str()), 0);

  // 255 characters fit the field; 256 are refused whole (nothing is cut or created).
  const fs::path deep = dir_ / "d";
  std::string fits = (deep / "").string();
  fits += std::string(255 - fits.size() - 4, 'f') + ".jpg";
  ASSERT_EQ(fits.size(), 255u);
  std::string tooLong = (dir_ / "long" / "").string();
  tooLong += std::string(256 - tooLong.size() - 4, 'g') + ".jpg";
  ASSERT_EQ(tooLong.size(), 256u);
  EXPECT_EQ(KVNET_ClientCapturePicture(handle_, tooLong.c_str()), 0);
  EXPECT_FALSE(fs::exists(dir_ / "long"));
  EXPECT_EQ(KVNET_ClientCapturePicture(handle_, fits.c_str()), 1);
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_TRUE(WaitFor([&] { return Complete(fits); }, 3000));
}

TEST_F(Snapshot, PausedReplayIsCapturedWithinThePausePeriod) {
  ASSERT_NO_FATAL_FAILURE(Open(test::MakeH264Stream(Options(25, 5)), 1));
  ASSERT_TRUE(WaitFor([] { return gDraws.load() >= 1; }, 8000));
  // Nothing else is shown while paused, however long it stays so.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  ASSERT_EQ(gDraws.load(), 1);

  // The folders are created; the file comes from the pause loop, which looks every 100 ms.
  const fs::path file = dir_ / "shots" / "paused" / "first.jpg";
  const Clock::time_point asked = Clock::now();
  ASSERT_EQ(KVNET_ClientCapturePicture(handle_, file.c_str()), 1);
  EXPECT_TRUE(fs::is_directory(file.parent_path()));
  ASSERT_TRUE(WaitFor([&] { return Complete(file); }, 1000)) << "no file within 1 s";
  const auto latency =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count();
  RecordProperty("paused_capture_ms", static_cast<int>(latency));
  EXPECT_EQ(gDraws.load(), 1) << "the capture must not let a picture through";
  EXPECT_EQ(NumberIn(file), 0);
  EXPECT_EQ(test::ProbeImage(file.string()), "mjpeg,160,128,yuvj444p");

  // A path that cannot be opened drops that request only; the next one is served.
  fs::create_directories(dir_ / "adir");
  ASSERT_EQ(KVNET_ClientCapturePicture(handle_, (dir_ / "adir" / "").c_str()), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const fs::path again = dir_ / "again.jpg";
  ASSERT_EQ(KVNET_ClientCapturePicture(handle_, again.c_str()), 1);
  EXPECT_TRUE(WaitFor([&] { return Complete(again); }, 1000));
  EXPECT_EQ(NumberIn(again), 0);
}

TEST_F(Snapshot, RequestWaitsForTheViewAndALaterPathReplacesAnEarlierOne) {
  // 100 pictures at 25 per second, a key picture every 5: four seconds of replay.
  ASSERT_NO_FATAL_FAILURE(Open(test::MakeH264Stream(Options(100, 5)), 0));
  ASSERT_TRUE(WaitFor([] { return gDraws.load() >= 2; }, 8000));
  ASSERT_EQ(KVNET_ClientStopView(handle_), 1);
  const fs::path first = dir_ / "first.jpg";
  const fs::path second = dir_ / "second.jpg";
  ASSERT_EQ(KVNET_ClientCapturePicture(handle_, first.c_str()), 1);
  ASSERT_EQ(KVNET_ClientCapturePicture(handle_, second.c_str()), 1);
  // No picture is decoded while the view is off, so nothing is saved.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(fs::exists(first));
  EXPECT_FALSE(fs::exists(second));
  const int shown = gDraws.load();
  ASSERT_EQ(KVNET_ClientStartView(handle_), 1);
  ASSERT_TRUE(WaitFor([&] { return Complete(second); }, 8000));
  EXPECT_FALSE(fs::exists(first));
  EXPECT_GT(gDraws.load(), shown);
  const int number = NumberIn(second);
  EXPECT_GE(number, 2);
  EXPECT_LT(number, 100);
}

TEST_F(Snapshot, APausedReplayWithTheViewOffSavesOnlyOnceTheViewIsBack) {
  ASSERT_NO_FATAL_FAILURE(Open(test::MakeH264Stream(Options(25, 5)), 1));
  ASSERT_TRUE(WaitFor([] { return gDraws.load() >= 1; }, 8000));
  ASSERT_EQ(KVNET_ClientStopView(handle_), 1);
  const fs::path file = dir_ / "held.jpg";
  ASSERT_EQ(KVNET_ClientCapturePicture(handle_, file.c_str()), 1);
  // The pause loop looks every 100 ms; with the view off nothing is on show to save.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_FALSE(fs::exists(file));
  ASSERT_EQ(KVNET_ClientStartView(handle_), 1);
  ASSERT_TRUE(WaitFor([&] { return Complete(file); }, 3000));
  EXPECT_EQ(NumberIn(file), 0);
  EXPECT_EQ(gDraws.load(), 1) << "the capture must not let a picture through";
}

TEST_F(Snapshot, MjpegFramesAreSavedAsTheyCame) {
  const test::StoredStream s = test::MakeMjpegStream(Options(50, 1));
  ASSERT_NO_FATAL_FAILURE(Open(s, 1));
  ASSERT_TRUE(WaitFor([] { return gDraws.load() >= 1; }, 8000));
  const fs::path paused = dir_ / "paused.jpg";
  ASSERT_EQ(KVNET_ClientCapturePicture(handle_, paused.c_str()), 1);
  ASSERT_TRUE(WaitFor([&] { return Complete(paused); }, 1000));
  EXPECT_TRUE(test::ReadFileBytes(paused.string()) == s.units[0].data);

  // Playing: the file is one of the frames, byte for byte.
  ASSERT_EQ(KVNET_ReplayContinue(handle_), 1);
  ASSERT_TRUE(WaitFor([] { return gDraws.load() >= 5; }, 8000));
  const fs::path playing = dir_ / "playing.jpg";
  ASSERT_EQ(KVNET_ClientCapturePicture(handle_, playing.c_str()), 1);
  ASSERT_TRUE(WaitFor([&] { return Complete(playing); }, 8000));
  const std::vector<uint8_t> saved = test::ReadFileBytes(playing.string());
  bool found = false;
  for (size_t i = 1; i < s.units.size() && !found; ++i) found = saved == s.units[i].data;
  EXPECT_TRUE(found) << "the saved file is none of the frames";
  EXPECT_EQ(test::ProbeImage(playing.string()), "mjpeg,160,128,yuvj420p");
}

TEST(SnapshotWriterTest, WritesWholeFilesOrNothing) {
  const fs::path dir = test::MakeUniqueTempDir("kvnet-snapshot-writer-");
  ASSERT_FALSE(dir.empty());
  const test::PlanarPicture p = test::MakeNaturalPicture(64, 48, 1);
  SnapshotPicture picture{p.y.data(), p.u.data(), p.v.data(), p.yStride, p.uvStride, 64, 48};

  const fs::path encoded = dir / "encoded.jpg";
  ASSERT_TRUE(SaveSnapshot(encoded.c_str(), picture));
  test::Planes444 planes;
  EXPECT_TRUE(test::DecodeWithTurbo(test::ReadFileBytes(encoded.string()), &planes));

  // A frame given as compressed bytes is written as it is.
  const std::vector<uint8_t> frame = {0xFF, 0xD8, 1, 2, 3, 0xFF, 0xD9};
  SnapshotPicture mjpeg = picture;
  mjpeg.jpeg = frame.data();
  mjpeg.jpegLength = frame.size();
  const fs::path passed = dir / "frame.jpg";
  ASSERT_TRUE(SaveSnapshot(passed.c_str(), mjpeg));
  EXPECT_EQ(test::ReadFileBytes(passed.string()), frame);

  // A picture that cannot be encoded leaves the file that was there.
  SnapshotPicture broken = picture;
  broken.width = 0;
  EXPECT_FALSE(SaveSnapshot(encoded.c_str(), broken));
  EXPECT_TRUE(test::DecodeWithTurbo(test::ReadFileBytes(encoded.string()), &planes));
  EXPECT_FALSE(SaveSnapshot((dir / "missing" / "x.jpg").c_str(), picture));
  EXPECT_FALSE(SaveSnapshot("", picture));
  fs::remove_all(dir);

  // A write that fails is reported; a device is never removed for it.
  if (fs::is_character_file("/dev/full")) {
    EXPECT_FALSE(SaveSnapshot("/dev/full", picture));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
  }
}

}  // namespace
}  // namespace kv
