// Wave-in devices: capture of a WAV file and of a tone into queued buffers, partial buffers
// at stop, reset and the close refusal while buffers are queued, requeueing from the
// notification, and the refusals of unreadable sources.
#include "sdk/platform/wave_in.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sdk/platform/clock.h"
#include "sdk/platform/event.h"
#include "sdk/platform/thread_messages.h"

namespace kv::platform {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kGuardMs = 5000;

void put32(std::ofstream& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.put(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put16(std::ofstream& out, uint32_t v) {
  out.put(static_cast<char>(v & 0xFF));
  out.put(static_cast<char>((v >> 8) & 0xFF));
}

// A WAV file with an extra chunk before "fmt " that readers must skip.
void writeWav(const fs::path& path, const std::vector<uint8_t>& data, uint32_t rate = 8000) {
  std::ofstream out(path, std::ios::binary);
  out.write("RIFF", 4);
  put32(out, 4 + 8 + 4 + 8 + 16 + 8 + static_cast<uint32_t>(data.size()));
  out.write("WAVE", 4);
  out.write("LIST", 4);
  put32(out, 3);
  out.write("abc\0", 4);  // odd size, padded
  out.write("fmt ", 4);
  put32(out, 16);
  put16(out, 1);
  put16(out, 1);
  put32(out, rate);
  put32(out, rate * 2);
  put16(out, 2);
  put16(out, 16);
  out.write("data", 4);
  put32(out, static_cast<uint32_t>(data.size()));
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

class WaveInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureMessageQueue();
    while (PeekThreadMessage(nullptr, true)) {
    }
    dir_ = fs::temp_directory_path() /
           ("kvnet_wave_in_" + std::to_string(CurrentThreadId()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  ThreadMessage next() {
    ThreadMessage msg;
    if (!GetThreadMessage(&msg, kGuardMs)) return {};
    return msg;
  }

  fs::path dir_;
};

TEST_F(WaveInTest, CapturesAWavFileInOrderThenSilence) {
  std::vector<uint8_t> data(2000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
  const fs::path path = dir_ / "in.wav";
  writeWav(path, data);

  HWaveIn device = nullptr;
  ASSERT_EQ(waveInOpen(&device, ("wavfast:" + path.string()).c_str(), kPcm8kMono16,
                       WaveCallback::Thread(CurrentThreadId())),
            MMSYSERR_NOERROR);
  EXPECT_EQ(next().message, MM_WIM_OPEN);
  std::vector<uint8_t> blocks[3];
  WaveHeader headers[3];
  for (int i = 0; i < 3; ++i) {
    blocks[i].assign(800, 0xEE);
    headers[i].data = blocks[i].data();
    headers[i].bufferLength = 800;
    EXPECT_EQ(waveInAddBuffer(device, &headers[i]), WAVERR_UNPREPARED);
    ASSERT_EQ(waveInPrepareHeader(device, &headers[i]), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(device, &headers[i]), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveInStart(device), MMSYSERR_NOERROR);
  for (int i = 0; i < 3; ++i) {
    const ThreadMessage msg = next();
    ASSERT_EQ(msg.message, MM_WIM_DATA);
    EXPECT_EQ(msg.lParam, reinterpret_cast<uintptr_t>(&headers[i]));
    EXPECT_EQ(headers[i].bytesRecorded, 800u);
    EXPECT_EQ(headers[i].flags, WHDR_PREPARED | WHDR_DONE);
  }
  EXPECT_TRUE(std::equal(blocks[0].begin(), blocks[0].end(), data.begin()));
  EXPECT_TRUE(std::equal(blocks[1].begin(), blocks[1].end(), data.begin() + 800));
  EXPECT_TRUE(std::equal(data.begin() + 1600, data.end(), blocks[2].begin()));
  EXPECT_EQ(std::count(blocks[2].begin() + 400, blocks[2].end(), 0), 400);
  ASSERT_EQ(waveInReset(device), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInClose(device), MMSYSERR_NOERROR);
  EXPECT_EQ(next().message, MM_WIM_CLOSE);
}

TEST_F(WaveInTest, CapturesAToneOfTheAskedFrequency) {
  HWaveIn device = nullptr;
  ASSERT_EQ(
      waveInOpen(&device, "tonefast:1000", kPcm8kMono16, WaveCallback::Thread(CurrentThreadId())),
      MMSYSERR_NOERROR);
  EXPECT_EQ(next().message, MM_WIM_OPEN);
  std::vector<uint8_t> block(1600);  // 100 ms
  WaveHeader h;
  h.data = block.data();
  h.bufferLength = 1600;
  ASSERT_EQ(waveInPrepareHeader(device, &h), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInAddBuffer(device, &h), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInStart(device), MMSYSERR_NOERROR);
  ASSERT_EQ(next().message, MM_WIM_DATA);
  ASSERT_TRUE(h.flags & WHDR_DONE);
  ASSERT_EQ(h.bytesRecorded, 1600u);
  int crossings = 0;
  int peak = 0;
  int previous = 0;
  for (size_t i = 0; i < 800; ++i) {
    const int s = static_cast<int16_t>(block[2 * i] | (block[2 * i + 1] << 8));
    peak = std::max(peak, std::abs(s));
    if (i > 0 && ((previous < 0) != (s < 0))) ++crossings;
    previous = s;
  }
  // 1000 Hz for 100 ms: 100 periods, two sign changes each.
  EXPECT_NEAR(crossings, 200, 3);
  EXPECT_GT(peak, 4000);
  EXPECT_LT(peak, 32767);
  ASSERT_EQ(waveInClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveInTest, StopHandsBackThePartBufferAndResetTheRest) {
  HWaveIn device = nullptr;
  ASSERT_EQ(waveInOpen(&device, "tone", kPcm8kMono16, WaveCallback::Thread(CurrentThreadId())),
            MMSYSERR_NOERROR);
  EXPECT_EQ(next().message, MM_WIM_OPEN);
  std::vector<uint8_t> block(2 * 16000);
  WaveHeader headers[2];  // one second each at the real-time rate
  for (int i = 0; i < 2; ++i) {
    headers[i].data = block.data() + i * 16000;
    headers[i].bufferLength = 16000;
    ASSERT_EQ(waveInPrepareHeader(device, &headers[i]), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(device, &headers[i]), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveInStart(device), MMSYSERR_NOERROR);
  Sleep(200);
  ASSERT_EQ(waveInStop(device), MMSYSERR_NOERROR);
  ThreadMessage msg;
  ASSERT_TRUE(PeekThreadMessage(&msg, true));
  EXPECT_EQ(msg.message, MM_WIM_DATA);
  EXPECT_EQ(msg.lParam, reinterpret_cast<uintptr_t>(&headers[0]));
  EXPECT_GT(headers[0].bytesRecorded, 0u);
  EXPECT_LT(headers[0].bytesRecorded, 16000u);
  EXPECT_EQ(headers[0].bytesRecorded % 2, 0u);
  EXPECT_FALSE(PeekThreadMessage(nullptr, false));

  EXPECT_EQ(waveInUnprepareHeader(device, &headers[1]), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInClose(device), WAVERR_STILLPLAYING);
  ASSERT_EQ(waveInReset(device), MMSYSERR_NOERROR);
  ASSERT_TRUE(PeekThreadMessage(&msg, true));
  EXPECT_EQ(msg.lParam, reinterpret_cast<uintptr_t>(&headers[1]));
  EXPECT_EQ(headers[1].bytesRecorded, 0u);
  EXPECT_EQ(waveInUnprepareHeader(device, &headers[1]), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInClose(device), MMSYSERR_NOERROR);
  EXPECT_EQ(next().message, MM_WIM_CLOSE);
}

struct Requeuer {
  std::atomic<int> blocks{0};
  int wanted = 0;
  std::atomic<bool> stopping{false};
  Event enough{true, false};
};

// The capture pattern of two-way talk: every filled block goes straight back to the device.
void requeueData(void* device, uint32_t message, uintptr_t instance, uintptr_t param1, uintptr_t) {
  if (message != MM_WIM_DATA) return;
  auto* r = reinterpret_cast<Requeuer*>(instance);
  auto* header = reinterpret_cast<WaveHeader*>(param1);
  if (header->bytesRecorded == header->bufferLength && r->blocks.fetch_add(1) + 1 == r->wanted) {
    r->enough.Set();
  }
  if (!r->stopping) waveInAddBuffer(static_cast<HWaveIn>(device), header);
}

TEST_F(WaveInTest, NotificationFunctionMayAddTheFilledBufferAgain) {
  Requeuer requeuer;
  requeuer.wanted = 40;
  HWaveIn device = nullptr;
  ASSERT_EQ(waveInOpen(&device, "tonefast:440", kPcm8kMono16,
                       WaveCallback::Function(requeueData, reinterpret_cast<uintptr_t>(&requeuer))),
            MMSYSERR_NOERROR);
  std::vector<uint8_t> block(4 * 320);
  WaveHeader headers[4];
  for (int i = 0; i < 4; ++i) {
    headers[i].data = block.data() + i * 320;
    headers[i].bufferLength = 320;
    ASSERT_EQ(waveInPrepareHeader(device, &headers[i]), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(device, &headers[i]), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveInStart(device), MMSYSERR_NOERROR);
  ASSERT_EQ(requeuer.enough.Wait(kGuardMs), kWaitObject0);
  // As in talk: a stopping flag keeps the blocks handed back by the reset from being re-added.
  requeuer.stopping = true;
  ASSERT_EQ(waveInReset(device), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
  EXPECT_GE(requeuer.blocks.load(), 40);
}

TEST_F(WaveInTest, RefusesMissingFilesOtherFormatsAndBadTones) {
  HWaveIn device = nullptr;
  EXPECT_EQ(waveInOpen(&device, ("wav:" + (dir_ / "none.wav").string()).c_str(), kPcm8kMono16,
                       WaveCallback::None()),
            MMSYSERR_NODRIVER);
  const fs::path wide = dir_ / "wide.wav";
  writeWav(wide, std::vector<uint8_t>(100), 16000);
  EXPECT_EQ(
      waveInOpen(&device, ("wav:" + wide.string()).c_str(), kPcm8kMono16, WaveCallback::None()),
      WAVERR_BADFORMAT);
  const fs::path junk = dir_ / "junk.wav";
  std::ofstream(junk) << "not a wave file at all";
  EXPECT_NE(
      waveInOpen(&device, ("wav:" + junk.string()).c_str(), kPcm8kMono16, WaveCallback::None()),
      MMSYSERR_NOERROR);
  EXPECT_EQ(waveInOpen(&device, "tone:5000", kPcm8kMono16, WaveCallback::None()),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveInOpen(&device, "tone:abc", kPcm8kMono16, WaveCallback::None()),
            MMSYSERR_BADDEVICEID);
  EXPECT_NE(waveInOpen(&device, "alsa:nonexistent_device", kPcm8kMono16, WaveCallback::None()),
            MMSYSERR_NOERROR);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(waveInStart(nullptr), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInClose(nullptr), MMSYSERR_INVALHANDLE);
}

}  // namespace
}  // namespace kv::platform
