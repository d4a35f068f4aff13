// End-to-end tests of the decode worker: generated streams go through the video conduit, the
// worker decodes and paces them and the headless window shows them. Pictures are identified
// by the number squares written into every slice, read back from the window's back surface
// at every present.
#include "sdk/media/av_display.h"

#include <cairo.h>
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sdk/core/library.h"
#include "sdk/core/net_client.h"
#include "sdk/media/buffer_conduit.h"
#include "sdk/platform/headless_window.h"
#include "sdk/platform/surface_headless.h"
#include "sdk/platform/window_pixels.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_streams.h"

namespace kv {
namespace {

using Clock = std::chrono::steady_clock;
using test::EncodedStream;

// ---- What reached the window ----

// Every present: the picture number read from the back surface (-1 when its copies disagree,
// i.e. a torn picture) and when it happened.
struct DrawLog {
  std::mutex mutex;
  std::vector<int> numbers;
  std::vector<Clock::time_point> times;
  std::atomic<int> draws{0};

  void Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    numbers.clear();
    times.clear();
    draws = 0;
  }
  std::vector<int> Numbers() {
    std::lock_guard<std::mutex> lock(mutex);
    return numbers;
  }
  Clock::time_point TimeOf(size_t i) {
    std::lock_guard<std::mutex> lock(mutex);
    return times.at(i);
  }
};

DrawLog gDraws;

// The back surface (window size, 32-bit) sampled back to the picture's size as luma.
std::vector<uint8_t> LumaAtPictureSize(const uint8_t* bgrx, int pitch, int width, int height,
                                       int pictureWidth, int pictureHeight) {
  std::vector<uint8_t> luma(static_cast<size_t>(pictureWidth) * pictureHeight);
  for (int y = 0; y < pictureHeight; ++y) {
    const int wy = std::min(height - 1, static_cast<int>((y + 0.5) * height / pictureHeight));
    for (int x = 0; x < pictureWidth; ++x) {
      const int wx = std::min(width - 1, static_cast<int>((x + 0.5) * width / pictureWidth));
      const uint8_t* p = bgrx + static_cast<size_t>(wy) * pitch + static_cast<size_t>(wx) * 4;
      luma[static_cast<size_t>(y) * pictureWidth + x] =
          static_cast<uint8_t>(((66 * p[2] + 129 * p[1] + 25 * p[0] + 128) >> 8) + 16);
    }
  }
  return luma;
}

// Draw callback: reads the number of the picture about to be shown.
int KVNET_CALL RecordDraw(KVNET_HANDLE, void* dc, void* context) {
  auto* client = static_cast<CNetClient*>(context);
  cairo_surface_t* target = cairo_get_target(static_cast<cairo_t*>(dc));
  cairo_surface_flush(target);
  const int w = cairo_image_surface_get_width(target);
  const int h = cairo_image_surface_get_height(target);
  const int pw = client->m_decodedWidth.load();
  const int ph = client->m_decodedHeight.load();
  int number = -2;
  if (cairo_image_surface_get_format(target) == CAIRO_FORMAT_RGB24 && pw > 0 && ph > 0) {
    const std::vector<uint8_t> luma = LumaAtPictureSize(
        cairo_image_surface_get_data(target), cairo_image_surface_get_stride(target), w, h, pw, ph);
    number = test::ReadPictureNumber(luma.data(), pw, pw, ph);
  }
  std::lock_guard<std::mutex> lock(gDraws.mutex);
  gDraws.numbers.push_back(number);
  gDraws.times.push_back(Clock::now());
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
bool WaitFor(const std::function<bool()>& done, int guardMs = 8000) {
  const auto end = Clock::now() + std::chrono::milliseconds(guardMs);
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::vector<int> Range(int from, int to) {
  std::vector<int> v;
  for (int i = from; i < to; ++i) v.push_back(i);
  return v;
}

// One JPEG per picture.
EncodedStream EncodeMjpeg(int width, int height, int pictures, int subsampling) {
  EncodedStream s;
  s.width = width;
  s.height = height;
  s.pictures = pictures;
  for (int i = 0; i < pictures; ++i) {
    s.frames.push_back(test::EncodeJpeg(test::MakeTestPicture(width, height, i), subsampling));
    s.pictureOfFrame.push_back(i);
  }
  return s;
}

// Index of the first frame that belongs to picture p (its headers included).
size_t FirstFrameOf(const EncodedStream& s, int p) {
  for (size_t i = 0; i < s.frames.size(); ++i) {
    if (s.pictureOfFrame[i] >= p) {
      size_t first = i;
      while (first > 0 && s.pictureOfFrame[first - 1] < 0) --first;
      return first;
    }
  }
  return s.frames.size();
}

uint8_t NalType(const std::vector<uint8_t>& frame) {
  return frame.size() > 4 ? static_cast<uint8_t>(frame[4] & 0x1F) : 0;
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
    client_.m_videoCodec = codec;
    client_.m_width = width;
    client_.m_height = height;
    window_ = windows_->CreateWindow(0, 0, windowWidth > 0 ? windowWidth : width,
                                     windowHeight > 0 ? windowHeight : height, true);
    client_.m_videoWindow = window_;
    client_.m_view = 1;
    display_.Bind(&client_);
    ASSERT_EQ(display_.SetupDecoder(), 1);
    ASSERT_EQ(display_.Start(), 0);
  }

  // Replay: picture p carries the time stamp base + p seconds.
  void SetReplay(int speed, int state) {
    client_.m_replay = 1;
    client_.m_baseTime = kBaseTime;
    client_.m_speed = speed;
    client_.m_replayState = state;
  }

  void Write(const EncodedStream& s, size_t from, size_t to) {
    for (size_t i = from; i < to && i < s.frames.size(); ++i) {
      const int picture = std::max(0, s.pictureOfFrame[i]);
      ASSERT_TRUE(counting_.Write(s.frames[i].data(), static_cast<int32_t>(s.frames[i].size()), 1,
                                  static_cast<int32_t>(kBaseTime + 1000u * picture), 0));
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
             client_.m_drawing.load() == 0;
    });
  }

  // KVNET_ClientStopView at the worker's level: clear the view, poll until nothing is drawn.
  void StopView() {
    client_.m_view = 0;
    while (client_.m_drawing.load() != 0) SleepMs(1);
  }

  static constexpr uint32_t kBaseTime = 7000;

  std::unique_ptr<platform::WindowSystem> saved_;
  platform::HeadlessWindowSystem* windows_ = nullptr;
  CNetClient client_;
  CBufferConduit buffer_;
  CountingConduit counting_{&buffer_};
  CAVDisplay display_;
  uint32_t window_ = 0;
  int written_ = 0;
};

// Compares the window with source picture `number` stretched to the window, at pixels whose
// neighbourhood in the source has one colour (the stretch blends edges).
struct StretchCompare {
  int compared = 0;
  int mismatched = 0;
  int worst = 0;
};

StretchCompare CompareWindow(uint32_t window, int width, int height, int number, int tolerance) {
  StretchCompare r;
  platform::PresentedImage shown;
  if (!platform::ReadWindowPixels(window, &shown)) return r;
  const test::YuvPicture src = test::MakeTestPicture(width, height, number);
  auto at = [&](int x, int y) {
    const size_t i =
        static_cast<size_t>(std::clamp(y, 0, height - 1)) * width + std::clamp(x, 0, width - 1);
    return std::array<uint8_t, 3>{src.y[i], src.u[i], src.v[i]};
  };
  const double sx = static_cast<double>(width) / shown.width;
  const double sy = static_cast<double>(height) / shown.height;
  const int rx = static_cast<int>(sx) + 3, ry = static_cast<int>(sy) + 3;
  for (int y = 0; y < shown.height; ++y) {
    for (int x = 0; x < shown.width; ++x) {
      const int cx = static_cast<int>((x + 0.5) * sx), cy = static_cast<int>((y + 0.5) * sy);
      const auto c = at(cx, cy);
      bool uniform = true;
      for (int dy = -ry; dy <= ry && uniform; ++dy) {
        for (int dx = -rx; dx <= rx && uniform; ++dx) uniform = at(cx + dx, cy + dy) == c;
      }
      if (!uniform) continue;
      const double l = 1.164 * (c[0] - 16);
      const int er = std::clamp(static_cast<int>(std::lround(l + 1.596 * (c[2] - 128))), 0, 255);
      const int eg = std::clamp(
          static_cast<int>(std::lround(l - 0.391 * (c[1] - 128) - 0.813 * (c[2] - 128))), 0, 255);
      const int eb = std::clamp(static_cast<int>(std::lround(l + 2.018 * (c[1] - 128))), 0, 255);
      const platform::Rgb got = shown.At(x, y);
      const int diff = std::max({std::abs(got.r - er), std::abs(got.g - eg), std::abs(got.b - eb)});
      ++r.compared;
      r.worst = std::max(r.worst, diff);
      if (diff > tolerance) ++r.mismatched;
    }
  }
  return r;
}

// ---- Every codec path: whole pictures, in order, stretched into the window ----

enum class StreamKind { kH264, kMjpeg420, kMjpeg422, kMpeg4 };

struct CodecCase {
  const char* name;
  StreamKind kind;
  bool avcodec;
};

class DisplayCodecTest : public DisplayWorkerTest,
                         public ::testing::WithParamInterface<CodecCase> {};

TEST_P(DisplayCodecTest, ShowsEveryPictureWholeAndStretched) {
  const CodecCase& c = GetParam();
  constexpr int kW = 320, kH = 240;
  EncodedStream s;
  uint8_t codec = VCODEC_H264;
  switch (c.kind) {
    case StreamKind::kH264:
      // Four slices per picture, one slice per conduit frame.
      s = test::EncodeH264OpenH264({kW, kH, 20, 4, 10, 3'000'000});
      break;
    case StreamKind::kMjpeg420:
      s = EncodeMjpeg(kW, kH, 12, TJSAMP_420);
      codec = VCODEC_MJPEG;
      break;
    case StreamKind::kMjpeg422:
      s = EncodeMjpeg(kW, kH, 12, TJSAMP_422);
      codec = VCODEC_MJPEG;
      break;
    case StreamKind::kMpeg4:
      s = test::EncodeMpeg4Xvid(kW, kH, 20);
      codec = VCODEC_MPEG4;
      break;
  }
  ASSERT_GT(s.pictures, 0);
  // A window of another size with non-integer factors: the picture is stretched.
  ASSERT_NO_FATAL_FAILURE(StartWorker(codec, kW, kH, c.avcodec, 452, 302));
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, s.frames.size()));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= s.pictures; }))
      << "shown " << gDraws.draws.load() << " of " << s.pictures;
  ASSERT_TRUE(WaitProcessed());

  // Each picture once, whole (every slice's copy of the number agrees), in order.
  EXPECT_EQ(gDraws.Numbers(), Range(0, s.pictures));
  // The decoded-picture counter counts pictures, not the slices or headers that made them.
  EXPECT_EQ(client_.m_counters.frameCount.load(), static_cast<uint32_t>(s.pictures));
  EXPECT_EQ(client_.m_decodedWidth.load(), kW);
  EXPECT_EQ(client_.m_decodedHeight.load(), kH);
  EXPECT_EQ(client_.m_drawing.load(), 0);

  const StretchCompare r = CompareWindow(window_, kW, kH, s.pictures - 1, 40);
  EXPECT_GT(r.compared, 452 * 302 / 2);
  EXPECT_LE(r.mismatched, r.compared / 100) << "worst difference " << r.worst;
}

INSTANTIATE_TEST_SUITE_P(AllPaths, DisplayCodecTest,
                         ::testing::Values(CodecCase{"H264Avcodec", StreamKind::kH264, true},
                                           CodecCase{"H264Platform", StreamKind::kH264, false},
                                           CodecCase{"Mjpeg420", StreamKind::kMjpeg420, true},
                                           CodecCase{"Mjpeg422", StreamKind::kMjpeg422, true},
                                           CodecCase{"Mpeg4", StreamKind::kMpeg4, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- View off and on ----

class DisplayH264PathTest : public DisplayWorkerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DisplayH264PathTest, ViewBackOnShowsNothingBeforeTheNextParameterSet) {
  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 30, 4, 15, 3'000'000});
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 320, 240, GetParam()));
  const size_t secondSps = FirstFrameOf(s, 15);
  ASSERT_EQ(NalType(s.frames[secondSps]), 7);

  ASSERT_NO_FATAL_FAILURE(Write(s, 0, FirstFrameOf(s, 5)));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() == 5; }));
  StopView();
  EXPECT_EQ(client_.m_drawing.load(), 0);
  ASSERT_NO_FATAL_FAILURE(Write(s, FirstFrameOf(s, 5), FirstFrameOf(s, 8)));
  ASSERT_TRUE(WaitProcessed());
  client_.m_view = 1;
  // Pictures 8..14 follow on from references the worker never saw: none may be shown.
  ASSERT_NO_FATAL_FAILURE(Write(s, FirstFrameOf(s, 8), secondSps));
  ASSERT_TRUE(WaitProcessed());
  EXPECT_EQ(gDraws.draws.load(), 5);
  ASSERT_NO_FATAL_FAILURE(Write(s, secondSps, s.frames.size()));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 20; }));
  ASSERT_TRUE(WaitProcessed());
  std::vector<int> expected = Range(0, 5);
  for (int p = 15; p < 30; ++p) expected.push_back(p);
  EXPECT_EQ(gDraws.Numbers(), expected);
}

TEST_P(DisplayH264PathTest, PictureLargerThanConfiguredIsLogged) {
  const std::filesystem::path dir = test::MakeUniqueTempDir("kvnet_display_log_");
  ASSERT_FALSE(dir.empty());
  const char* oldState = std::getenv("XDG_STATE_HOME");
  const std::string savedState = oldState != nullptr ? oldState : "";
  setenv("XDG_STATE_HOME", dir.c_str(), 1);

  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 4, 4, 10, 3'000'000});
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 160, 120, GetParam()));
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, s.frames.size()));
  if (GetParam()) {
    // libavcodec: the worker ends at the first such picture.
    EXPECT_EQ(display_.WaitForEnd(8000), platform::kWaitObject0);
  } else {
    // Platform decoder: the rest of that frame is dropped and the worker goes on.
    ASSERT_TRUE(WaitProcessed());
    EXPECT_TRUE(display_.IsRunning());
  }
  EXPECT_EQ(gDraws.draws.load(), 0);
  EXPECT_EQ(client_.m_counters.frameCount.load(), 0u);
  EXPECT_EQ(client_.m_decodedWidth.load(), 320);

  std::ifstream in(dir / "kvnet" / "kv_log.txt", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("device 10.1.2.3 decoder exception W: 320(160), H: 240(120)\r\n"),
            std::string::npos)
      << "log: " << text.str();

  if (savedState.empty()) {
    unsetenv("XDG_STATE_HOME");
  } else {
    setenv("XDG_STATE_HOME", savedState.c_str(), 1);
  }
  std::filesystem::remove_all(dir);
}

TEST_P(DisplayH264PathTest, FrameLargerThanTheBufferIsDroppedWithoutBlocking) {
  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 10, 4, 30, 3'000'000});
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 320, 240, GetParam()));
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, FirstFrameOf(s, 3)));
  // 1.5 MiB: more than the 1 MiB frame buffer, less than the conduit.
  std::vector<uint8_t> huge = test::RandomBytes(1536 * 1024, 5);
  huge[0] = huge[1] = huge[2] = 0;
  huge[3] = 1;
  huge[4] = 0x01;
  ASSERT_NO_FATAL_FAILURE(WriteFrame(huge, 3));
  ASSERT_NO_FATAL_FAILURE(Write(s, FirstFrameOf(s, 3), s.frames.size()));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 10; }))
      << "shown " << gDraws.draws.load();
  ASSERT_TRUE(WaitProcessed());
  EXPECT_EQ(gDraws.Numbers(), Range(0, 10));
  EXPECT_EQ(buffer_.GetFrameCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(BothDecoders, DisplayH264PathTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Avcodec" : "Platform"; });

TEST_F(DisplayWorkerTest, Mpeg4ViewBackOnDropsLongFramesUntilAHeader) {
  const EncodedStream s = test::EncodeMpeg4Xvid(320, 240, 10);
  // The first frame is stream headers, user data, then the first picture: cut it into a short
  // header frame and the picture.
  const std::vector<uint8_t>& first = s.frames[0];
  size_t userData = 0, picture = 0;
  for (size_t i = 0; i + 3 < first.size() && picture == 0; ++i) {
    if (first[i] == 0 && first[i + 1] == 0 && first[i + 2] == 1) {
      if (first[i + 3] == 0xB2 && userData == 0) userData = i;
      if (first[i + 3] == 0xB6) picture = i;
    }
  }
  ASSERT_GT(userData, 0u);
  ASSERT_GT(picture, userData);
  const std::vector<uint8_t> header(first.begin(), first.begin() + userData);
  const std::vector<uint8_t> intra(first.begin() + picture, first.end());
  ASSERT_LE(header.size(), 32u);

  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_MPEG4, 320, 240));
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, 4));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() == 4; }));
  StopView();
  ASSERT_NO_FATAL_FAILURE(Write(s, 4, 6));
  ASSERT_TRUE(WaitProcessed());
  client_.m_view = 1;
  ASSERT_GT(s.frames[6].size(), 32u);
  ASSERT_GT(s.frames[7].size(), 32u);
  ASSERT_NO_FATAL_FAILURE(Write(s, 6, 8));
  ASSERT_TRUE(WaitProcessed());
  EXPECT_EQ(gDraws.draws.load(), 4);
  ASSERT_NO_FATAL_FAILURE(WriteFrame(header));
  ASSERT_NO_FATAL_FAILURE(WriteFrame(intra));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 5; }));
  ASSERT_TRUE(WaitProcessed());
  EXPECT_EQ(gDraws.Numbers(), (std::vector<int>{0, 1, 2, 3, 0}));
}

// ---- MPEG-4 pictures that do not fit the configured size ----

// Configured size; whether the 320 x 240 stream fits the picture buffer made from it.
struct Mpeg4SizeCase {
  const char* name;
  int width, height;
  bool fits;
};

class DisplayMpeg4SizeTest : public DisplayWorkerTest,
                             public ::testing::WithParamInterface<Mpeg4SizeCase> {};

TEST_P(DisplayMpeg4SizeTest, PictureIsShownOnlyWhenItFitsTheBuffer) {
  const Mpeg4SizeCase& c = GetParam();
  const EncodedStream s = test::EncodeMpeg4Xvid(320, 240, 6);
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_MPEG4, c.width, c.height, true, 320, 240));
  const bool plausible = c.width > 0 && c.height > 0 && c.width <= 8192 && c.height <= 8192;
  EXPECT_EQ(client_.m_width.load(), plausible ? c.width : 1280);
  EXPECT_EQ(client_.m_height.load(), plausible ? c.height : 720);
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, s.frames.size()));
  if (c.fits) {
    ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 6; }));
  }
  ASSERT_TRUE(WaitProcessed());
  EXPECT_EQ(gDraws.Numbers(), c.fits ? Range(0, 6) : std::vector<int>{});
  EXPECT_EQ(client_.m_counters.frameCount.load(), c.fits ? 6u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, DisplayMpeg4SizeTest,
    ::testing::Values(Mpeg4SizeCase{"Smaller", 176, 144, false},
                      // Wide enough for the stride, too short for the picture's height.
                      Mpeg4SizeCase{"WideButShort", 352, 128, false},
                      // Larger: written with the configured width as the stride.
                      Mpeg4SizeCase{"Larger", 352, 288, true},
                      // Sizes no camera announces count as missing (1280 x 720), so a
                      // hostile description cannot size the buffer in gigabytes.
                      Mpeg4SizeCase{"Huge", 60000, 60000, true},
                      Mpeg4SizeCase{"BeyondEightK", 9000, 100, true},
                      Mpeg4SizeCase{"Negative", -320, 240, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Stopping the view while pictures flow ----

TEST_F(DisplayWorkerTest, NothingIsDrawnOnceStopViewReturns) {
  const EncodedStream s = EncodeMjpeg(320, 240, 8, TJSAMP_420);
  client_.m_frameRate = 0;  // MJPEG without pacing: pictures come as fast as they are fed
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_MJPEG, 320, 240));
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    for (size_t i = 0; feeding.load(); ++i) {
      const auto& f = s.frames[i % s.frames.size()];
      buffer_.Write(f.data(), static_cast<int32_t>(f.size()), 1, 0, 0);
      SleepMs(2);
    }
  });
  for (int round = 0; round < 15; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int before = gDraws.draws.load();
    ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= before + 2; }));
    StopView();
    const int atReturn = gDraws.draws.load();
    SleepMs(25);
    EXPECT_EQ(gDraws.draws.load(), atReturn);
    EXPECT_EQ(client_.m_drawing.load(), 0);
    client_.m_view = 1;
  }
  feeding = false;
  feeder.join();
}

// ---- Replay control ----

TEST_F(DisplayWorkerTest, ReplayStepLetsOnePictureThroughPerRequest) {
  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 10, 4, 30, 3'000'000});
  SetReplay(0, 2);
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 320, 240));
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, s.frames.size()));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 1; }));
  SleepMs(300);
  EXPECT_EQ(gDraws.draws.load(), 1);
  for (int step = 1; step <= 3; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    client_.m_stepRequest = 1;
    ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= step + 1; }));
    SleepMs(300);
    EXPECT_EQ(gDraws.draws.load(), step + 1);
    EXPECT_EQ(client_.m_stepRequest.load(), 0);
    // The replay time follows the time stamps of the frames shown.
    EXPECT_EQ(client_.m_curTime.load(), static_cast<uint32_t>(step));
  }
  EXPECT_EQ(gDraws.Numbers(), Range(0, 4));
  client_.m_replayState = 0;
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 10; }));
  ASSERT_TRUE(WaitProcessed());  // the replay time is set after the picture is drawn
  EXPECT_EQ(gDraws.Numbers(), Range(0, 10));
  EXPECT_EQ(client_.m_curTime.load(), 9u);
}

TEST_F(DisplayWorkerTest, ReplayPauseHoldsServesCapturesAndSeeksOnePicture) {
  std::mutex captureMutex;
  std::vector<int> captured;
  CAVDisplay::SetSnapshotHook([&](const char*, const SnapshotPicture& p) {
    std::lock_guard<std::mutex> lock(captureMutex);
    captured.push_back(test::ReadPictureNumber(p.y, p.yStride, p.width, p.height));
  });
  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 8, 4, 30, 3'000'000});
  SetReplay(0, 1);
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 320, 240));
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, s.frames.size()));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 1; }));
  SleepMs(300);
  EXPECT_EQ(gDraws.draws.load(), 1);

  // A capture asked for while paused is served with the picture on show.
  ASSERT_EQ(display_.RequestCapture("/nonexistent/unused.jpg"), 1);
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(captureMutex);
    return !captured.empty();
  }));
  {
    std::lock_guard<std::mutex> lock(captureMutex);
    EXPECT_EQ(captured, std::vector<int>{0});
  }

  // Seek while paused: the worker waits while the seek is pending, shows one picture from the
  // new position and holds again.
  client_.m_seekPending = 1;
  client_.m_seekWhilePaused = 1;
  SleepMs(150);
  EXPECT_EQ(gDraws.draws.load(), 1);
  client_.m_seekPending = 0;
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 2; }));
  SleepMs(400);
  EXPECT_EQ(gDraws.draws.load(), 2);
  EXPECT_EQ(client_.m_seekWhilePaused.load(), 0);
  EXPECT_EQ(client_.m_curTime.load(), 1u);

  client_.m_replayState = 0;
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 8; }));
  EXPECT_EQ(gDraws.Numbers(), Range(0, 8));
}

TEST_F(DisplayWorkerTest, ReplaySpeedScalesThePictureRate) {
  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 40, 1, 40, 1'000'000});
  // A low frame rate leaves room for decoding at four times the rate on a loaded machine.
  client_.m_frameRate = 10;
  SetReplay(0, 0);
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 320, 240));
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, s.frames.size()));
  // Speed 0: 6 intervals at 10 pictures per second (600 ms).
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 9; }));
  const double normal =
      std::chrono::duration<double>(gDraws.TimeOf(8) - gDraws.TimeOf(2)).count() / 6;
  client_.m_speed = 2;
  // Speed 2: four times the rate (500 ms for 20 intervals); measured well after the change.
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 34; }));
  const double fast =
      std::chrono::duration<double>(gDraws.TimeOf(33) - gDraws.TimeOf(13)).count() / 20;
  EXPECT_GE(normal, 0.08) << "speed 0 runs faster than the frame rate";
  EXPECT_GE(normal / fast, 2.5) << "interval " << normal * 1000 << " ms at speed 0, " << fast * 1000
                                << " ms at speed 2";
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 40; }));
  EXPECT_EQ(gDraws.Numbers(), Range(0, 40));
}

// ---- Live depth pacing ----

TEST_F(DisplayWorkerTest, LiveWorkerReadsOnlyWhatTheQueueDepthAllows) {
  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 4, 4, 30, 3'000'000});
  ASSERT_GE(s.frames.size(), 10u);
  client_.m_frameRate = 45;
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 320, 240));
  // Nothing queued: the worker counts the queue but never reads.
  ASSERT_TRUE(WaitFor([&] { return counting_.frameCountCalls.load() >= 5; }));
  SleepMs(100);
  EXPECT_EQ(counting_.readCalls.load(), 0);
  EXPECT_EQ(client_.m_framesWaiting.load(), 0);
  EXPECT_EQ(client_.m_frameRate.load(), 30);

  // A pre-buffer depth of 20 (as a source sets for a low-rate stream): an emptied conduit is
  // refilled to half that depth before reading resumes.
  client_.m_preBufferDepth = 20;
  int polls = counting_.frameCountCalls.load();
  ASSERT_TRUE(WaitFor([&] { return counting_.frameCountCalls.load() >= polls + 3; }));
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, 9));
  polls = counting_.frameCountCalls.load();
  ASSERT_TRUE(WaitFor([&] { return counting_.frameCountCalls.load() >= polls + 5; }));
  EXPECT_EQ(counting_.readCalls.load(), 0);
  EXPECT_EQ(client_.m_framesWaiting.load(), 9);
  ASSERT_NO_FATAL_FAILURE(Write(s, 9, 10));
  // Ten waiting: read down to one frame, which is held back again.
  ASSERT_TRUE(WaitFor([&] { return counting_.framesRead.load() >= 9; }));
  polls = counting_.frameCountCalls.load();
  ASSERT_TRUE(WaitFor([&] { return counting_.frameCountCalls.load() >= polls + 5; }));
  EXPECT_EQ(counting_.framesRead.load(), 9);
  EXPECT_EQ(client_.m_framesWaiting.load(), 1);
  EXPECT_EQ(buffer_.GetFrameCount(), 1);
}

}  // namespace
}  // namespace kv
