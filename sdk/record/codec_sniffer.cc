// Codec recognition from coded bytes and FourCC codes.
#include "sdk/record/codec_sniffer.h"

#include <cctype>
#include <cstring>

#include "KvNetClient.h"

namespace kv {
namespace {

// Offset of the byte after a 3- or 4-byte start code at the very beginning, or 0.
size_t StartCodeEnd(const uint8_t* data, size_t length) {
  if (length >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) return 4;
  if (length >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) return 3;
  return 0;
}

}  // namespace

uint8_t SniffVideoCodec(const uint8_t* data, size_t length) {
  if (data == nullptr || length < 2) return 0;
  if (data[0] == 0xFF && data[1] == 0xD8) return VCODEC_MJPEG;
  const size_t at = StartCodeEnd(data, length);
  if (at == 0 || at >= length) return 0;
  const uint8_t code = data[at];
  // MPEG-4 Part 2 start codes that open a stream or a picture.
  if (code == 0xB0 || code == 0xB3 || code == 0xB5 || code == 0xB6) return VCODEC_MPEG4;
  if ((code & 0x80) != 0) return 0;  // neither an MPEG-4 code above nor a valid NAL header
  const int type = code & 0x1F;
  const bool h264Opening =
      type == 1 || type == 5 || type == 6 || type == 7 || type == 8 || type == 9;
  // A video object (00-1F) is followed by its video object layer (20-2F); a layer code
  // whose bits read as an H.264 slice or parameter set is taken as H.264.
  if (code <= 0x1F) {
    const size_t next = StartCodeEnd(data + at + 1, length - at - 1);
    if (next != 0 && at + 1 + next < length) {
      const uint8_t layer = data[at + 1 + next];
      if (layer >= 0x20 && layer <= 0x2F) return VCODEC_MPEG4;
    }
    return (type == 6 || type == 9) ? VCODEC_H264 : 0;
  }
  if (code <= 0x2F && !h264Opening) return VCODEC_MPEG4;
  return h264Opening ? VCODEC_H264 : 0;
}

uint8_t CodecFromFourCc(const uint8_t fourcc[4]) {
  char up[5] = {};
  for (int i = 0; i < 4; ++i) up[i] = static_cast<char>(std::toupper(fourcc[i]));
  static const char* const kH264[] = {"H264", "X264", "AVC1", "DAVC"};
  static const char* const kMjpeg[] = {"MJPG", "JPEG", "AVRN", "LJPG"};
  static const char* const kMpeg4[] = {"XVID", "DIVX", "DX50", "MP4V", "FMP4", "M4S2"};
  for (const char* c : kH264)
    if (std::memcmp(up, c, 4) == 0) return VCODEC_H264;
  for (const char* c : kMjpeg)
    if (std::memcmp(up, c, 4) == 0) return VCODEC_MJPEG;
  for (const char* c : kMpeg4)
    if (std::memcmp(up, c, 4) == 0) return VCODEC_MPEG4;
  return 0;
}

bool IsKnownVideoCodec(uint8_t codec) {
  return codec == VCODEC_H264 || codec == VCODEC_MPEG4 || codec == VCODEC_MJPEG;
}

}  // namespace kv
