// Wave-out devices: queue order, DONE and CLOSE notifications, reset and the refusals while
// buffers are queued, device choice, and the WAV and ALSA backends' output bytes.
#include "sdk/platform/wave_out.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sdk/platform/event.h"
#include "sdk/platform/thread_messages.h"

namespace kv::platform {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kGuardMs = 5000;

std::vector<uint8_t> readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t{b[at + 3]} << 24);
}

std::vector<uint8_t> pattern(size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i)
    bytes[i] = static_cast<uint8_t>((i * 7 + seed * 31) ^ (i >> 8));
  return bytes;
}

class WaveOutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureMessageQueue();
    ThreadMessage stale;
    while (PeekThreadMessage(&stale, true)) {
    }
    dir_ = fs::temp_directory_path() /
           ("kvnet_wave_out_" + std::to_string(CurrentThreadId()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  WaveCallback toMe() const { return WaveCallback::Thread(CurrentThreadId()); }

  // The next message, or message 0 when none came within the guard time.
  ThreadMessage next() {
    ThreadMessage msg;
    if (!GetThreadMessage(&msg, kGuardMs)) return {};
    return msg;
  }

  fs::path dir_;
};

TEST_F(WaveOutTest, PlaysQueuedBuffersInOrderIntoAFinalisedWavFile) {
  const fs::path path = dir_ / "out.wav";
  HWaveOut device = nullptr;
  ASSERT_EQ(waveOutOpen(&device, ("wavfast:" + path.string()).c_str(), kPcm8kMono16, toMe()),
            MMSYSERR_NOERROR);
  EXPECT_EQ(next().message, MM_WOM_OPEN);

  std::vector<std::vector<uint8_t>> blocks = {pattern(800, 1), pattern(800, 2), pattern(320, 3)};
  WaveHeader headers[3];
  for (int i = 0; i < 3; ++i) {
    headers[i].data = blocks[i].data();
    headers[i].bufferLength = static_cast<uint32_t>(blocks[i].size());
    EXPECT_EQ(waveOutWrite(device, &headers[i]), WAVERR_UNPREPARED);
    ASSERT_EQ(waveOutPrepareHeader(device, &headers[i]), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(device, &headers[i]), MMSYSERR_NOERROR);
  }
  for (int i = 0; i < 3; ++i) {
    const ThreadMessage msg = next();
    ASSERT_EQ(msg.message, MM_WOM_DONE);
    EXPECT_EQ(msg.wParam, reinterpret_cast<uintptr_t>(device));
    EXPECT_EQ(msg.lParam, reinterpret_cast<uintptr_t>(&headers[i]));
    EXPECT_EQ(headers[i].flags, WHDR_PREPARED | WHDR_DONE);
    EXPECT_EQ(waveOutUnprepareHeader(device, &headers[i]), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
  EXPECT_EQ(next().message, MM_WOM_CLOSE);

  const std::vector<uint8_t> file = readFile(path);
  ASSERT_EQ(file.size(), 44u + 1920u);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
  EXPECT_EQ(le32(file, 4), 36u + 1920u);
  EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(le32(file, 20) & 0xFFFF, 1u);       // PCM
  EXPECT_EQ(le32(file, 20) >> 16, 1u);          // mono
  EXPECT_EQ(le32(file, 24), 8000u);             // samples per second
  EXPECT_EQ(le32(file, 28), 16000u);            // bytes per second
  EXPECT_EQ(le32(file, 32), 2u | (16u << 16));  // block align, bits per sample
  EXPECT_EQ(le32(file, 40), 1920u);
  std::vector<uint8_t> expected;
  for (const auto& b : blocks) expected.insert(expected.end(), b.begin(), b.end());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file.begin() + 44));
}

TEST_F(WaveOutTest, QueuedBuffersBlockUnprepareAndCloseUntilResetHandsThemBackInOrder) {
  HWaveOut device = nullptr;
  ASSERT_EQ(waveOutOpen(&device, "null", kPcm8kMono16, toMe()), MMSYSERR_NOERROR);
  EXPECT_EQ(next().message, MM_WOM_OPEN);
  // Four seconds of audio at the real-time rate: still queued when the checks below run.
  std::vector<uint8_t> block(16000);
  WaveHeader headers[4];
  for (WaveHeader& h : headers) {
    h.data = block.data();
    h.bufferLength = static_cast<uint32_t>(block.size());
    ASSERT_EQ(waveOutPrepareHeader(device, &h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(device, &h), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(waveOutWrite(device, &headers[3]), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveOutUnprepareHeader(device, &headers[3]), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING);
  EXPECT_TRUE(headers[3].flags & WHDR_INQUEUE);

  ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
  // Reset returns after every DONE was sent.
  for (WaveHeader& h : headers) {
    ThreadMessage msg;
    ASSERT_TRUE(PeekThreadMessage(&msg, true));
    EXPECT_EQ(msg.message, MM_WOM_DONE);
    EXPECT_EQ(msg.lParam, reinterpret_cast<uintptr_t>(&h));
    EXPECT_EQ(h.flags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    EXPECT_EQ(waveOutUnprepareHeader(device, &h), MMSYSERR_NOERROR);
  }
  EXPECT_FALSE(PeekThreadMessage(nullptr, false));
  // A reset device plays again.
  WaveHeader again;
  again.data = block.data();
  again.bufferLength = 160;
  ASSERT_EQ(waveOutPrepareHeader(device, &again), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutWrite(device, &again), MMSYSERR_NOERROR);
  const ThreadMessage done = next();
  EXPECT_EQ(done.message, MM_WOM_DONE);
  EXPECT_EQ(done.lParam, reinterpret_cast<uintptr_t>(&again));
  ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
  EXPECT_EQ(next().message, MM_WOM_CLOSE);
}

TEST_F(WaveOutTest, RefusesUnknownDevicesBadFormatsAndNullArguments) {
  HWaveOut device = reinterpret_cast<HWaveOut>(1);
  EXPECT_EQ(waveOutOpen(&device, "speaker", kPcm8kMono16, toMe()), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(device, nullptr);
  EXPECT_NE(waveOutOpen(&device, "alsa:nonexistent_device", kPcm8kMono16, toMe()),
            MMSYSERR_NOERROR);
  EXPECT_EQ(device, nullptr);
  EXPECT_NE(waveOutOpen(&device, ("wav:" + (dir_ / "missing" / "x.wav").string()).c_str(),
                        kPcm8kMono16, toMe()),
            MMSYSERR_NOERROR);
  WaveFormat eightBit = kPcm8kMono16;
  eightBit.bitsPerSample = 8;
  eightBit.blockAlign = 1;
  eightBit.avgBytesPerSec = 8000;
  EXPECT_EQ(waveOutOpen(&device, "null", eightBit, toMe()), WAVERR_BADFORMAT);
  EXPECT_EQ(waveOutOpen(nullptr, "null", kPcm8kMono16, toMe()), MMSYSERR_INVALPARAM);
  WaveHeader h;
  EXPECT_EQ(waveOutWrite(nullptr, &h), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveOutReset(nullptr), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveOutClose(nullptr), MMSYSERR_INVALHANDLE);
  EXPECT_FALSE(PeekThreadMessage(nullptr, false));  // failed opens notify nothing
}

TEST_F(WaveOutTest, DefaultDeviceComesFromTheEnvironment) {
  const fs::path path = dir_ / "env.wav";
  ASSERT_EQ(setenv("KVNET_AUDIO_OUT", ("wavfast:" + path.string()).c_str(), 1), 0);
  HWaveOut device = nullptr;
  const MmResult opened = waveOutOpen(&device, WAVE_MAPPER, kPcm8kMono16, WaveCallback::None());
  unsetenv("KVNET_AUDIO_OUT");
  ASSERT_EQ(opened, MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
  EXPECT_EQ(readFile(path).size(), 44u);
}

struct Replayer {
  std::atomic<int> done{0};
  int wanted = 0;
  Event finished{true, false};
};

// Requeues the finished buffer from inside the notification until enough were played.
void replayDone(void* device, uint32_t message, uintptr_t instance, uintptr_t param1, uintptr_t) {
  auto* r = reinterpret_cast<Replayer*>(instance);
  if (message != MM_WOM_DONE) return;
  if (r->done.fetch_add(1) + 1 >= r->wanted) {
    r->finished.Set();
    return;
  }
  waveOutWrite(static_cast<HWaveOut>(device), reinterpret_cast<WaveHeader*>(param1));
}

TEST_F(WaveOutTest, NotificationFunctionMayRequeueTheFinishedBuffer) {
  const fs::path path = dir_ / "replay.wav";
  Replayer replayer;
  replayer.wanted = 5;
  HWaveOut device = nullptr;
  ASSERT_EQ(waveOutOpen(&device, ("wavfast:" + path.string()).c_str(), kPcm8kMono16,
                        WaveCallback::Function(replayDone, reinterpret_cast<uintptr_t>(&replayer))),
            MMSYSERR_NOERROR);
  std::vector<uint8_t> block = pattern(400, 9);
  WaveHeader h;
  h.data = block.data();
  h.bufferLength = 400;
  ASSERT_EQ(waveOutPrepareHeader(device, &h), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutWrite(device, &h), MMSYSERR_NOERROR);
  ASSERT_EQ(replayer.finished.Wait(kGuardMs), kWaitObject0);
  ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
  EXPECT_EQ(replayer.done.load(), 5);
  const std::vector<uint8_t> file = readFile(path);
  ASSERT_EQ(file.size(), 44u + 5 * 400u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(std::equal(block.begin(), block.end(), file.begin() + 44 + i * 400)) << i;
  }
}

// The ALSA backend without sound hardware: a configuration whose PCM writes into a file.
TEST_F(WaveOutTest, AlsaBackendWritesThroughTheFilePlugin) {
  const fs::path raw = dir_ / "alsa.raw";
  const fs::path conf = dir_ / "asoundrc";
  {
    std::ofstream out(conf);
    out << "pcm.kvtest {\n  type file\n  slave.pcm { type null }\n  file \"" << raw.string()
        << "\"\n  format raw\n}\n";
  }
  const char* previous = std::getenv("ALSA_CONFIG_PATH");
  const std::string saved = previous != nullptr ? previous : "";
  ASSERT_EQ(setenv("ALSA_CONFIG_PATH", conf.c_str(), 1), 0);

  HWaveOut device = nullptr;
  const MmResult opened = waveOutOpen(&device, "alsa:kvtest", kPcm8kMono16, toMe());
  std::vector<uint8_t> played;
  if (opened == MMSYSERR_NOERROR) {
    EXPECT_EQ(next().message, MM_WOM_OPEN);
    std::vector<std::vector<uint8_t>> blocks;
    WaveHeader headers[6];
    for (int i = 0; i < 6; ++i) blocks.push_back(pattern(800, 40 + i));
    for (int i = 0; i < 6; ++i) {
      headers[i].data = blocks[i].data();
      headers[i].bufferLength = 800;
      ASSERT_EQ(waveOutPrepareHeader(device, &headers[i]), MMSYSERR_NOERROR);
      ASSERT_EQ(waveOutWrite(device, &headers[i]), MMSYSERR_NOERROR);
      played.insert(played.end(), blocks[i].begin(), blocks[i].end());
    }
    for (int i = 0; i < 6; ++i) {
      const ThreadMessage msg = next();
      EXPECT_EQ(msg.message, MM_WOM_DONE);
      EXPECT_EQ(msg.lParam, reinterpret_cast<uintptr_t>(&headers[i]));
    }
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(next().message, MM_WOM_CLOSE);
  }
  if (saved.empty()) {
    unsetenv("ALSA_CONFIG_PATH");
  } else {
    setenv("ALSA_CONFIG_PATH", saved.c_str(), 1);
  }
  ASSERT_EQ(opened, MMSYSERR_NOERROR);
  EXPECT_EQ(readFile(raw), played);
}

}  // namespace
}  // namespace kv::platform
