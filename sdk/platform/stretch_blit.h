// The stretch blit: scales a rectangle of packed pixels into another rectangle (bilinear),
// converting between the surface pixel formats on the way. Built on libswscale.
#pragma once

#include <cstdint>

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
  SwsContext* context_ = nullptr;
};

}  // namespace kv::platform
