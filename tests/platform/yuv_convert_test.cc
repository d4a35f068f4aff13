// The converter packs and converts a band of rows at a time. Whatever the size, every row must
// equal XviD converting the whole picture in one call (upright; flipped pictures are the same
// rows in reverse order), and nothing is written past the rows the picture owns.
#include "sdk/platform/yuv_convert.h"

#include <gtest/gtest.h>
#include <xvid.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "sdk/platform/xvid_dec.h"

namespace kv::platform {
namespace {

struct Picture {
  int width, height, yStride, uvStride;
  std::vector<uint8_t> y, u, v;
};

Picture Noise(int width, int height, unsigned seed) {
  Picture p{width, height, width + 5, (width + 1) / 2 + 3, {}, {}, {}};
  std::mt19937 random(seed);
  p.y.resize(static_cast<size_t>(p.yStride) * height);
  p.u.resize(static_cast<size_t>(p.uvStride) * ((height + 1) / 2));
  p.v.resize(p.u.size());
  for (auto* plane : {&p.y, &p.u, &p.v}) {
    for (auto& b : *plane) b = static_cast<uint8_t>(random());
  }
  return p;
}

int Csp(PixelFormat format) {
  switch (format) {
    case PixelFormat::kUYVY:
      return XVID_CSP_UYVY;
    case PixelFormat::kRGB32:
      return XVID_CSP_BGRA;
    case PixelFormat::kRGB24:
      return XVID_CSP_BGR;
    case PixelFormat::kRGB565:
      return XVID_CSP_RGB565;
    default:
      return XVID_CSP_RGB555;
  }
}

// XviD on the whole picture, laid out as its converter wants: 16-pixel blocks, even rows.
std::vector<uint8_t> Whole(const Picture& p, PixelFormat format, int pitch) {
  const int bw = (p.width + 15) & ~15, eh = (p.height + 1) & ~1, cw = (p.width + 1) / 2;
  std::vector<uint8_t> packed(static_cast<size_t>(bw) * eh * 3 / 2 + 64);
  uint8_t* py = packed.data();
  uint8_t* pv = py + static_cast<size_t>(bw) * eh;
  uint8_t* pu = pv + static_cast<size_t>(bw / 2) * (eh / 2);
  for (int r = 0; r < eh; ++r) {
    const uint8_t* from = p.y.data() + static_cast<size_t>(std::min(r, p.height - 1)) * p.yStride;
    for (int c = 0; c < bw; ++c) py[r * bw + c] = from[std::min(c, p.width - 1)];
  }
  for (int r = 0; r < eh / 2; ++r) {
    for (int c = 0; c < bw / 2; ++c) {
      const size_t at = static_cast<size_t>(r) * p.uvStride + std::min(c, cw - 1);
      pu[r * (bw / 2) + c] = p.u[at];
      pv[r * (bw / 2) + c] = p.v[at];
    }
  }
  std::vector<uint8_t> out(static_cast<size_t>(pitch) * eh);
  XvidGlobalInit();
  xvid_gbl_convert_t convert{};
  convert.version = XVID_VERSION;
  convert.input.csp = XVID_CSP_YV12;
  convert.input.plane[0] = py;
  convert.input.stride[0] = bw;
  convert.output.csp = Csp(format);
  convert.output.plane[0] = out.data();
  convert.output.stride[0] = pitch;
  convert.width = bw;
  convert.height = eh;
  EXPECT_GE(xvid_global(nullptr, XVID_GBL_CONVERT, &convert, nullptr), 0);
  return out;
}

TEST(YuvConverterBandsTest, EveryRowEqualsTheWholePictureConversion) {
  const struct {
    int width, height;
  } sizes[] = {{37, 23}, {64, 48}, {33, 17}, {16, 15}, {50, 2}, {30, 1}, {1920, 1080}};
  const PixelFormat formats[] = {PixelFormat::kUYVY, PixelFormat::kRGB32, PixelFormat::kRGB24,
                                 PixelFormat::kRGB565, PixelFormat::kRGB555};
  YuvConverter converter;  // one converter for every size, as a renderer keeps it
  for (const auto& size : sizes) {
    const Picture p = Noise(size.width, size.height, size.width * 31 + size.height);
    for (PixelFormat f : formats) {
      const int bpp = BytesPerPixel(f);
      const int pitch = ((size.width + 15) & ~15) * bpp + 16;
      const auto want = Whole(p, f, pitch);
      for (bool flip : {false, true}) {
        // The surface's rows and one guard row after them that nothing may touch.
        const int rows = (size.height + 1) & ~1;
        std::vector<uint8_t> got(static_cast<size_t>(pitch) * (rows + 1), 0xEE);
        ASSERT_TRUE(converter.Convert(p.y.data(), p.u.data(), p.v.data(), p.yStride, p.uvStride,
                                      size.width, size.height, f, got.data(), pitch, flip, false));
        int wrongRow = -1;
        for (int r = 0; r < size.height && wrongRow < 0; ++r) {
          const int source = flip ? size.height - 1 - r : r;
          if (std::memcmp(got.data() + static_cast<size_t>(r) * pitch,
                          want.data() + static_cast<size_t>(source) * pitch,
                          static_cast<size_t>(size.width) * bpp) != 0) {
            wrongRow = r;
          }
        }
        EXPECT_EQ(wrongRow, -1) << size.width << "x" << size.height << " format "
                                << static_cast<int>(f) << " flip " << flip;
        const uint8_t* guard = got.data() + static_cast<size_t>(pitch) * rows;
        EXPECT_TRUE(std::all_of(guard, guard + pitch, [](uint8_t b) { return b == 0xEE; }))
            << size.width << "x" << size.height;
      }
    }
  }
}

}  // namespace
}  // namespace kv::platform
