// A synthetic I420 test picture (eight colour bars and a grey block near the top-left
// corner) and the comparison of a shown window against it, stretched to the window's size.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sdk/platform/surface_headless.h"

namespace kv::test {

struct I420Picture {
  int width = 0;
  int height = 0;
  int yStride = 0;
  int uvStride = 0;
  std::vector<uint8_t> y, u, v;
};

struct Yuv {
  uint8_t y, u, v;
};

// BT.601 studio-range bars: white, yellow, cyan, green, magenta, red, blue, black.
inline constexpr Yuv kBars[8] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                                 {106, 202, 222}, {81, 90, 240},  {41, 240, 110}, {16, 128, 128}};
inline constexpr Yuv kBlock = {126, 128, 128};

// Bars across the width; a grey block from (w/16, h/16) of size w/4 x h/4 (even edges).
// Strides are wider than the picture to catch stride mistakes.
inline I420Picture MakeTestPicture(int width, int height) {
  I420Picture p;
  p.width = width;
  p.height = height;
  p.yStride = width + 24;
  p.uvStride = (width + 1) / 2 + 12;
  p.y.assign(static_cast<size_t>(p.yStride) * height, 0);
  p.u.assign(static_cast<size_t>(p.uvStride) * ((height + 1) / 2), 0);
  p.v.assign(p.u.size(), 0);
  const int bx0 = (width / 16) & ~1, by0 = (height / 16) & ~1;
  const int bx1 = bx0 + ((width / 4) & ~1), by1 = by0 + ((height / 4) & ~1);
  auto colourAt = [&](int x, int y) {
    if (x >= bx0 && x < bx1 && y >= by0 && y < by1) return kBlock;
    return kBars[std::min(7, ((x & ~1) * 8) / width)];
  };
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Yuv c = colourAt(x, y);
      p.y[static_cast<size_t>(y) * p.yStride + x] = c.y;
      if ((x & 1) == 0 && (y & 1) == 0) {
        p.u[static_cast<size_t>(y / 2) * p.uvStride + x / 2] = c.u;
        p.v[static_cast<size_t>(y / 2) * p.uvStride + x / 2] = c.v;
      }
    }
  }
  return p;
}

inline platform::Rgb YuvToRgb(uint8_t y, uint8_t u, uint8_t v) {
  auto clamp = [](double x) { return static_cast<uint8_t>(std::clamp(std::lround(x), 0L, 255L)); };
  const double c = 1.164 * (y - 16);
  return platform::Rgb{clamp(c + 1.596 * (v - 128)),
                       clamp(c - 0.391 * (u - 128) - 0.813 * (v - 128)),
                       clamp(c + 2.018 * (u - 128))};
}

// The colour the picture has at (x, y), from its own planes.
inline platform::Rgb PictureRgb(const I420Picture& p, int x, int y) {
  return YuvToRgb(p.y[static_cast<size_t>(y) * p.yStride + x],
                  p.u[static_cast<size_t>(y / 2) * p.uvStride + x / 2],
                  p.v[static_cast<size_t>(y / 2) * p.uvStride + x / 2]);
}

enum class Transform { kNone, kFlip, kRotate180, kMirror };

struct CompareResult {
  int compared = 0;
  int mismatched = 0;
  int worst = 0;
  int firstBadX = -1;
  int firstBadY = -1;
};

// Compares every window pixel whose neighbourhood in the picture (after the transform) has
// one colour; pixels near a colour edge are skipped, since the stretch blends them.
inline CompareResult CompareWithPicture(const platform::PresentedImage& shown, const I420Picture& p,
                                        Transform transform, int tolerance) {
  CompareResult result;
  const double sx = static_cast<double>(p.width) / shown.width;
  const double sy = static_cast<double>(p.height) / shown.height;
  const int rx = static_cast<int>(std::ceil(sx)) + 2;
  const int ry = static_cast<int>(std::ceil(sy)) + 2;
  auto source = [&](int x, int y) {
    int px = x, py = y;
    if (transform == Transform::kFlip || transform == Transform::kRotate180) py = p.height - 1 - y;
    if (transform == Transform::kRotate180 || transform == Transform::kMirror) px = p.width - 1 - x;
    return PictureRgb(p, px, py);
  };
  auto same = [](platform::Rgb a, platform::Rgb b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
  };
  for (int y = 0; y < shown.height; ++y) {
    for (int x = 0; x < shown.width; ++x) {
      const int cx = static_cast<int>((x + 0.5) * sx);
      const int cy = static_cast<int>((y + 0.5) * sy);
      const platform::Rgb expected = source(cx, cy);
      bool uniform = true;
      for (int dy = -ry; dy <= ry && uniform; ++dy) {
        for (int dx = -rx; dx <= rx && uniform; ++dx) {
          const int qx = std::clamp(cx + dx, 0, p.width - 1);
          const int qy = std::clamp(cy + dy, 0, p.height - 1);
          uniform = same(source(qx, qy), expected);
        }
      }
      if (!uniform) continue;
      ++result.compared;
      const platform::Rgb got = shown.At(x, y);
      const int diff = std::max({std::abs(got.r - expected.r), std::abs(got.g - expected.g),
                                 std::abs(got.b - expected.b)});
      result.worst = std::max(result.worst, diff);
      if (diff > tolerance) {
        if (result.mismatched++ == 0) {
          result.firstBadX = x;
          result.firstBadY = y;
        }
      }
    }
  }
  return result;
}

}  // namespace kv::test
