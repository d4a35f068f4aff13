// JPEG to planar 4:2:0 through TurboJPEG: decode to the image's own YUV planes, then bring the
// chroma to 4:2:0 by averaging (4:4:4, 4:2:2, 4:4:0, 4:1:1) or fill it grey (greyscale).
#include "sdk/platform/hi_mjpeg_dec.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace kv::platform {

struct HiMjpegDecoder {
  tjhandle tj = nullptr;
  MjpegDecAttributes attributes{};
  std::vector<uint8_t> planes[3];  // the image's own sampling
  std::vector<uint8_t> u420, v420;
  std::vector<uint8_t> whole;  // a picture given without its end-of-image marker, completed
};

namespace {

// Each 4:2:0 sample is the mean of the source samples under its 2x2 luma block.
void ToChroma420(const uint8_t* src, int srcStride, int srcWidth, int srcHeight, int hFactor,
                 int vFactor, int width, int height, uint8_t* dst) {
  int cw = (width + 1) / 2, ch = (height + 1) / 2;
  for (int y = 0; y < ch; ++y) {
    for (int x = 0; x < cw; ++x) {
      int sum = 0, count = 0;
      for (int dy = 0; dy < 2; ++dy) {
        int ly = std::min(2 * y + dy, height - 1);
        int sy = std::min(ly / vFactor, srcHeight - 1);
        for (int dx = 0; dx < 2; ++dx) {
          int lx = std::min(2 * x + dx, width - 1);
          int sx = std::min(lx / hFactor, srcWidth - 1);
          sum += src[static_cast<size_t>(sy) * srcStride + sx];
          ++count;
        }
      }
      dst[static_cast<size_t>(y) * cw + x] = static_cast<uint8_t>((sum + count / 2) / count);
    }
  }
}

}  // namespace

HiMjpegDecHandle HiMJPEGDecCreate(const MjpegDecAttributes* attributes) {
  auto* handle = new (std::nothrow) HiMjpegDecoder;
  if (handle == nullptr) return nullptr;
  if (attributes != nullptr) handle->attributes = *attributes;
  handle->tj = tjInitDecompress();
  if (handle->tj == nullptr) {
    delete handle;
    return nullptr;
  }
  return handle;
}

// Bytes allowed before the start-of-image marker.
constexpr uint32_t kMaxLeadingBytes = 16;

int32_t HiMJPEGDecFrame(HiMjpegDecHandle handle, const uint8_t* stream, uint32_t length,
                        uint64_t /*timeStamp*/, MjpegDecPicture* picture, uint32_t /*flags*/) {
  if (handle == nullptr || handle->tj == nullptr || picture == nullptr) {
    return kMjpegDecHandleError;
  }
  if (stream == nullptr || length == 0) return kMjpegDecBadStream;
  // Pictures from the stream and from record files carry a 4-byte start code before the
  // image: begin at the start-of-image marker when it follows shortly.
  if (length >= 2 && !(stream[0] == 0xFF && stream[1] == 0xD8)) {
    uint32_t at = 1;
    while (at + 1 < length && at <= kMaxLeadingBytes &&
           !(stream[at] == 0xFF && stream[at + 1] == 0xD8)) {
      ++at;
    }
    if (at + 1 >= length || at > kMaxLeadingBytes) return kMjpegDecBadStream;
    stream += at;
    length -= at;
  }
  // RTP JPEG pictures (RFC 2435) end with their scan data: the end-of-image marker is added
  // to a copy, so that a whole scan decodes while a cut one still fails below.
  if (length >= 2 && !(stream[length - 2] == 0xFF && stream[length - 1] == 0xD9)) {
    handle->whole.assign(stream, stream + length);
    handle->whole.push_back(0xFF);
    handle->whole.push_back(0xD9);
    stream = handle->whole.data();
    length = static_cast<uint32_t>(handle->whole.size());
  }
  int width = 0, height = 0, subsampling = -1, colourspace = -1;
  if (tjDecompressHeader3(handle->tj, stream, length, &width, &height, &subsampling,
                          &colourspace) != 0) {
    return kMjpegDecBadStream;
  }
  if (width <= 0 || height <= 0) return kMjpegDecBadStream;
  if (static_cast<uint32_t>(width) > kMjpegDecMaxSide ||
      static_cast<uint32_t>(height) > kMjpegDecMaxSide || subsampling < 0 ||
      subsampling >= TJ_NUMSAMP || (colourspace != TJCS_YCbCr && colourspace != TJCS_GRAY)) {
    return kMjpegDecUnsupported;
  }
  const bool grey = subsampling == TJSAMP_GRAY;
  const int components = grey ? 1 : 3;
  unsigned char* dst[3] = {nullptr, nullptr, nullptr};
  int strides[3] = {0, 0, 0};
  for (int c = 0; c < components; ++c) {
    strides[c] = tjPlaneWidth(c, width, subsampling);
    unsigned long size = tjPlaneSizeYUV(c, width, 0, height, subsampling);
    if (strides[c] <= 0 || size == static_cast<unsigned long>(-1)) return kMjpegDecUnsupported;
    handle->planes[c].resize(size);
    dst[c] = handle->planes[c].data();
  }
  // A warning (truncated or damaged data) counts as failure: no half-grey pictures.
  if (tjDecompressToYUVPlanes(handle->tj, stream, length, dst, width, strides, height,
                              TJFLAG_STOPONWARNING) != 0) {
    return kMjpegDecBadStream;
  }

  const int cw = (width + 1) / 2, ch = (height + 1) / 2;
  picture->y = dst[0];
  picture->yStride = static_cast<uint32_t>(strides[0]);
  picture->width = static_cast<uint32_t>(width);
  picture->height = static_cast<uint32_t>(height);
  if (subsampling == TJSAMP_420) {
    picture->u = dst[1];
    picture->v = dst[2];
    picture->uvStride = static_cast<uint32_t>(strides[1]);
    return kMjpegDecOk;
  }
  handle->u420.resize(static_cast<size_t>(cw) * ch);
  handle->v420.resize(handle->u420.size());
  if (grey) {
    std::memset(handle->u420.data(), 128, handle->u420.size());
    std::memset(handle->v420.data(), 128, handle->v420.size());
  } else {
    const int hFactor = tjMCUWidth[subsampling] / 8, vFactor = tjMCUHeight[subsampling] / 8;
    const int srcHeight = tjPlaneHeight(1, height, subsampling);
    ToChroma420(dst[1], strides[1], strides[1], srcHeight, hFactor, vFactor, width, height,
                handle->u420.data());
    ToChroma420(dst[2], strides[2], strides[2], srcHeight, hFactor, vFactor, width, height,
                handle->v420.data());
  }
  picture->u = handle->u420.data();
  picture->v = handle->v420.data();
  picture->uvStride = static_cast<uint32_t>(cw);
  return kMjpegDecOk;
}

void HiMJPEGDecDestroy(HiMjpegDecHandle handle) {
  if (handle == nullptr) return;
  if (handle->tj != nullptr) tjDestroy(handle->tj);
  delete handle;
}

}  // namespace kv::platform
