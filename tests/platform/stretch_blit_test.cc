// The stretch blitter scales the display formats a band of rows at a time. Every band must
// give exactly the rows a scale of the whole picture gives: compared here against libyuv
// scaling the whole noise picture in one call, for shrinking ratios with short and long
// periods, a ratio without a period, and enlarging.
#include "sdk/platform/stretch_blit.h"

#include <gtest/gtest.h>
#include <libyuv/convert_argb.h>
#include <libyuv/convert_from.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>

#include <cstring>
#include <random>
#include <vector>

namespace kv::platform {
namespace {

struct Sizes {
  int srcWidth, srcHeight, dstWidth, dstHeight;
};

std::vector<uint8_t> Noise(size_t bytes, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> out(bytes);
  for (auto& b : out) b = static_cast<uint8_t>(random());
  return out;
}

// The whole picture in one go: planar 4:2:2, scaled, converted.
std::vector<uint8_t> WholeUyvy(const std::vector<uint8_t>& uyvy, const Sizes& s,
                               PixelFormat dstFormat, int dstPitch) {
  const int sc = (s.srcWidth + 1) / 2, dc = (s.dstWidth + 1) / 2;
  std::vector<uint8_t> y(static_cast<size_t>(s.srcWidth) * s.srcHeight);
  std::vector<uint8_t> u(static_cast<size_t>(sc) * s.srcHeight), v(u.size());
  std::vector<uint8_t> dy(static_cast<size_t>(s.dstWidth) * s.dstHeight);
  std::vector<uint8_t> du(static_cast<size_t>(dc) * s.dstHeight), dv(du.size());
  libyuv::UYVYToI422(uyvy.data(), s.srcWidth * 2, y.data(), s.srcWidth, u.data(), sc, v.data(), sc,
                     s.srcWidth, s.srcHeight);
  libyuv::I422Scale(y.data(), s.srcWidth, u.data(), sc, v.data(), sc, s.srcWidth, s.srcHeight,
                    dy.data(), s.dstWidth, du.data(), dc, dv.data(), dc, s.dstWidth, s.dstHeight,
                    libyuv::kFilterBilinear);
  std::vector<uint8_t> out(static_cast<size_t>(dstPitch) * s.dstHeight);
  if (dstFormat == PixelFormat::kUYVY) {
    libyuv::I422ToUYVY(dy.data(), s.dstWidth, du.data(), dc, dv.data(), dc, out.data(), dstPitch,
                       s.dstWidth, s.dstHeight);
  } else {
    libyuv::I422ToARGB(dy.data(), s.dstWidth, du.data(), dc, dv.data(), dc, out.data(), dstPitch,
                       s.dstWidth, s.dstHeight);
  }
  return out;
}

std::vector<uint8_t> WholeRgb(const std::vector<uint8_t>& argb, const Sizes& s, int dstPitch) {
  const size_t srcPlane = static_cast<size_t>(s.srcWidth) * s.srcHeight;
  const size_t dstPlane = static_cast<size_t>(s.dstWidth) * s.dstHeight;
  std::vector<uint8_t> planes(3 * srcPlane), scaled(3 * dstPlane);
  libyuv::SplitARGBPlane(argb.data(), s.srcWidth * 4, planes.data(), s.srcWidth,
                         planes.data() + srcPlane, s.srcWidth, planes.data() + 2 * srcPlane,
                         s.srcWidth, nullptr, 0, s.srcWidth, s.srcHeight);
  for (int p = 0; p < 3; ++p) {
    libyuv::ScalePlane(planes.data() + p * srcPlane, s.srcWidth, s.srcWidth, s.srcHeight,
                       scaled.data() + p * dstPlane, s.dstWidth, s.dstWidth, s.dstHeight,
                       libyuv::kFilterBilinear);
  }
  std::vector<uint8_t> out(static_cast<size_t>(dstPitch) * s.dstHeight);
  libyuv::MergeARGBPlane(scaled.data(), s.dstWidth, scaled.data() + dstPlane, s.dstWidth,
                         scaled.data() + 2 * dstPlane, s.dstWidth, nullptr, 0, out.data(), dstPitch,
                         s.dstWidth, s.dstHeight);
  return out;
}

// Index of the first differing destination row, or -1.
int FirstDifferentRow(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int pitch,
                      int rowBytes, int rows) {
  for (int row = 0; row < rows; ++row) {
    if (std::memcmp(a.data() + static_cast<size_t>(row) * pitch,
                    b.data() + static_cast<size_t>(row) * pitch, rowBytes) != 0) {
      return row;
    }
  }
  return -1;
}

const Sizes kSizes[] = {
    {1920, 1080, 960, 540},  // 2:1, the common half-size view
    {1280, 720, 960, 540},   // 4:3
    {704, 576, 640, 480},    // 6:5 across, 6:5 down
    {704, 576, 352, 200},    // 72:25 down: a long period
    {704, 576, 352, 144},    // 4:1
    {1024, 1024, 96, 32},    // 32:1 down: one destination row per band
    {1280, 720, 960, 180},   // 4:1 down, 4:3 across
    {720, 480, 640, 360},    // 4:3 down only
    {1920, 1080, 961, 541},  // no short period: one band
    {640, 480, 636, 479},    // nearly the same size
    {352, 288, 960, 540},    // enlarging
};

TEST(StretchBlitTest, UyvyBandsMatchTheWholePicture) {
  for (const Sizes& s : kSizes) {
    const auto src = Noise(static_cast<size_t>(s.srcWidth) * 2 * s.srcHeight, s.srcWidth);
    for (PixelFormat dstFormat : {PixelFormat::kUYVY, PixelFormat::kRGB32}) {
      const int bpp = BytesPerPixel(dstFormat);
      const int pitch = (s.dstWidth * bpp + 15) & ~15;
      std::vector<uint8_t> got(static_cast<size_t>(pitch) * s.dstHeight, 0);
      StretchBlitter blitter;
      const PixelRect from{src.data(), s.srcWidth * 2, s.srcWidth, s.srcHeight, PixelFormat::kUYVY};
      ASSERT_TRUE(blitter.Blit(from, got.data(), pitch, s.dstWidth, s.dstHeight, dstFormat));
      const auto want = WholeUyvy(src, s, dstFormat, pitch);
      EXPECT_EQ(FirstDifferentRow(got, want, pitch, s.dstWidth * bpp, s.dstHeight), -1)
          << s.srcWidth << "x" << s.srcHeight << " -> " << s.dstWidth << "x" << s.dstHeight
          << " format " << static_cast<int>(dstFormat);
    }
  }
}

TEST(StretchBlitTest, Rgb32BandsMatchTheWholePicture) {
  for (const Sizes& s : kSizes) {
    const auto src = Noise(static_cast<size_t>(s.srcWidth) * 4 * s.srcHeight, s.srcHeight);
    const int pitch = s.dstWidth * 4;
    std::vector<uint8_t> got(static_cast<size_t>(pitch) * s.dstHeight, 0);
    StretchBlitter blitter;
    const PixelRect from{src.data(), s.srcWidth * 4, s.srcWidth, s.srcHeight, PixelFormat::kRGB32};
    ASSERT_TRUE(
        blitter.Blit(from, got.data(), pitch, s.dstWidth, s.dstHeight, PixelFormat::kRGB32));
    const auto want = WholeRgb(src, s, pitch);
    EXPECT_EQ(FirstDifferentRow(got, want, pitch, pitch, s.dstHeight), -1)
        << s.srcWidth << "x" << s.srcHeight << " -> " << s.dstWidth << "x" << s.dstHeight;
  }
}

// One blitter reused across sizes (as a renderer does when the window changes) gives the same
// rows as a fresh one: its scratch is carved anew for each size.
TEST(StretchBlitTest, ReusedBlitterFollowsSizeChanges) {
  StretchBlitter reused;
  for (const Sizes& s : kSizes) {
    const auto src = Noise(static_cast<size_t>(s.srcWidth) * 2 * s.srcHeight, 7);
    const int pitch = s.dstWidth * 4;
    std::vector<uint8_t> a(static_cast<size_t>(pitch) * s.dstHeight, 0), b(a.size(), 0);
    const PixelRect from{src.data(), s.srcWidth * 2, s.srcWidth, s.srcHeight, PixelFormat::kUYVY};
    ASSERT_TRUE(reused.Blit(from, a.data(), pitch, s.dstWidth, s.dstHeight, PixelFormat::kRGB32));
    StretchBlitter fresh;
    ASSERT_TRUE(fresh.Blit(from, b.data(), pitch, s.dstWidth, s.dstHeight, PixelFormat::kRGB32));
    EXPECT_EQ(a, b) << s.srcWidth << "x" << s.srcHeight << " -> " << s.dstWidth << "x"
                    << s.dstHeight;
  }
}

}  // namespace
}  // namespace kv::platform
