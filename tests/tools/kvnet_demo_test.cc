// "kvnet demo": its exit status, the screenshots, recordings, sound file and snapshots it
// leaves, and the replay it shows.
#include <gtest/gtest.h>

#include "tests/tools/kvnet_harness.h"

namespace kv::kvnet_test {
namespace {

// Pixel statistics of a PNG decoded by cairo.
struct PngStats {
  int width = 0, height = 0;
  double lumaStdDev = 0;
  size_t colours = 0;
};

std::optional<PngStats> ReadPng(const fs::path& path) {
  cairo_surface_t* surface = cairo_image_surface_create_from_png(path.c_str());
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return std::nullopt;
  }
  cairo_surface_flush(surface);
  PngStats stats;
  stats.width = cairo_image_surface_get_width(surface);
  stats.height = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  std::set<uint32_t> colours;
  double sum = 0, sumSquares = 0;
  for (int y = 0; y < stats.height; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
    for (int x = 0; x < stats.width; ++x) {
      const uint32_t p = row[x] & 0xFFFFFF;
      colours.insert(p);
      const double luma = 0.299 * (p >> 16) + 0.587 * ((p >> 8) & 0xFF) + 0.114 * (p & 0xFF);
      sum += luma;
      sumSquares += luma * luma;
    }
  }
  cairo_surface_destroy(surface);
  const double n = double(stats.width) * stats.height;
  if (n > 0) stats.lumaStdDev = std::sqrt(std::max(0.0, sumSquares / n - (sum / n) * (sum / n)));
  stats.colours = colours.size();
  return stats;
}

TEST_F(KvnetTest, DemoExitsZeroAndLeavesScreenshotRecordingsAndSound) {
  const fs::path out = dir_.path() / "demo";
  // No display of our own: the demo must bring up Xvfb itself (or run headless without it).
  Child kvnet({KvnetBinary(), "demo", "--out", out.string()},
              {{"DISPLAY", nullptr}, {"KVNET_AUDIO_OUT", nullptr}}, dir_.path() / "demo.out");
  const std::optional<int> status = kvnet.Wait(milliseconds(40000));
  const std::string text = ReadFile(dir_.path() / "demo.out");
  ASSERT_TRUE(status.has_value()) << "kvnet demo did not end\n" << text;
  EXPECT_EQ(*status, 0) << text;
  EXPECT_NE(text.find("demo finished: ok"), std::string::npos) << text;
  EXPECT_NE(text.find("event: RECORD ALARM_REC_TIME_UP"), std::string::npos) << text;

  // The normal recording is replayed after the live run, at twice its speed, to its end.
  const size_t replayStart = text.find("demo: replaying " + (out / "demo-normal.rec").string());
  ASSERT_NE(replayStart, std::string::npos) << text;
  const int length = IndexLengthSeconds(out / "demo-normal.rec");
  EXPECT_GE(length, 5) << "an 8 s recording";
  const std::string replayText = text.substr(replayStart);
  EXPECT_NE(replayText.find("replay: speed level 1 (x2)"), std::string::npos) << text;
  const std::vector<Position> positions = Positions(replayText);
  ASSERT_GE(positions.size(), 2u) << text;
  for (const Position& p : positions) {
    EXPECT_EQ(p.length, length);
    EXPECT_LE(p.seconds, p.length);
  }
  EXPECT_EQ(positions.back().seconds, length) << text;
  EXPECT_EQ(CountOf(replayText, "event: REPLAY_END\n"), 1u) << text;
  EXPECT_NE(text.find("end event came"), std::string::npos) << text;

  EXPECT_GE(CheckRecordFile(out / "demo-normal.rec"), 1u);
  EXPECT_GE(CheckRecordFile(out / "demo-alarm.rec"), 1u);
  // One snapshot from the live view, one from the replay while it was paused.
  ExpectSnapshot(out / "demo-live.jpg", 352, 288);
  ExpectSnapshot(out / "demo-replay-paused.jpg", 352, 288);
  const size_t pausedShot =
      replayText.find("snapshot: " + (out / "demo-replay-paused.jpg").string());
  EXPECT_LT(pausedShot, replayText.find("replay: continue after the snapshot")) << text;
  const std::string wav = ReadFile(out / "demo-audio.wav");
  ASSERT_GE(wav.size(), 44u);
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_GT(wav.size(), 44u + 8000u) << "at least half a second of 8 kHz 16-bit sound";

  if (!OnPath("Xvfb")) {
    EXPECT_EQ(text.find("screenshot: /"), std::string::npos);
    GTEST_SKIP() << "Xvfb is not installed: the demo ran without a window";
  }
  const std::string png = ReadFile(out / "demo-window.png");
  ASSERT_GE(png.size(), 8u) << text;
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  const std::optional<PngStats> stats = ReadPng(out / "demo-window.png");
  ASSERT_TRUE(stats.has_value()) << "cairo cannot decode the screenshot";
  EXPECT_EQ(stats->width, 352);
  EXPECT_EQ(stats->height, 288);
  // The pattern has bars and digits: far from one flat colour (a black window would be 0).
  EXPECT_GT(stats->lumaStdDev, 20.0);
  EXPECT_GE(stats->colours, 6u);

  // The replay drew into the same window.
  const std::optional<PngStats> replayStats = ReadPng(out / "demo-replay.png");
  ASSERT_TRUE(replayStats.has_value()) << "no replay screenshot\n" << text;
  EXPECT_EQ(replayStats->width, 352);
  EXPECT_EQ(replayStats->height, 288);
  EXPECT_GT(replayStats->lumaStdDev, 20.0);
  EXPECT_GE(replayStats->colours, 6u);

  // The RTSP client's part: the device's motion reports arrive through the event connection.
  const size_t rtspStart = text.find("serves RTSP");
  ASSERT_NE(rtspStart, std::string::npos) << text;
  EXPECT_NE(text.find("event: MOTION regions 0x0024 (2 5)\n", rtspStart), std::string::npos)
      << text;
}

}  // namespace
}  // namespace kv::kvnet_test
