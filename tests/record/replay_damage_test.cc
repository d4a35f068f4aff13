// Damaged and foreign record files: KVNET_OpenFile refuses what it cannot understand, and
// whatever it opens plays to an end event without crashing or hanging.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "KvNetClient.h"
#include "tests/support/record_writers.h"
#include "tests/support/test_streams.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

std::atomic<int> gEnds{0};
void KVNET_CALL OnEvent(KVNET_HANDLE, int eventClass, int, int) {
  if (eventClass == KV_EVENT_REPLAY_END) ++gEnds;
}

class ReplayDamage : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kvnet-replay-damage-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    setenv("KVNET_AUDIO_OUT", "null", 1);
    KVNET_Startup(0, 0, OnEvent, 0);
  }
  void TearDown() override {
    KVNET_Startup(0, 0, nullptr, 0);
    unsetenv("KVNET_AUDIO_OUT");
    fs::remove_all(dir_);
  }
  // Opens the bytes; when they open, plays them fast and expects the end event. Returns
  // whether the file opened.
  bool PlayBytes(const std::vector<uint8_t>& bytes) {
    const std::string path = (dir_ / "damaged.bin").string();
    EXPECT_TRUE(test::WriteFileBytes(path, bytes));
    gEnds = 0;
    KVNET_HANDLE h = KVNET_OpenFile(path.c_str(), 0, 0);
    if (h == nullptr) return false;
    while (KVNET_SpeedFast(h) == 1) {
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (gEnds.load() == 0 && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GE(gEnds.load(), 1) << "no end of file within 10 s";
    EXPECT_LE(KVNET_ReplayCurTime(h), KVNET_ReplayTotalTime(h));
    KVNET_ReplaySeek(h, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(KVNET_CloseFile(h), 1);
    return true;
  }

  fs::path dir_;
};

test::StreamOptions Small() {
  test::StreamOptions o;
  o.width = 160;
  o.height = 128;
  o.pictures = 20;
  o.keyInterval = 5;
  return o;
}

TEST_F(ReplayDamage, FilesThatCannotBeUnderstoodAreRefused) {
  EXPECT_EQ(KVNET_OpenFile((dir_ / "missing.kv").string().c_str(), 0, 0), nullptr);
  EXPECT_FALSE(PlayBytes({}));
  EXPECT_FALSE(PlayBytes(test::RandomBytes(4096, 3)));
  const test::StoredStream s = test::MakeH264Stream(Small());
  // The maker text alone, a descriptor cut short.
  std::vector<uint8_t> native = test::WriteNativeBytes(s, true, VCODEC_H264);
  EXPECT_FALSE(PlayBytes(std::vector<uint8_t>(native.begin(), native.begin() + 30)));
  // No codec code and nothing recognisable in the units.
  test::StoredStream noise = s;
  for (auto& u : noise.units)
    if (u.kind == 0) u.data = test::RandomBytes(u.data.size(), 11);
  EXPECT_FALSE(PlayBytes(test::WriteNativeBytes(noise, false, 0)));
  EXPECT_FALSE(PlayBytes(test::WriteLegacyBytes(noise, false)));
  // An AVI whose chunk sizes lead outside the file.
  std::vector<uint8_t> avi = test::WriteAviBytes(s, "H264");
  avi.resize(avi.size() / 2);
  EXPECT_FALSE(PlayBytes(avi));
}

TEST_F(ReplayDamage, DamagedFilesOfEveryLayoutEndCleanly) {
  const test::StoredStream h264 = test::MakeH264Stream(Small());
  const test::StoredStream mjpeg = test::MakeMjpegStream(Small());
  const std::vector<std::vector<uint8_t>> files = {
      test::WriteNativeBytes(h264, true, VCODEC_H264),
      test::WriteNativeBytes(mjpeg, true, VCODEC_MJPEG),
      test::WriteLegacyBytes(h264, true),
      test::WriteAviBytes(h264, "H264"),
      test::WriteAviBytes(mjpeg, "MJPG"),
  };
  int opened = 0;
  for (size_t f = 0; f < files.size(); ++f) {
    SCOPED_TRACE(f);
    const std::vector<uint8_t>& good = files[f];
    EXPECT_TRUE(PlayBytes(good));
    // Cut at several places.
    for (size_t cut : {good.size() / 3, good.size() / 2, good.size() - 30, good.size() - 5}) {
      SCOPED_TRACE(cut);
      opened += PlayBytes(std::vector<uint8_t>(good.begin(), good.begin() + cut));
    }
    // Bytes overwritten with noise here and there (headers, lengths, index entries).
    for (uint32_t seed = 1; seed <= 3; ++seed) {
      SCOPED_TRACE(seed);
      std::vector<uint8_t> bad = good;
      const std::vector<uint8_t> noise = test::RandomBytes(64, seed);
      for (size_t i = 0; i < 16; ++i) {
        const size_t at = 39 + (noise[i * 4] | noise[i * 4 + 1] << 8 | noise[i * 4 + 2] << 16) %
                                   (bad.size() - 39);
        bad[at] = noise[i * 4 + 3];
      }
      // The last entries and counts are where lengths and offsets live.
      bad[bad.size() - 1 - seed * 7] ^= 0xA5;
      opened += PlayBytes(bad);
    }
  }
  EXPECT_GT(opened, 8);
}

TEST_F(ReplayDamage, UnitLengthsAndIndexOffsetsOutOfRange) {
  const test::StoredStream s = test::MakeH264Stream(Small());
  // A unit claiming the largest length, in a file shorter than that.
  std::vector<uint8_t> b = test::WriteNativeBytes(s, false, VCODEC_H264);
  const size_t second = 39 + 12 + s.units[0].data.size();
  b[second + 1] = 0xFF;
  b[second + 2] = 0xFF;
  b[second + 3] = 0xFF;
  EXPECT_TRUE(PlayBytes(b));
  // Index entries pointing far outside the file.
  b = test::WriteNativeBytes(s, true, VCODEC_H264);
  const uint32_t n = b[b.size() - 12];
  for (uint32_t i = 0; i < n; ++i) std::memset(&b[b.size() - 12 - 16 * (n - i) + 0], 0x7F, 8);
  EXPECT_TRUE(PlayBytes(b));
  // AVI entries whose offsets or lengths leave the file.
  b = test::WriteAviBytes(s, "H264");
  for (size_t at = b.size() - 16 * 10; at + 16 <= b.size(); at += 32) {
    std::memset(&b[at + 8], 0xF0, 4);
    std::memset(&b[at + 12 + 16], 0x7F, 4);
  }
  EXPECT_TRUE(PlayBytes(b));
}

}  // namespace
}  // namespace kv
