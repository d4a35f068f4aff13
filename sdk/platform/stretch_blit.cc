// Stretch blits. RGB32 and UYVY (the display path's formats) go through libyuv's bilinear
// plane scaler: RGB32 is split into B, G and R planes, UYVY into planar 4:2:2; the planes are
// scaled one by one and packed or converted at the target size. Every other pair goes through
// libswscale, whose scaler is cached per blitter and rebuilt only when the sizes or formats change.
#include "sdk/platform/stretch_blit.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

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

// Plane rows start on 64-byte boundaries so the SIMD row functions run on aligned data.
int alignedStride(int width) { return (width + 63) & ~63; }

// Three planes inside the scratch buffer: a full-width first plane and two planes of
// secondWidth (half the width for 4:2:2, the full width for the colour planes of RGB).
struct Planes3 {
  uint8_t* p0;
  uint8_t* p1;
  uint8_t* p2;
  int stride0;
  int stride12;
};

size_t planeBytes(int width, int secondWidth, int height) {
  return (static_cast<size_t>(alignedStride(width)) +
          2 * static_cast<size_t>(alignedStride(secondWidth))) *
         static_cast<size_t>(height);
}

Planes3 carvePlanes(uint8_t* base, int width, int secondWidth, int height) {
  Planes3 p;
  p.stride0 = alignedStride(width);
  p.stride12 = alignedStride(secondWidth);
  p.p0 = base;
  p.p1 = p.p0 + static_cast<size_t>(p.stride0) * height;
  p.p2 = p.p1 + static_cast<size_t>(p.stride12) * height;
  return p;
}

// Rows per band. When shrinking by srcRows:dstRows = q:p in lowest terms, a band of q*m
// source rows makes exactly the p*m destination rows the whole picture would, provided the
// sampling step (q/p in 16.16 fixed point) is exact, that is p is a power of two: the
// positions then repeat every q rows and no destination row reads past its band. libyuv's
// 3:4 scaler works on groups of four rows, so it bands too. The picture is then scaled a
// band at a time and the intermediate planes stay in the cache; anything else is one band.
struct Bands {
  int srcRows;
  int dstRows;
};

Bands bandsFor(int srcWidth, int srcHeight, int dstWidth, int dstHeight) {
  constexpr int kTargetRows = 32;
  const Bands whole{srcHeight, dstHeight};
  if (dstHeight > srcHeight) return whole;
  const int common = std::gcd(srcHeight, dstHeight);
  const int q = srcHeight / common, p = dstHeight / common;
  const bool threeQuarters = 4 * dstWidth == 3 * srcWidth && p == 3 && q == 4;
  if (q > kTargetRows || (!std::has_single_bit(static_cast<unsigned>(p)) && !threeQuarters)) {
    return whole;
  }
  const int m = std::max(1, kTargetRows / q);
  return {std::min(srcHeight, q * m), std::min(dstHeight, p * m)};
}

// One band: into planes, scaled plane by plane, packed or converted into the destination.
bool blitBand(const uint8_t* in, int inPitch, int srcWidth, int srcRows, bool rgb,
              const Planes3& from, const Planes3& to, uint8_t* out, int outPitch, int dstWidth,
              int dstRows, PixelFormat dstFormat) {
  if (rgb) {
    // Planes B, G, R in memory order; the unused fourth byte is written as 0xFF.
    libyuv::SplitARGBPlane(in, inPitch, from.p2, from.stride12, from.p1, from.stride12, from.p0,
                           from.stride0, nullptr, 0, srcWidth, srcRows);
    libyuv::ScalePlane(from.p0, from.stride0, srcWidth, srcRows, to.p0, to.stride0, dstWidth,
                       dstRows, libyuv::kFilterBilinear);
    libyuv::ScalePlane(from.p1, from.stride12, srcWidth, srcRows, to.p1, to.stride12, dstWidth,
                       dstRows, libyuv::kFilterBilinear);
    libyuv::ScalePlane(from.p2, from.stride12, srcWidth, srcRows, to.p2, to.stride12, dstWidth,
                       dstRows, libyuv::kFilterBilinear);
    libyuv::MergeARGBPlane(to.p2, to.stride12, to.p1, to.stride12, to.p0, to.stride0, nullptr, 0,
                           out, outPitch, dstWidth, dstRows);
    return true;
  }
  if (libyuv::UYVYToI422(in, inPitch, from.p0, from.stride0, from.p1, from.stride12, from.p2,
                         from.stride12, srcWidth, srcRows) != 0 ||
      libyuv::I422Scale(from.p0, from.stride0, from.p1, from.stride12, from.p2, from.stride12,
                        srcWidth, srcRows, to.p0, to.stride0, to.p1, to.stride12, to.p2,
                        to.stride12, dstWidth, dstRows, libyuv::kFilterBilinear) != 0) {
    return false;
  }
  if (dstFormat == PixelFormat::kUYVY) {
    return libyuv::I422ToUYVY(to.p0, to.stride0, to.p1, to.stride12, to.p2, to.stride12, out,
                              outPitch, dstWidth, dstRows) == 0;
  }
  return libyuv::I422ToARGB(to.p0, to.stride0, to.p1, to.stride12, to.p2, to.stride12, out,
                            outPitch, dstWidth, dstRows) == 0;
}

}  // namespace

StretchBlitter::~StretchBlitter() { sws_freeContext(m_context); }

bool StretchBlitter::blitYuv(const PixelRect& src, uint8_t* dstBits, int dstPitch, int dstWidth,
                             int dstHeight, PixelFormat dstFormat) {
  // Negative pitches (bottom-up rows) stay with libswscale.
  if (src.pitch <= 0 || dstPitch <= 0) return false;
  const bool rgb = src.format == PixelFormat::kRGB32 && dstFormat == PixelFormat::kRGB32;
  const bool uyvy = src.format == PixelFormat::kUYVY &&
                    (dstFormat == PixelFormat::kUYVY || dstFormat == PixelFormat::kRGB32);
  if (!rgb && !uyvy) return false;
  if (src.width == dstWidth && src.height == dstHeight) {
    // Same size and format is the caller's plain copy; only UYVY -> RGB32 is left.
    if (!uyvy || dstFormat != PixelFormat::kRGB32) return false;
    return libyuv::UYVYToARGB(src.bits, src.pitch, dstBits, dstPitch, dstWidth, dstHeight) == 0;
  }
  // Both go through planes: libyuv's plane scaler keeps flat areas exact, its packed ARGB
  // scaler does not (its column filter darkens white to 253).
  const int srcSecond = rgb ? src.width : (src.width + 1) / 2;
  const int dstSecond = rgb ? dstWidth : (dstWidth + 1) / 2;
  const Bands band = bandsFor(src.width, src.height, dstWidth, dstHeight);
  const size_t srcBytes = planeBytes(src.width, srcSecond, band.srcRows);
  const size_t needed = srcBytes + planeBytes(dstWidth, dstSecond, band.dstRows);
  if (m_planes.size() < needed) m_planes.resize(needed);
  const Planes3 from = carvePlanes(m_planes.data(), src.width, srcSecond, band.srcRows);
  const Planes3 to = carvePlanes(m_planes.data() + srcBytes, dstWidth, dstSecond, band.dstRows);
  // The last band may be shorter (a whole number of periods all the same).
  for (int srcTop = 0, dstTop = 0; srcTop < src.height && dstTop < dstHeight;
       srcTop += band.srcRows, dstTop += band.dstRows) {
    const int srcRows = std::min(band.srcRows, src.height - srcTop);
    const int dstRows = std::min(band.dstRows, dstHeight - dstTop);
    const uint8_t* in = src.bits + static_cast<ptrdiff_t>(srcTop) * src.pitch;
    uint8_t* out = dstBits + static_cast<ptrdiff_t>(dstTop) * dstPitch;
    if (!blitBand(in, src.pitch, src.width, srcRows, rgb, from, to, out, dstPitch, dstWidth,
                  dstRows, dstFormat)) {
      return false;
    }
  }
  return true;
}

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
  if (blitYuv(src, dstBits, dstPitch, dstWidth, dstHeight, dstFormat)) return true;
  m_context = sws_getCachedContext(m_context, src.width, src.height, srcAv, dstWidth, dstHeight,
                                   dstAv, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (m_context == nullptr) return false;
  const uint8_t* const srcPlanes[4] = {src.bits, nullptr, nullptr, nullptr};
  const int srcStrides[4] = {src.pitch, 0, 0, 0};
  uint8_t* const dstPlanes[4] = {dstBits, nullptr, nullptr, nullptr};
  const int dstStrides[4] = {dstPitch, 0, 0, 0};
  return sws_scale(m_context, srcPlanes, srcStrides, 0, src.height, dstPlanes, dstStrides) ==
         dstHeight;
}

}  // namespace kv::platform
