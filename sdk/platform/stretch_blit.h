// The stretch blit: scales a rectangle of packed pixels into another rectangle (bilinear),
// converting between the surface pixel formats on the way. Built on libyuv for the display
// path's formats (UYVY and 32-bit RGB) and on libswscale for the others.
#pragma once

#include <cstdint>
#include <vector>

#include "sdk/platform/surface.h"

struct SwsContext;

namespace kv::platform {

struct PixelRect {
  const uint8_t* bits = nullptr;  // top-left pixel of the rectangle
  int pitch = 0;
  int width = 0;
  int height = 0;
  PixelFormat format = PixelFormat::kUnknown;
};

class StretchBlitter {
 public:
  StretchBlitter() = default;
  ~StretchBlitter();
  StretchBlitter(const StretchBlitter&) = delete;
  StretchBlitter& operator=(const StretchBlitter&) = delete;

  // dst.bits is written through. Same size and format is a plain copy. False for unknown
  // formats, empty rectangles or a scaler that cannot be made.
  bool Blit(const PixelRect& src, uint8_t* dstBits, int dstPitch, int dstWidth, int dstHeight,
            PixelFormat dstFormat);

 private:
  // The libyuv path for RGB32 -> RGB32 and UYVY -> UYVY / RGB32. False when it does not
  // apply or libyuv refuses; the caller then goes through libswscale.
  bool blitYuv(const PixelRect& src, uint8_t* dstBits, int dstPitch, int dstWidth, int dstHeight,
               PixelFormat dstFormat);

  SwsContext* m_context = nullptr;
  // UYVY goes through planar 4:2:2: the source planes and the scaled planes live here. The
  // buffer only grows, so a steady picture size allocates once.
  std::vector<uint8_t> m_planes;
};

}  // namespace kv::platform
