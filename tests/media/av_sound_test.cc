// The audio player: it plays exactly the conduit's bytes in 800-byte buffers, stops cleanly
// while priming, while all buffers are queued, when the stop message cannot be posted and
// when the device cannot be opened, and plays nothing stale after the sound is switched off.
#include "sdk/media/av_sound.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/media/buffer_conduit.h"
#include "sdk/platform/clock.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kGuardMs = 5000;
constexpr size_t kWavHeader = 44;

std::vector<uint8_t> readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t{b[at + 3]} << 24);
}

// Distinct bytes per 800-byte buffer, so that order, loss and repeats all show.
std::vector<uint8_t> audio(size_t buffers, uint8_t tag) {
  std::vector<uint8_t> bytes(buffers * 800);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>((i / 800) * 17 + (i % 251) + tag * 101);
  }
  return bytes;
}

// Counts its stop-message posts and can refuse them all.
class TestSound : public CAVSound {
 public:
  TestSound(CNetClient* client, CIConduit* conduit, bool refusePosts)
      : CAVSound(client != nullptr ? &client->m_sound : nullptr, conduit),
        refusePosts_(refusePosts) {}
  ~TestSound() override {
    if (HasHandle()) Stop();
  }
  std::atomic<int> posts{0};

 protected:
  bool PostStopMessage(platform::ThreadId thread) override {
    posts.fetch_add(1);
    return !refusePosts_ && CAVSound::PostStopMessage(thread);
  }

 private:
  bool refusePosts_;
};

class AVSoundTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kvnet_av_sound_" + std::to_string(platform::CurrentThreadId()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    wav_ = dir_ / "played.wav";
    ASSERT_TRUE(conduit_.Create(131072, false, 8192, false));
    client_.m_audioConduit = &conduit_;
  }
  void TearDown() override {
    sound_.reset();
    unsetenv("KVNET_AUDIO_OUT");
    fs::remove_all(dir_);
  }

  // Starts a player on the given device text ("wav" or "wavfast" write into wav_).
  void start(const std::string& device, bool refusePosts = false) {
    const std::string text =
        device == "wav" || device == "wavfast" ? device + ":" + wav_.string() : device;
    ASSERT_EQ(setenv("KVNET_AUDIO_OUT", text.c_str(), 1), 0);
    sound_ = std::make_unique<TestSound>(&client_, &conduit_, refusePosts);
    ASSERT_EQ(sound_->PrepareBuffers(), 1);
    ASSERT_EQ(sound_->StartThread(), 0);
  }

  void write(const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(conduit_.Write(bytes.data(), static_cast<int32_t>(bytes.size()), 0, 0, 0));
  }

  // The played bytes so far (the WAV output is flushed per buffer).
  std::vector<uint8_t> played() {
    std::vector<uint8_t> file = readFile(wav_);
    if (file.size() < kWavHeader) return {};
    return {file.begin() + kWavHeader, file.end()};
  }

  // Waits until the player has handed at least bytes to the device.
  bool waitPlayed(size_t bytes) {
    for (uint32_t waited = 0; waited < kGuardMs; waited += 5) {
      if (played().size() >= bytes) return true;
      platform::Sleep(5);
    }
    return false;
  }

  // A finished file: the header's sizes agree with the data.
  void expectFinalised() {
    const std::vector<uint8_t> file = readFile(wav_);
    ASSERT_GE(file.size(), kWavHeader);
    EXPECT_EQ(le32(file, 40), file.size() - kWavHeader);
    EXPECT_EQ(le32(file, 4), file.size() - 8);
  }

  fs::path dir_;
  fs::path wav_;
  CBufferConduit conduit_;
  CNetClient client_;
  std::unique_ptr<TestSound> sound_;
};

bool isPrefix(const std::vector<uint8_t>& part, const std::vector<uint8_t>& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

TEST_F(AVSoundTest, PlaysExactlyTheConduitBytesInWholeBuffersWithoutPadding) {
  start("wavfast");
  const std::vector<uint8_t> first = audio(40, 1);
  write(first);
  // 300 more bytes cannot fill a buffer and must never be played or padded.
  write(std::vector<uint8_t>(300, 0x5A));
  ASSERT_TRUE(waitPlayed(first.size()));
  const std::vector<uint8_t> second = audio(3, 2);
  // Completes the 300 bytes into a buffer; the rest stays short of another one.
  std::vector<uint8_t> topUp(second.begin(), second.begin() + 500);
  write(topUp);
  ASSERT_TRUE(waitPlayed(first.size() + 800));
  sound_->Stop();

  std::vector<uint8_t> expected = first;
  expected.insert(expected.end(), 300, 0x5A);
  expected.insert(expected.end(), topUp.begin(), topUp.end());
  EXPECT_EQ(played(), expected);
  expectFinalised();
  EXPECT_EQ(client_.m_sound.ended.load(), 1);
  EXPECT_EQ(conduit_.GetDataSize(), 0);  // cleared at the end
  EXPECT_EQ(sound_->posts.load(), 1);
}

TEST_F(AVSoundTest, StopWithAllSixteenBuffersQueuedReturnsAfterTheDeviceClosed) {
  start("wav");  // real time: sixteen buffers are 800 ms of sound
  const std::vector<uint8_t> bytes = audio(16, 3);
  write(bytes);
  for (uint32_t waited = 0; waited < kGuardMs && conduit_.GetDataSize() > 0; waited += 2) {
    platform::Sleep(2);
  }
  ASSERT_EQ(conduit_.GetDataSize(), 0);  // all sixteen were taken for priming
  sound_->Stop();
  EXPECT_FALSE(sound_->IsRunning());
  // The device is closed only after every queued buffer came back: the file is finished.
  expectFinalised();
  const std::vector<uint8_t> out = played();
  EXPECT_EQ(out.size() % 800, 0u);
  EXPECT_LT(out.size(), bytes.size());  // the reset cut playback short
  EXPECT_TRUE(isPrefix(out, bytes));
  EXPECT_EQ(client_.m_sound.ended.load(), 1);
}

TEST_F(AVSoundTest, StopWhilePrimingEndsThePendingFill) {
  start("wavfast");
  const std::vector<uint8_t> bytes = audio(3, 4);
  write(bytes);
  ASSERT_TRUE(waitPlayed(bytes.size()));
  // The player now waits in the fill of its fourth buffer.
  EXPECT_TRUE(sound_->IsRunning());
  const uint32_t before = platform::GetTickCount();
  sound_->Stop();
  EXPECT_LT(platform::GetTickCount() - before, 2000u);  // failure guard only
  EXPECT_FALSE(sound_->IsRunning());
  EXPECT_EQ(played(), bytes);
  expectFinalised();
  EXPECT_EQ(client_.m_sound.ended.load(), 1);
}

TEST_F(AVSoundTest, StopBeforeAnyDataClosesWithNothingPlayed) {
  start("wavfast");
  sound_->Stop();
  EXPECT_FALSE(sound_->IsRunning());
  EXPECT_TRUE(played().empty());
  expectFinalised();
  EXPECT_EQ(client_.m_sound.ended.load(), 1);
}

TEST_F(AVSoundTest, DeviceThatCannotOpenEndsTheThreadAtOnce) {
  write(audio(2, 5));
  start("alsa:nonexistent_device");
  ASSERT_EQ(sound_->WaitForEnd(kGuardMs), platform::kWaitObject0);
  EXPECT_EQ(client_.m_sound.ended.load(), 1);
  EXPECT_EQ(conduit_.GetDataSize(), 0);
  sound_->Stop();
  EXPECT_EQ(sound_->posts.load(), 0);  // nothing to tell a thread that has ended
}

TEST_F(AVSoundTest, StopMessageThatCannotBePostedStillEndsPlayback) {
  start("wav", /*refusePosts=*/true);
  write(audio(16, 6));
  for (uint32_t waited = 0; waited < kGuardMs && conduit_.GetDataSize() > 0; waited += 2) {
    platform::Sleep(2);
  }
  sound_->Stop();
  // Tried at most six times; the thread may notice the stop flag and end before the last.
  EXPECT_GE(sound_->posts.load(), 1);
  EXPECT_LE(sound_->posts.load(), 1 + CAVSound::kStopPostRetries);
  EXPECT_FALSE(sound_->IsRunning());
  expectFinalised();
  EXPECT_EQ(played().size() % 800, 0u);
  EXPECT_EQ(client_.m_sound.ended.load(), 1);
}

TEST_F(AVSoundTest, AbortedConduitDoesNotHoldUpTheStop) {
  start("wavfast");
  conduit_.Abort();  // the client aborts the conduits before stopping the player
  platform::Sleep(20);
  sound_->Stop();
  EXPECT_FALSE(sound_->IsRunning());
  expectFinalised();
}

TEST_F(AVSoundTest, SoundSwitchedOffAndOnPlaysOnlyWhatCameAfterwards) {
  const KVNET_HANDLE handle = reinterpret_cast<KVNET_HANDLE>(&client_);
  start("wav");
  ASSERT_EQ(KVNET_ClientPlayAudio(handle), 1);
  EXPECT_EQ(client_.m_sound.on.load(), 1);
  // Sixteen buffers go to the device, ten wait in the conduit.
  const std::vector<uint8_t> stale = audio(26, 7);
  write(stale);
  ASSERT_TRUE(waitPlayed(800));
  ASSERT_EQ(KVNET_ClientStopAudio(handle), 1);
  EXPECT_EQ(client_.m_sound.on.load(), 0);
  EXPECT_EQ(conduit_.GetDataSize(), 0);
  ASSERT_EQ(KVNET_ClientPlayAudio(handle), 1);
  const std::vector<uint8_t> fresh = audio(4, 8);
  write(fresh);

  std::vector<uint8_t> out;
  for (uint32_t waited = 0; waited < kGuardMs; waited += 10) {
    out = played();
    if (out.size() >= fresh.size() &&
        std::equal(fresh.begin(), fresh.end(), out.end() - static_cast<long>(fresh.size()))) {
      break;
    }
    platform::Sleep(10);
  }
  sound_->Stop();
  out = played();
  ASSERT_GE(out.size(), fresh.size());
  const std::vector<uint8_t> before(out.begin(), out.end() - static_cast<long>(fresh.size()));
  const std::vector<uint8_t> after(out.end() - static_cast<long>(fresh.size()), out.end());
  EXPECT_EQ(after, fresh);
  EXPECT_TRUE(isPrefix(before, stale));
  EXPECT_LT(before.size(), stale.size());  // the waiting part was dropped
  EXPECT_EQ(before.size() % 800, 0u);
}

}  // namespace
}  // namespace kv
