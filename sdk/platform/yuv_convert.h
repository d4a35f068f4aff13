// Planar 4:2:0 pictures into packed surface memory (UYVY and 32-, 24-, 16-bit RGB) through
// XviD's colour-space converters (BT.601), with vertical flip and horizontal mirror.
#pragma once

#include <cstdint>
#include <vector>

#include "sdk/platform/surface.h"

namespace kv::platform {

class YuvConverter {
 public:
  // Initialises XviD's converter tables (once per process).
  YuvConverter();

  // Converts width x height pixels. dst must hold the width rounded up to 16 pixels and the
  // height rounded up to 2 rows (surface memory does). flip turns the picture upside down,
  // mirror left to right; both together rotate it by 180 degrees. False for kUnknown, bad
  // sizes or a converter failure.
  bool Convert(const uint8_t* y, const uint8_t* u, const uint8_t* v, int yStride, int uvStride,
               int width, int height, PixelFormat format, uint8_t* dst, int dstPitch, bool flip,
               bool mirror);

 private:
  static constexpr int kBandRows = 16;  // even, so every band starts on a chroma row

  // Packs rows [top, top + rows) (rows even; rows past the picture repeat its last row).
  void packBand(const uint8_t* y, const uint8_t* u, const uint8_t* v, int yStride, int uvStride,
                int width, int height, int blockWidth, int top, int rows);
  bool convertBand(int blockWidth, int rows, int csp, bool flip, uint8_t* dst, int dstPitch);

  std::vector<uint8_t> m_packed;   // one band as the converters read it (YV12, no padding)
  std::vector<uint8_t> m_scratch;  // the last band of an odd height, before its rows go in
};

}  // namespace kv::platform
