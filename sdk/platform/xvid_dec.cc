// XviD decoder wrapper: a picture is written into the caller's buffer only after the size
// its stream header announced has been checked against that buffer.
#include "sdk/platform/xvid_dec.h"

#include <xvid.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <span>

namespace kv::platform {

namespace {
constexpr size_t kInputPadding = 64;

// The object layer headers in a frame: each from its start code (00 00 01 2x) to the next start
// code or the end of the frame.
std::vector<std::span<const uint8_t>> LayerHeaders(const uint8_t* frame, size_t length) {
  std::vector<std::span<const uint8_t>> headers;
  size_t start = length;
  for (size_t i = 0; i + 3 < length; ++i) {
    if (frame[i] != 0 || frame[i + 1] != 0 || frame[i + 2] != 1) continue;
    if (start < i) headers.emplace_back(frame + start, i - start);
    start = (frame[i + 3] & 0xF0) == 0x20 ? i : length;
  }
  if (start < length) headers.emplace_back(frame + start, length - start);
  return headers;
}
}  // namespace

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
  m_handle = create.handle;
  m_width = m_height = 0;
  m_layer.clear();
  return true;
}

void XvidDecoder::Destroy() {
  if (m_handle == nullptr) return;
  xvid_decore(m_handle, XVID_DEC_DESTROY, nullptr, nullptr);
  m_handle = nullptr;
}

int XvidDecoder::Decode(const uint8_t* frame, size_t length, uint8_t* buffer, size_t bufferSize,
                        int stride, XvidPicture* picture) {
  if (m_handle == nullptr) return kXvidDecNoHandle;
  if (picture == nullptr) return XVID_ERR_FAIL;
  *picture = XvidPicture{};
  if (frame == nullptr || length == 0 || length > INT_MAX - kInputPadding) return 0;
  m_input.resize(length + kInputPadding);
  std::memcpy(m_input.data(), frame, length);
  std::memset(m_input.data() + length, 0, kInputPadding);
  frame = m_input.data();
  // XviD keeps parts of an earlier object layer's set-up when a different one follows (its
  // shape, interlacing, sizes), and decoding the pictures of the new layer with them can read
  // out of bounds. So a decoder serves one layer header: a different one gets a new decoder,
  // and a frame whose headers disagree among themselves is refused. A stream that repeats its
  // header with every key picture keeps its decoder.
  const auto headers = LayerHeaders(frame, length);
  if (!headers.empty()) {
    for (const auto& header : headers) {
      if (!std::ranges::equal(header, headers.front())) return XVID_ERR_FAIL;
    }
    if (!std::ranges::equal(headers.front(), m_layer)) {
      if (!m_layer.empty() && !Create()) return kXvidDecNoHandle;
      m_layer.assign(headers.front().begin(), headers.front().end());
    }
  }
  int used = 0;
  bool refused = false;
  // A header is decoded on its own and gives the size of the pictures after it; a picture is
  // written straight into the buffer only when that size fits, otherwise it is decoded (to
  // keep the references) without output and refused.
  while (static_cast<size_t>(used) < length) {
    const size_t cw = static_cast<size_t>(m_width + 1) / 2;
    const size_t ch = static_cast<size_t>(m_height + 1) / 2;
    const size_t uvStride = stride > 0 ? static_cast<size_t>(stride) / 2 : 0;
    const size_t lumaBytes = stride > 0 ? static_cast<size_t>(stride) * m_height : 0;
    const bool fits = m_width > 0 && m_height > 0 && buffer != nullptr && stride >= m_width &&
                      uvStride >= cw && lumaBytes + 2 * uvStride * ch <= bufferSize;
    xvid_dec_frame_t decode{};
    decode.version = XVID_VERSION;
    decode.general = 0;
    decode.bitstream = const_cast<uint8_t*>(frame) + used;
    decode.length = static_cast<int>(length - used);
    if (fits) {
      decode.output.csp = XVID_CSP_PLANAR;
      decode.output.plane[0] = buffer;
      decode.output.plane[1] = buffer + lumaBytes;
      decode.output.plane[2] = buffer + lumaBytes + uvStride * ch;
      decode.output.stride[0] = stride;
      decode.output.stride[1] = decode.output.stride[2] = static_cast<int>(uvStride);
    } else {
      decode.output.csp = XVID_CSP_NULL;
    }
    xvid_dec_stats_t stats{};
    stats.version = XVID_VERSION;
    int result = xvid_decore(m_handle, XVID_DEC_DECODE, &decode, &stats);
    if (result < 0) return result;
    used += result;
    if (stats.type == XVID_TYPE_VOL) {
      m_width = stats.data.vol.width;
      m_height = stats.data.vol.height;
      picture->type = kXvidTypeVol;
      picture->width = m_width;
      picture->height = m_height;
    } else if (stats.type > 0) {
      picture->type = stats.type;
      picture->width = m_width;
      picture->height = m_height;
      if (!fits) {
        picture->type = kXvidTypeNothing;
        refused = true;
        break;
      }
      picture->y = static_cast<uint8_t*>(decode.output.plane[0]);
      picture->u = static_cast<uint8_t*>(decode.output.plane[1]);
      picture->v = static_cast<uint8_t*>(decode.output.plane[2]);
      picture->yStride = stride;
      picture->uvStride = static_cast<int>(uvStride);
      break;
    }
    if (result == 0) break;  // nothing more XviD can take from this frame
  }
  return refused ? kXvidDecRefused : used;
}

}  // namespace kv::platform
