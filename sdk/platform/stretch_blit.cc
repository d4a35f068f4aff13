// Stretch blits through libswscale; the scaler is cached per blitter and rebuilt only when
// the sizes or formats change.
#include "sdk/platform/stretch_blit.h"

#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
}

namespace kv::platform {

namespace {

AVPixelFormat avFormat(PixelFormat format) {
  switch (format) {
    case PixelFormat::kUYVY:
      return AV_PIX_FMT_UYVY422;
    case PixelFormat::kRGB32:
      return AV_PIX_FMT_BGR0;
    case PixelFormat::kRGB24:
      return AV_PIX_FMT_BGR24;
    case PixelFormat::kRGB565:
      return AV_PIX_FMT_RGB565LE;
    case PixelFormat::kRGB555:
      return AV_PIX_FMT_RGB555LE;
    default:
      return AV_PIX_FMT_NONE;
  }
}

}  // namespace

StretchBlitter::~StretchBlitter() { sws_freeContext(context_); }

bool StretchBlitter::Blit(const PixelRect& src, uint8_t* dstBits, int dstPitch, int dstWidth,
                          int dstHeight, PixelFormat dstFormat) {
  const AVPixelFormat srcAv = avFormat(src.format);
  const AVPixelFormat dstAv = avFormat(dstFormat);
  if (srcAv == AV_PIX_FMT_NONE || dstAv == AV_PIX_FMT_NONE || src.bits == nullptr ||
      dstBits == nullptr || src.width <= 0 || src.height <= 0 || dstWidth <= 0 || dstHeight <= 0) {
    return false;
  }
  if (src.format == dstFormat && src.width == dstWidth && src.height == dstHeight) {
    const size_t rowBytes = static_cast<size_t>(dstWidth) * BytesPerPixel(dstFormat);
    for (int row = 0; row < dstHeight; ++row) {
      std::memmove(dstBits + static_cast<ptrdiff_t>(row) * dstPitch,
                   src.bits + static_cast<ptrdiff_t>(row) * src.pitch, rowBytes);
    }
    return true;
  }
  context_ = sws_getCachedContext(context_, src.width, src.height, srcAv, dstWidth, dstHeight,
                                  dstAv, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (context_ == nullptr) return false;
  const uint8_t* const srcPlanes[4] = {src.bits, nullptr, nullptr, nullptr};
  const int srcStrides[4] = {src.pitch, 0, 0, 0};
  uint8_t* const dstPlanes[4] = {dstBits, nullptr, nullptr, nullptr};
  const int dstStrides[4] = {dstPitch, 0, 0, 0};
  return sws_scale(context_, srcPlanes, srcStrides, 0, src.height, dstPlanes, dstStrides) ==
         dstHeight;
}

}  // namespace kv::platform
