// XviD decoder wrapper: XviD decodes into its own buffers and the picture is copied out only
// after its size has been checked against the caller's buffer.
#include "sdk/platform/xvid_dec.h"

#include <xvid.h>

#include <climits>
#include <cstring>
#include <mutex>

namespace kv::platform {

bool XvidGlobalInit() {
  static std::once_flag once;
  static int result = -1;
  std::call_once(once, [] {
    xvid_gbl_init_t init{};
    init.version = XVID_VERSION;
    result = xvid_global(nullptr, XVID_GBL_INIT, &init, nullptr);
  });
  return result >= 0;
}

bool XvidDecoder::Create() {
  Destroy();
  if (!XvidGlobalInit()) return false;
  xvid_dec_create_t create{};
  create.version = XVID_VERSION;
  create.width = 0;
  create.height = 0;
  if (xvid_decore(nullptr, XVID_DEC_CREATE, &create, nullptr) < 0 || create.handle == nullptr) {
    return false;
  }
  handle_ = create.handle;
  width_ = height_ = 0;
  return true;
}

void XvidDecoder::Destroy() {
  if (handle_ == nullptr) return;
  xvid_decore(handle_, XVID_DEC_DESTROY, nullptr, nullptr);
  handle_ = nullptr;
}

int XvidDecoder::Decode(const uint8_t* frame, size_t length, uint8_t* buffer, size_t bufferSize,
                        int stride, XvidPicture* picture) {
  if (handle_ == nullptr) return kXvidDecNoHandle;
  if (picture == nullptr) return XVID_ERR_FAIL;
  *picture = XvidPicture{};
  if (frame == nullptr || length == 0 || length > INT_MAX) return 0;
  int used = 0;
  xvid_dec_stats_t stats{};
  // A header is decoded on its own; a picture that follows it in the same frame is decoded
  // by the next round.
  while (static_cast<size_t>(used) < length) {
    xvid_dec_frame_t decode{};
    decode.version = XVID_VERSION;
    decode.general = 0;
    decode.bitstream = const_cast<uint8_t*>(frame) + used;
    decode.length = static_cast<int>(length - used);
    decode.output.csp = XVID_CSP_INTERNAL;
    stats = xvid_dec_stats_t{};
    stats.version = XVID_VERSION;
    int result = xvid_decore(handle_, XVID_DEC_DECODE, &decode, &stats);
    if (result < 0) return result;
    if (result == 0 && stats.type == XVID_TYPE_NOTHING) break;
    used += result;
    if (stats.type == XVID_TYPE_VOL) {
      width_ = stats.data.vol.width;
      height_ = stats.data.vol.height;
      picture->type = kXvidTypeVol;
      picture->width = width_;
      picture->height = height_;
      if (result == 0) break;
      continue;
    }
    if (stats.type <= 0) {
      if (result == 0) break;
      continue;  // skipped data (stuffing, user data)
    }
    picture->type = stats.type;
    picture->width = width_;
    picture->height = height_;
    const auto* y = static_cast<const uint8_t*>(decode.output.plane[0]);
    const auto* u = static_cast<const uint8_t*>(decode.output.plane[1]);
    const auto* v = static_cast<const uint8_t*>(decode.output.plane[2]);
    if (y == nullptr || u == nullptr || v == nullptr || width_ <= 0 || height_ <= 0) {
      picture->type = kXvidTypeNothing;
      return used;
    }
    const size_t cw = static_cast<size_t>(width_ + 1) / 2;
    const size_t ch = static_cast<size_t>(height_ + 1) / 2;
    const size_t uvStride = static_cast<size_t>(stride > 0 ? stride : 0) / 2;
    const size_t lumaBytes = static_cast<size_t>(stride > 0 ? stride : 0) * height_;
    if (buffer == nullptr || stride < width_ || uvStride < cw ||
        lumaBytes + 2 * uvStride * ch > bufferSize) {
      picture->type = kXvidTypeNothing;
      return kXvidDecRefused;
    }
    uint8_t* dy = buffer;
    uint8_t* du = buffer + lumaBytes;
    uint8_t* dv = du + uvStride * ch;
    for (int row = 0; row < height_; ++row) {
      std::memcpy(dy + static_cast<size_t>(row) * stride,
                  y + static_cast<size_t>(row) * decode.output.stride[0], width_);
    }
    for (size_t row = 0; row < ch; ++row) {
      std::memcpy(du + row * uvStride, u + row * decode.output.stride[1], cw);
      std::memcpy(dv + row * uvStride, v + row * decode.output.stride[2], cw);
    }
    picture->y = dy;
    picture->u = du;
    picture->v = dv;
    picture->yStride = stride;
    picture->uvStride = static_cast<int>(uvStride);
    break;
  }
  return used;
}

}  // namespace kv::platform
