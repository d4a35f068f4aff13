#include "tests/support/drawn_picture.h"

#include <cairo.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/support/test_streams.h"

namespace kv::test {

std::vector<uint8_t> LumaAtPictureSize(const uint8_t* bgrx, int pitch, int width, int height,
                                       int pictureWidth, int pictureHeight) {
  std::vector<uint8_t> luma(static_cast<size_t>(pictureWidth) * pictureHeight);
  for (int y = 0; y < pictureHeight; ++y) {
    const int wy = std::min(height - 1, static_cast<int>((y + 0.5) * height / pictureHeight));
    for (int x = 0; x < pictureWidth; ++x) {
      const int wx = std::min(width - 1, static_cast<int>((x + 0.5) * width / pictureWidth));
      const uint8_t* p = bgrx + static_cast<size_t>(wy) * pitch + static_cast<size_t>(wx) * 4;
      luma[static_cast<size_t>(y) * pictureWidth + x] =
          static_cast<uint8_t>(((66 * p[2] + 129 * p[1] + 25 * p[0] + 128) >> 8) + 16);
    }
  }
  return luma;
}

int ReadDrawnPictureNumber(void* dc, int pictureWidth, int pictureHeight) {
  cairo_surface_t* target = cairo_get_target(static_cast<cairo_t*>(dc));
  if (cairo_surface_get_type(target) != CAIRO_SURFACE_TYPE_IMAGE ||
      cairo_image_surface_get_format(target) != CAIRO_FORMAT_RGB24) {
    return -2;
  }
  cairo_surface_flush(target);
  const int w = cairo_image_surface_get_width(target);
  const int h = cairo_image_surface_get_height(target);
  const int pw = pictureWidth > 0 ? pictureWidth : w;
  const int ph = pictureHeight > 0 ? pictureHeight : h;
  const std::vector<uint8_t> luma = LumaAtPictureSize(
      cairo_image_surface_get_data(target), cairo_image_surface_get_stride(target), w, h, pw, ph);
  return ReadPictureNumber(luma.data(), pw, pw, ph);
}

void VirtualPacingTimer::Sleep(uint32_t milliseconds) {
  now_.fetch_add(milliseconds);
  if (realSleepMs_ != 0) std::this_thread::sleep_for(std::chrono::milliseconds(realSleepMs_));
}

}  // namespace kv::test
