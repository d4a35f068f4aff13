// Fuzz target for the decoders as the decode worker drives them, and for what the renderer does
// with their pictures. The first byte picks the decoder (libavcodec H.264, OpenH264, MJPEG,
// MPEG-4); the rest is a series of frames, each led by a 2-byte big-endian length. Every
// picture that comes out is converted into packed surface memory and stretched, as the
// renderer would.
#include <cstdint>
#include <vector>

#include "sdk/media/avcodec_h264.h"
#include "sdk/media/avcodec_loader.h"
#include "sdk/platform/hi264_dec.h"
#include "sdk/platform/hi_mjpeg_dec.h"
#include "sdk/platform/stretch_blit.h"
#include "sdk/platform/xvid_dec.h"
#include "sdk/platform/yuv_convert.h"

namespace {

using kv::platform::PixelFormat;

// Pictures larger than this are not drawn here (they would only slow the fuzzer down).
constexpr int kMaxDrawnPixels = 1024 * 1024;

void Draw(const uint8_t* y, const uint8_t* u, const uint8_t* v, int yStride, int uvStride,
          int width, int height, uint8_t selector) {
  if (width <= 0 || height <= 0 || width * height > kMaxDrawnPixels) return;
  static kv::platform::YuvConverter converter;
  static kv::platform::StretchBlitter blitter;
  static std::vector<uint8_t> surface, window;
  const PixelFormat format = (selector & 1) ? PixelFormat::kUYVY : PixelFormat::kRGB32;
  const int bpp = kv::platform::BytesPerPixel(format);
  const int pitch = ((width + 15) & ~15) * bpp;
  surface.assign(static_cast<size_t>(pitch) * ((height + 1) & ~1), 0);
  if (!converter.Convert(y, u, v, yStride, uvStride, width, height, format, surface.data(), pitch,
                         (selector & 2) != 0, (selector & 4) != 0)) {
    return;
  }
  const int windowWidth = 17 + (selector >> 3) * 13, windowHeight = 11 + (selector >> 3) * 7;
  window.assign(static_cast<size_t>(windowWidth) * 4 * windowHeight, 0);
  const kv::platform::PixelRect from{surface.data(), pitch, width, height, format};
  blitter.Blit(from, window.data(), windowWidth * 4, windowWidth, windowHeight,
               PixelFormat::kRGB32);
}

// Frames: a 2-byte big-endian length, then that many bytes (cut short at the end).
std::vector<std::vector<uint8_t>> Frames(const uint8_t* data, size_t size) {
  std::vector<std::vector<uint8_t>> frames;
  size_t at = 0;
  while (at + 2 <= size && frames.size() < 64) {
    const size_t length = (static_cast<size_t>(data[at]) << 8) | data[at + 1];
    at += 2;
    const size_t take = length < size - at ? length : size - at;
    frames.emplace_back(data + at, data + at + take);
    at += take;
  }
  return frames;
}

void RunAvcodec(const std::vector<std::vector<uint8_t>>& frames, uint8_t selector) {
  static const bool loaded = kv::AvcodecLoad(nullptr);
  if (!loaded) return;
  kv::AvcodecH264Decoder decoder;
  if (!decoder.Open(nullptr)) return;
  for (const auto& frame : frames) {
    kv::DecodedPicture p;
    if (decoder.Decode(frame.data(), frame.size(), &p) == 1) {
      Draw(p.y, p.u, p.v, p.yStride, p.uvStride, p.width, p.height, selector);
    }
  }
  decoder.Close(nullptr);
}

void RunOpenH264(const std::vector<std::vector<uint8_t>>& frames, uint8_t selector) {
  const kv::platform::H264DecAttributes attributes{0, 0, 1920 / 16, 1088 / 16, 3, 0, {0, 0}};
  kv::platform::Hi264DecHandle decoder = kv::platform::Hi264DecCreate(&attributes);
  if (decoder == nullptr) return;
  for (size_t i = 0; i <= frames.size(); ++i) {
    // After the last frame, the drain call with no input.
    const bool drain = i == frames.size();
    kv::platform::H264DecPicture p{};
    int32_t result =
        kv::platform::Hi264DecFrame(decoder, drain ? nullptr : frames[i].data(),
                                    drain ? 0 : static_cast<uint32_t>(frames[i].size()), 0, &p,
                                    drain ? kv::platform::kHi264DecFlushAll : 0);
    for (int guard = 0; result == kv::platform::kHi264DecPicture && guard < 16; ++guard) {
      Draw(p.y, p.u, p.v, static_cast<int>(p.yStride), static_cast<int>(p.uvStride),
           static_cast<int>(p.width), static_cast<int>(p.height), selector);
      result = kv::platform::Hi264DecFrame(decoder, nullptr, 0, 0, &p,
                                           drain ? kv::platform::kHi264DecFlushAll : 0);
    }
  }
  kv::platform::Hi264DecDestroy(decoder);
}

void RunMjpeg(const std::vector<std::vector<uint8_t>>& frames, uint8_t selector) {
  const kv::platform::MjpegDecAttributes attributes{0, 0, 1920, 1088, {0, 0, 0, 0}};
  kv::platform::HiMjpegDecHandle decoder = kv::platform::HiMJPEGDecCreate(&attributes);
  if (decoder == nullptr) return;
  for (const auto& frame : frames) {
    kv::platform::MjpegDecPicture p{};
    if (kv::platform::HiMJPEGDecFrame(decoder, frame.data(), static_cast<uint32_t>(frame.size()), 0,
                                      &p, 0) == kv::platform::kMjpegDecOk) {
      Draw(p.y, p.u, p.v, static_cast<int>(p.yStride), static_cast<int>(p.uvStride),
           static_cast<int>(p.width), static_cast<int>(p.height), selector);
    }
  }
  kv::platform::HiMJPEGDecDestroy(decoder);
}

void RunXvid(const std::vector<std::vector<uint8_t>>& frames, uint8_t selector) {
  kv::platform::XvidDecoder decoder;
  if (!decoder.Create()) return;
  // The worker's picture buffer for a configured 352x288 picture: larger pictures are refused.
  constexpr int kStride = 352;
  std::vector<uint8_t> buffer(static_cast<size_t>(kStride) * 288 * 3 / 2);
  for (const auto& frame : frames) {
    kv::platform::XvidPicture p;
    if (decoder.Decode(frame.data(), frame.size(), buffer.data(), buffer.size(), kStride, &p) < 0) {
      continue;
    }
    if (p.type == kv::platform::kXvidTypeIVop || p.type == kv::platform::kXvidTypePVop) {
      Draw(p.y, p.u, p.v, p.yStride, p.uvStride, p.width, p.height, selector);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t choice = data[0];
  const uint8_t selector = data[1];
  const auto frames = Frames(data + 2, size - 2);
  switch (choice & 3) {
    case 0:
      RunAvcodec(frames, selector);
      break;
    case 1:
      RunOpenH264(frames, selector);
      break;
    case 2:
      RunMjpeg(frames, selector);
      break;
    default:
      RunXvid(frames, selector);
      break;
  }
  return 0;
}
