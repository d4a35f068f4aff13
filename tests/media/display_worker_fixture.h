// The decode worker's test bench: a client, a conduit that counts how the worker uses it, a
// headless window whose presents are read back (the number squares of every picture, and the
// pacing clock's time), a worker whose decoder creation can be made to fail, and a virtual
// pacing clock. Shared by the decode worker's test files.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/core/library.h"
#include "sdk/core/net_client.h"
#include "sdk/media/av_display.h"
#include "sdk/media/buffer_conduit.h"
#include "sdk/media/pacing.h"
#include "sdk/platform/headless_window.h"
#include "sdk/platform/surface_headless.h"
#include "tests/support/drawn_picture.h"
#include "tests/support/test_streams.h"

namespace kv::display_test {

using Clock = std::chrono::steady_clock;
using test::EncodedStream;
using test::VirtualPacingTimer;

// ---- What reached the window ----

// Every present: the picture number read from the back surface (-1 when its copies disagree,
// i.e. a torn picture) and when it happened.
struct DrawLog {
  std::mutex mutex;
  std::vector<int> numbers;
  std::vector<Clock::time_point> times;
  std::vector<uint32_t> pacingTimes;  // the pacing clock's time at each present
  std::atomic<int> draws{0};

  void Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    numbers.clear();
    times.clear();
    pacingTimes.clear();
    draws = 0;
  }
  std::vector<int> Numbers() {
    std::lock_guard<std::mutex> lock(mutex);
    return numbers;
  }
  std::vector<uint32_t> PacingTimes() {
    std::lock_guard<std::mutex> lock(mutex);
    return pacingTimes;
  }
  Clock::time_point TimeOf(size_t i) {
    std::lock_guard<std::mutex> lock(mutex);
    return times.at(i);
  }
};

inline DrawLog gDraws;

// Draw callback: reads the number of the picture about to be shown.
inline int KVNET_CALL RecordDraw(KVNET_HANDLE, void* dc, void* context) {
  auto* client = static_cast<CNetClient*>(context);
  const int pw = client->m_viewState.decodedWidth.load();
  const int ph = client->m_viewState.decodedHeight.load();
  const int number = pw > 0 && ph > 0 ? test::ReadDrawnPictureNumber(dc, pw, ph) : -2;
  std::lock_guard<std::mutex> lock(gDraws.mutex);
  gDraws.numbers.push_back(number);
  gDraws.times.push_back(Clock::now());
  gDraws.pacingTimes.push_back(PacingNow());
  ++gDraws.draws;
  return 0;
}

// ---- A conduit that counts how the worker uses it ----

class CountingConduit : public CIConduit {
 public:
  explicit CountingConduit(CIConduit* inner) : inner_(inner) {}

  bool Create(int32_t capacity, bool flowControl, int32_t lowWater, bool frameMode) override {
    return inner_->Create(capacity, flowControl, lowWater, frameMode);
  }
  void Release() override { inner_->Release(); }
  void Clear() override { inner_->Clear(); }
  void SetFlowControl(bool on) override { inner_->SetFlowControl(on); }
  int32_t Read(void* buffer, int32_t length, int32_t* remainingOut, uint32_t timeoutMs) override {
    return inner_->Read(buffer, length, remainingOut, timeoutMs);
  }
  bool Write(const void* data, int32_t length, int32_t endOfFrame, int32_t timestamp,
             int32_t tag) override {
    return inner_->Write(data, length, endOfFrame, timestamp, tag);
  }
  int32_t GetDataSize() override { return inner_->GetDataSize(); }
  int32_t GetFrameCount() override {
    ++frameCountCalls;
    ++pollsSinceRead;
    return inner_->GetFrameCount();
  }
  void EndFrame(int32_t timestamp, int32_t tag) override { inner_->EndFrame(timestamp, tag); }
  int32_t ReadFrame(void* buffer, int32_t bufferLength, int32_t* framesLeftOut,
                    FrameEntry* entryOut, uint32_t timeoutMs) override {
    ++readCalls;
    const int32_t n = inner_->ReadFrame(buffer, bufferLength, framesLeftOut, entryOut, timeoutMs);
    if (n > 0) {
      ++framesRead;
      pollsSinceRead = 0;
    } else {
      ++pollsSinceRead;
    }
    return n;
  }
  void Abort() override { inner_->Abort(); }

  std::atomic<int> frameCountCalls{0};
  std::atomic<int> readCalls{0};
  std::atomic<int> framesRead{0};
  std::atomic<int> pollsSinceRead{0};

 private:
  CIConduit* inner_;
};

// Waits (polling) until done() holds; false after the guard time.
inline bool WaitFor(const std::function<bool()>& done, int guardMs = 8000) {
  const auto end = Clock::now() + std::chrono::milliseconds(guardMs);
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

inline std::vector<int> Range(int from, int to) {
  std::vector<int> v;
  for (int i = from; i < to; ++i) v.push_back(i);
  return v;
}

// Index of the first frame that belongs to picture p (its headers included).
inline size_t FirstFrameOf(const EncodedStream& s, int p) {
  for (size_t i = 0; i < s.frames.size(); ++i) {
    if (s.pictureOfFrame[i] >= p) {
      size_t first = i;
      while (first > 0 && s.pictureOfFrame[first - 1] < 0) --first;
      return first;
    }
  }
  return s.frames.size();
}

inline uint8_t NalType(const std::vector<uint8_t>& frame) {
  return frame.size() > 4 ? static_cast<uint8_t>(frame[4] & 0x1F) : 0;
}

// ---- Seams ----

// The worker with a seam in decoder creation: an armed failure makes the next creation fail,
// after running an action that stands in for another thread acting at that moment.
class SeamDisplay : public CAVDisplay {
 public:
  ~SeamDisplay() override { StopWorker(); }
  void FailNextCreation(std::function<void()> action = nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    failNext_ = true;
    action_ = std::move(action);
  }
  int failures() const { return failures_.load(); }

 protected:
  bool createDecoder() override {
    std::function<void()> action;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!failNext_) return CAVDisplay::createDecoder();
      failNext_ = false;
      action = std::move(action_);
    }
    if (action) action();
    ++failures_;
    return false;
  }

 private:
  std::mutex mutex_;
  bool failNext_ = false;
  std::function<void()> action_;
  std::atomic<int> failures_{0};
};

// The intervals between consecutive entries of times, from..to (indexes of the later entry).
inline std::vector<uint32_t> Intervals(const std::vector<uint32_t>& times, size_t from, size_t to) {
  std::vector<uint32_t> v;
  for (size_t i = from; i < to && i < times.size(); ++i) v.push_back(times[i] - times[i - 1]);
  return v;
}

// ---- The worker with a client, a conduit and a headless window ----

class DisplayWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ =
        platform::ReplaceWindowSystemForTest(std::make_unique<platform::HeadlessWindowSystem>());
    windows_ = platform::GetHeadlessWindowSystem();
    ASSERT_NE(windows_, nullptr);
    platform::HeadlessDisplay::Get().Reset();
    gDraws.Reset();
    Library().drawCallback = &RecordDraw;
    ASSERT_TRUE(buffer_.Create(4194304, false, 8192, true));
    KVNET_CLIENT_PARAM param{};
    std::strcpy(param.address, "10.1.2.3");
    param.view = 1;
    ASSERT_TRUE(client_.InitLive(param));
    client_.m_self = &client_;
    client_.m_videoConduit = &counting_;
  }

  void TearDown() override {
    display_.StopWorker();
    SetPacingTimerForTest(nullptr);
    CAVDisplay::SetSnapshotHook(nullptr);
    Library().drawCallback = nullptr;
    unsetenv("KVNET_AVCODEC");
    platform::HeadlessDisplay::Get().Reset();
    platform::ReplaceWindowSystemForTest(std::move(saved_));
  }

  // Configures the client for codec and size, makes a window and starts the worker.
  void StartWorker(uint8_t codec, int width, int height, bool avcodec = true, int windowWidth = 0,
                   int windowHeight = 0) {
    if (!avcodec) setenv("KVNET_AVCODEC", "off", 1);
    client_.m_stream.videoCodec = codec;
    client_.m_stream.width = width;
    client_.m_stream.height = height;
    window_ = windows_->CreateWindow(0, 0, windowWidth > 0 ? windowWidth : width,
                                     windowHeight > 0 ? windowHeight : height, true);
    client_.m_viewState.videoWindow = window_;
    client_.m_viewState.view = 1;
    display_.Bind(client_.DisplayParts());
    ASSERT_EQ(display_.SetupDecoder(), 1);
    ASSERT_EQ(display_.Start(), 0);
  }

  // Replay: picture p carries the time stamp base + p seconds.
  void SetReplay(int speed, int state) {
    client_.m_link.replay = 1;
    client_.m_replayControl.baseTime = kBaseTime;
    client_.m_replayControl.speed = speed;
    client_.m_replayControl.state = state;
  }

  // Frames [from, to) of s; tag is what the replay source gives them (seeks served so far).
  void Write(const EncodedStream& s, size_t from, size_t to, int32_t tag = 0) {
    for (size_t i = from; i < to && i < s.frames.size(); ++i) {
      const int picture = std::max(0, s.pictureOfFrame[i]);
      ASSERT_TRUE(counting_.Write(s.frames[i].data(), static_cast<int32_t>(s.frames[i].size()), 1,
                                  static_cast<int32_t>(kBaseTime + 1000u * picture), tag));
      ++written_;
    }
  }
  void WriteFrame(const std::vector<uint8_t>& frame, int picture = 0) {
    ASSERT_TRUE(counting_.Write(frame.data(), static_cast<int32_t>(frame.size()), 1,
                                static_cast<int32_t>(kBaseTime + 1000u * picture), 0));
    ++written_;
  }

  // Every frame written so far has been read and handled (the worker came back for more).
  bool WaitProcessed() {
    return WaitFor([&] {
      return counting_.framesRead.load() >= written_ && counting_.pollsSinceRead.load() > 0 &&
             client_.m_viewState.drawing.load() == 0;
    });
  }

  // A seek while paused as KVNET_ReplaySeek asks for it ...
  void AskSeekWhilePaused() {
    client_.m_replayControl.seekPending = 1;
    client_.m_replayControl.seekWhilePaused = 1;
    client_.m_replayControl.changed.Notify();
  }
  // ... and as the replay source serves it: the conduit emptied, the frames from the new place
  // [from, to) tagged with the new count of seeks served, then the seek marked done.
  void ServeSeek(const EncodedStream& s, size_t from, size_t to) {
    const int32_t served = ++client_.m_replayControl.seeksServed;
    buffer_.Clear();
    Write(s, from, to, served);
    client_.m_replayControl.seekPending = 0;
    client_.m_replayControl.changed.Notify();
  }

  // KVNET_ClientStopView at the worker's level: clear the view, poll until nothing is drawn.
  void StopView() {
    client_.m_viewState.view = 0;
    while (client_.m_viewState.drawing.load() != 0) SleepMs(1);
  }

  static constexpr uint32_t kBaseTime = 7000;

  std::unique_ptr<platform::WindowSystem> saved_;
  platform::HeadlessWindowSystem* windows_ = nullptr;
  CNetClient client_;
  CBufferConduit buffer_;
  CountingConduit counting_{&buffer_};
  // Installed by the tests that count pacing decisions; outlives the worker (TearDown).
  VirtualPacingTimer pacingTimer_;
  SeamDisplay display_;
  uint32_t window_ = 0;
  int written_ = 0;
};

}  // namespace kv::display_test
