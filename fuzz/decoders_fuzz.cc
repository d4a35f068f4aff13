// Fuzz target for the decoders as the decode worker drives them, and for what the renderer does
// with their pictures. The first byte picks the decoder (libavcodec H.264, OpenH264, MJPEG,
// MPEG-4); the rest is a series of frames, each led by a 2-byte big-endian length. Every
// picture that comes out is converted into packed surface memory and stretched, as the
// renderer would. The decoders are made once and reset between inputs: libavcodec is flushed
// (as the worker flushes at a new parameter set), OpenH264 drained (as at the end of a
// stream), XviD made anew by its wrapper at each new layer header.
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
  surface.resize(static_cast<size_t>(pitch) * ((height + 1) & ~1));
  if (!converter.Convert(y, u, v, yStride, uvStride, width, height, format, surface.data(), pitch,
                         (selector & 2) != 0, (selector & 4) != 0)) {
    return;
  }
  const int windowWidth = 17 + (selector >> 3) * 13, windowHeight = 11 + (selector >> 3) * 7;
  window.resize(static_cast<size_t>(windowWidth) * 4 * windowHeight);
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
  static kv::AvcodecH264Decoder* decoder = [] {
    auto* d = new kv::AvcodecH264Decoder();  // lives for the whole fuzzing process
    if (!kv::AvcodecLoad(nullptr) || !d->Open(nullptr)) {
      delete d;
      return static_cast<kv::AvcodecH264Decoder*>(nullptr);
    }
    return d;
  }();
  if (decoder == nullptr) return;
  decoder->Flush();
  for (const auto& frame : frames) {
    kv::VideoPicture p;
    if (decoder->Decode(frame.data(), frame.size(), &p) == 1) {
      Draw(p.y, p.u, p.v, p.yStride, p.uvStride, p.width, p.height, selector);
    }
  }
}

void RunOpenH264(const std::vector<std::vector<uint8_t>>& frames, uint8_t selector) {
  static const kv::platform::Hi264DecHandle decoder = [] {
    const kv::platform::H264DecAttributes attributes{0, 0, 1920 / 16, 1088 / 16, 3, 0, {0, 0}};
    return kv::platform::Hi264DecCreate(&attributes);
  }();
  if (decoder == nullptr) return;
  for (size_t i = 0; i <= frames.size(); ++i) {
    // After the last frame, the drain call with no input empties what the decoder holds.
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
}

void RunMjpeg(const std::vector<std::vector<uint8_t>>& frames, uint8_t selector) {
  static const kv::platform::HiMjpegDecHandle decoder = [] {
    const kv::platform::MjpegDecAttributes attributes{0, 0, 1920, 1088, {0, 0, 0, 0}};
    return kv::platform::HiMJPEGDecCreate(&attributes);
  }();
  if (decoder == nullptr) return;
  for (const auto& frame : frames) {
    kv::platform::MjpegDecPicture p{};
    if (kv::platform::HiMJPEGDecFrame(decoder, frame.data(), static_cast<uint32_t>(frame.size()), 0,
                                      &p, 0) == kv::platform::kMjpegDecOk) {
      Draw(p.y, p.u, p.v, static_cast<int>(p.yStride), static_cast<int>(p.uvStride),
           static_cast<int>(p.width), static_cast<int>(p.height), selector);
    }
  }
}

// Reads bits most significant first; past the end it gives zeros.
class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint32_t Get(int bits) {
    uint32_t v = 0;
    for (int i = 0; i < bits; ++i, ++at_) {
      const size_t byte = at_ / 8;
      const uint32_t bit = byte < size_ ? (data_[byte] >> (7 - at_ % 8)) & 1u : 0u;
      v = (v << 1) | bit;
    }
    return v;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// The picture size a rectangular MPEG-4 object layer header declares, read as XviD reads it;
// 0 when the header has no size (other shapes).
size_t VolPixels(const uint8_t* p, size_t n) {
  BitReader b(p, n);
  b.Get(1);  // random accessible
  b.Get(8);  // object type
  uint32_t verid = 1;
  if (b.Get(1)) {
    verid = b.Get(4);
    b.Get(3);
  }
  if (b.Get(4) == 15) b.Get(16);  // extended aspect ratio
  if (b.Get(1)) {                 // control parameters
    b.Get(3);
    if (b.Get(1)) b.Get(79);  // buffer parameters
  }
  const uint32_t shape = b.Get(2);
  if (shape == 3 && verid != 1) b.Get(4);
  b.Get(1);
  const uint32_t resolution = b.Get(16);
  b.Get(1);
  if (b.Get(1)) {
    int bits = 1;
    while (bits < 16 && (1u << bits) < resolution) ++bits;
    b.Get(bits);
  }
  if (shape != 0) return 0;
  b.Get(1);
  const size_t width = b.Get(13);
  b.Get(1);
  const size_t height = b.Get(13);
  return width * height;
}

// True when every object layer header in the frame declares at most 176x144 and the same size
// as the input's others (`size`: the input's size so far, 0 before the first).
bool SmallSingleSize(const std::vector<uint8_t>& frame, size_t* size) {
  for (size_t i = 0; i + 4 < frame.size(); ++i) {
    if (frame[i] != 0 || frame[i + 1] != 0 || frame[i + 2] != 1 || (frame[i + 3] & 0xF0) != 0x20) {
      continue;
    }
    const size_t pixels = VolPixels(frame.data() + i + 4, frame.size() - i - 4);
    if (pixels == 0) continue;
    if (pixels > 176 * 144 || (*size != 0 && pixels != *size)) return false;
    *size = pixels;
  }
  return true;
}

void RunXvid(const std::vector<std::vector<uint8_t>>& frames, uint8_t selector) {
  // One decoder for all inputs (making one costs milliseconds): the wrapper makes a new one
  // itself when an input brings a layer header other than the last one's, so what an earlier
  // input declared does not carry over.
  static kv::platform::XvidDecoder* decoder = [] {
    auto* d = new kv::platform::XvidDecoder();  // lives for the whole fuzzing process
    d->Create();
    return d;
  }();
  if (!decoder->IsCreated()) return;
  // The worker's picture buffer for a configured 128x96 picture: larger pictures are refused.
  constexpr int kStride = 128;
  static std::vector<uint8_t> buffer(static_cast<size_t>(kStride) * 96 * 3 / 2);
  // XviD allocates and clears its frames anew for each size a header declares (up to
  // 8191x8191), which costs far more than decoding these small inputs. So headers declaring
  // more than 176x144, or a size other than the input's first, are not fed to it; pictures
  // larger than the worker's buffer (128x96 here) are still decoded, and refused, below that.
  size_t size = 0;
  for (const auto& frame : frames) {
    if (!SmallSingleSize(frame, &size)) continue;
    kv::platform::XvidPicture p;
    if (decoder->Decode(frame.data(), frame.size(), buffer.data(), buffer.size(), kStride, &p) <
        0) {
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
