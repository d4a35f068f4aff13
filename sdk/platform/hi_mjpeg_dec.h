// The platform MJPEG decoder interface (create, decode one JPEG, destroy) that the decode loop
// calls, backed by libjpeg-turbo; every picture comes out as planar 4:2:0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::platform {

// Creation attributes: zeroes except the expected picture size.
struct MjpegDecAttributes {
  uint32_t reserved0;
  uint32_t reserved1;
  uint32_t width;
  uint32_t height;
  uint32_t reserved[4];
};
static_assert(offsetof(MjpegDecAttributes, width) == 8);
static_assert(offsetof(MjpegDecAttributes, height) == 12);

// A decoded picture in planar 4:2:0 (chroma (width + 1) / 2 by (height + 1) / 2); the planes
// belong to the decoder and stay valid until its next call.
struct MjpegDecPicture {
  const uint8_t* y;
  const uint8_t* u;
  const uint8_t* v;
  uint32_t width;
  uint32_t height;
  uint32_t yStride;
  uint32_t uvStride;
};

inline constexpr int32_t kMjpegDecOk = 0;
inline constexpr int32_t kMjpegDecBadStream = -1;    // not a JPEG, damaged or truncated
inline constexpr int32_t kMjpegDecUnsupported = -2;  // colour space or size we cannot show
inline constexpr int32_t kMjpegDecHandleError = -3;

// Pictures above this many pixels on a side are refused.
inline constexpr uint32_t kMjpegDecMaxSide = 8192;

struct HiMjpegDecoder;
using HiMjpegDecHandle = HiMjpegDecoder*;

HiMjpegDecHandle HiMJPEGDecCreate(const MjpegDecAttributes* attributes);

// Decodes one whole JPEG image. Returns kMjpegDecOk with the picture filled in.
int32_t HiMJPEGDecFrame(HiMjpegDecHandle handle, const uint8_t* stream, uint32_t length,
                        uint64_t timeStamp, MjpegDecPicture* picture, uint32_t flags);

void HiMJPEGDecDestroy(HiMjpegDecHandle handle);

}  // namespace kv::platform
