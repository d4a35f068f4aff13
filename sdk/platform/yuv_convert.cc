// XviD's converters read one contiguous YV12 picture whose luma stride is its width, so the
// decoder's planes are packed into that layout first. That happens a band of rows at a time,
// so the packed copy stays in the cache between the packing and the converter reading it.
#include "sdk/platform/yuv_convert.h"

#include <xvid.h>

#include <algorithm>
#include <cstring>

#include "sdk/platform/xvid_dec.h"

namespace kv::platform {

namespace {

int xvidColourSpace(PixelFormat format) {
  switch (format) {
    case PixelFormat::kUYVY:
      return XVID_CSP_UYVY;
    case PixelFormat::kRGB32:
      return XVID_CSP_BGRA;
    case PixelFormat::kRGB24:
      return XVID_CSP_BGR;
    case PixelFormat::kRGB565:
      return XVID_CSP_RGB565;
    case PixelFormat::kRGB555:
      return XVID_CSP_RGB555;
    default:
      return 0;
  }
}

template <int kBytes>
void mirrorRows(uint8_t* dst, int pitch, int width, int height) {
  for (int row = 0; row < height; ++row) {
    uint8_t* left = dst + static_cast<ptrdiff_t>(row) * pitch;
    uint8_t* right = left + static_cast<ptrdiff_t>(width - 1) * kBytes;
    for (; left < right; left += kBytes, right -= kBytes) {
      std::swap_ranges(left, left + kBytes, right);
    }
  }
}

// UYVY holds pixel pairs: the pairs change places and so do the two lumas of each pair.
void mirrorUyvyRows(uint8_t* dst, int pitch, int pairs, int height) {
  for (int row = 0; row < height; ++row) {
    uint8_t* line = dst + static_cast<ptrdiff_t>(row) * pitch;
    mirrorRows<4>(line, pitch, pairs, 1);
    for (int i = 0; i < pairs; ++i) std::swap(line[i * 4 + 1], line[i * 4 + 3]);
  }
}

}  // namespace

YuvConverter::YuvConverter() { XvidGlobalInit(); }

void YuvConverter::packBand(const uint8_t* y, const uint8_t* u, const uint8_t* v, int yStride,
                            int uvStride, int width, int height, int blockWidth, int top,
                            int rows) {
  uint8_t* packedY = m_packed.data();
  uint8_t* packedV = packedY + static_cast<size_t>(blockWidth) * rows;
  uint8_t* packedU = packedV + static_cast<size_t>(blockWidth / 2) * (rows / 2);
  for (int row = 0; row < rows; ++row) {
    const uint8_t* from = y + static_cast<ptrdiff_t>(std::min(top + row, height - 1)) * yStride;
    uint8_t* to = packedY + static_cast<size_t>(row) * blockWidth;
    std::memcpy(to, from, width);
    std::memset(to + width, from[width - 1], blockWidth - width);
  }
  const int chromaWidth = (width + 1) / 2;
  const int chromaRows = (height + 1) / 2;
  const int blockChroma = blockWidth / 2;
  for (int row = 0; row < rows / 2; ++row) {
    const ptrdiff_t at = static_cast<ptrdiff_t>(std::min(top / 2 + row, chromaRows - 1)) * uvStride;
    uint8_t* toU = packedU + static_cast<size_t>(row) * blockChroma;
    uint8_t* toV = packedV + static_cast<size_t>(row) * blockChroma;
    std::memcpy(toU, u + at, chromaWidth);
    std::memcpy(toV, v + at, chromaWidth);
    std::memset(toU + chromaWidth, u[at + chromaWidth - 1], blockChroma - chromaWidth);
    std::memset(toV + chromaWidth, v[at + chromaWidth - 1], blockChroma - chromaWidth);
  }
}

bool YuvConverter::convertBand(int blockWidth, int rows, int csp, bool flip, uint8_t* dst,
                               int dstPitch) {
  xvid_gbl_convert_t convert{};
  convert.version = XVID_VERSION;
  convert.input.csp = XVID_CSP_YV12;
  convert.input.plane[0] = m_packed.data();
  convert.input.stride[0] = blockWidth;
  convert.output.csp = csp | (flip ? XVID_CSP_VFLIP : 0);
  convert.output.plane[0] = dst;
  convert.output.stride[0] = dstPitch;
  convert.width = blockWidth;
  convert.height = rows;
  convert.interlacing = 0;
  return xvid_global(nullptr, XVID_GBL_CONVERT, &convert, nullptr) >= 0;
}

bool YuvConverter::Convert(const uint8_t* y, const uint8_t* u, const uint8_t* v, int yStride,
                           int uvStride, int width, int height, PixelFormat format, uint8_t* dst,
                           int dstPitch, bool flip, bool mirror) {
  const int csp = xvidColourSpace(format);
  if (csp == 0 || y == nullptr || u == nullptr || v == nullptr || dst == nullptr || width <= 0 ||
      height <= 0 || yStride < width || uvStride < (width + 1) / 2) {
    return false;
  }
  // The converters work on whole 16-pixel blocks (their block loops misbehave on narrower
  // rows) and row pairs: each band is widened to whole blocks and an even height by repeating
  // its last column and row. Surface memory has room for the widening.
  const int blockWidth = (width + 15) & ~15;
  const int evenWidth = (width + 1) & ~1;
  const int bpp = BytesPerPixel(format);
  if (dstPitch < blockWidth * bpp) return false;
  const size_t lumaBytes = static_cast<size_t>(blockWidth) * kBandRows;
  const size_t chromaBytes = lumaBytes / 4;
  // Slack after the planes: the block converters may read a little past the last row.
  m_packed.resize(lumaBytes + 2 * chromaBytes + 64);
  for (int top = 0; top < height; top += kBandRows) {
    const int rows = std::min(kBandRows, height - top);
    const int evenRows = (rows + 1) & ~1;
    packBand(y, u, v, yStride, uvStride, width, height, blockWidth, top, evenRows);
    // A flipped picture fills the surface from the bottom up.
    const int dstTop = flip ? height - top - rows : top;
    uint8_t* out = dst + static_cast<ptrdiff_t>(dstTop) * dstPitch;
    if (evenRows == rows) {
      if (!convertBand(blockWidth, evenRows, csp, flip, out, dstPitch)) return false;
      continue;
    }
    // The last band of an odd height: its padding row must not land outside the picture,
    // so the band is converted aside and only its real rows are copied in.
    m_scratch.resize(static_cast<size_t>(dstPitch) * evenRows);
    if (!convertBand(blockWidth, evenRows, csp, flip, m_scratch.data(), dstPitch)) return false;
    const uint8_t* from = m_scratch.data() + (flip ? dstPitch : 0);
    std::memcpy(out, from, static_cast<size_t>(dstPitch) * rows);
  }

  if (mirror) {
    switch (format) {
      case PixelFormat::kUYVY:
        mirrorUyvyRows(dst, dstPitch, evenWidth / 2, height);
        break;
      case PixelFormat::kRGB32:
        mirrorRows<4>(dst, dstPitch, width, height);
        break;
      case PixelFormat::kRGB24:
        mirrorRows<3>(dst, dstPitch, width, height);
        break;
      default:
        mirrorRows<2>(dst, dstPitch, width, height);
        break;
    }
  }
  return true;
}

}  // namespace kv::platform
