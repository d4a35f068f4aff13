// End-to-end tests of the decode worker: generated streams go through the video conduit, the
// worker decodes them and the headless window shows them. Pictures are identified by the
// number squares written into every slice, read back from the window's back surface at every
// present. Every codec path, view off and on, oversized pictures and frames.
#include "sdk/media/av_display.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sdk/platform/window_pixels.h"
#include "tests/media/display_worker_fixture.h"
#include "tests/support/temp_dir.h"

namespace kv {
namespace {

using namespace display_test;  // the shared test bench
using test::EncodedStream;

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

}  // namespace
}  // namespace kv
