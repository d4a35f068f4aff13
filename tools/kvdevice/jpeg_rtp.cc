// Baseline JPEG pictures into RTP payloads (RFC 2435).
#include "tools/kvdevice/jpeg_rtp.h"

#include <algorithm>

namespace kvdevice {
namespace {

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

std::optional<JpegPicture> ParseJpeg(const uint8_t* data, size_t size) {
  if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return std::nullopt;
  JpegPicture p;
  bool haveLuma = false, haveChroma = false, haveFrame = false;
  size_t at = 2;
  while (at + 4 <= size) {
    if (data[at] != 0xFF) return std::nullopt;
    const uint8_t marker = data[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    const size_t length = Be16(data + at + 2);
    if (length < 2 || at + 2 + length > size) return std::nullopt;
    const uint8_t* body = data + at + 4;
    const size_t bodySize = length - 2;
    if (marker == 0xDB) {
      for (size_t i = 0; i < bodySize;) {
        const uint8_t precision = body[i] >> 4, id = body[i] & 15;
        if (precision != 0 || i + 65 > bodySize) return std::nullopt;
        if (id == 0) std::copy_n(body + i + 1, 64, p.luma.begin()), haveLuma = true;
        if (id == 1) std::copy_n(body + i + 1, 64, p.chroma.begin()), haveChroma = true;
        i += 65;
      }
    } else if (marker == 0xC0) {
      if (bodySize < 15 || body[0] != 8 || body[5] != 3) return std::nullopt;
      p.height = Be16(body + 1);
      p.width = Be16(body + 3);
      const uint8_t* c = body + 6;  // id, sampling, table for each component
      if (c[2] != 0 || c[4] != 0x11 || c[5] != 1 || c[7] != 0x11 || c[8] != 1) return std::nullopt;
      if (c[1] == 0x21) {
        p.type = 0;
      } else if (c[1] == 0x22) {
        p.type = 1;
      } else {
        return std::nullopt;
      }
      haveFrame = true;
    } else if ((marker >= 0xC1 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                marker != 0xCC)) {
      return std::nullopt;  // not baseline
    } else if (marker == 0xDD) {
      if (bodySize < 2) return std::nullopt;
      p.restartInterval = Be16(body);
    } else if (marker == 0xDA) {
      if (!haveLuma || !haveChroma || !haveFrame) return std::nullopt;
      p.scan = data + at + 2 + length;
      p.scanSize = size - (at + 2 + length);
      if (p.scanSize >= 2 && p.scan[p.scanSize - 2] == 0xFF && p.scan[p.scanSize - 1] == 0xD9) {
        p.scanSize -= 2;
      }
      if (p.restartInterval != 0) p.type |= 64;
      return p;
    }
    at += 2 + length;
  }
  return std::nullopt;
}

uint8_t JpegSizeField(int pixels) {
  if (pixels == 2560) return 68;
  return static_cast<uint8_t>(pixels / 8);
}

std::vector<RtpPayload> PacketiseJpeg(const JpegPicture& picture, const JpegRtpSettings& settings) {
  std::vector<RtpPayload> out;
  const bool restart = picture.type >= 64;
  for (size_t offset = 0; offset < picture.scanSize || offset == 0;) {
    RtpPayload p;
    std::vector<uint8_t>& b = p.bytes;
    b = {0,
         static_cast<uint8_t>(offset >> 16),
         static_cast<uint8_t>(offset >> 8),
         static_cast<uint8_t>(offset),
         picture.type,
         settings.q,
         JpegSizeField(picture.width),
         JpegSizeField(picture.height)};
    if (restart) {
      // Packets do not follow restart intervals: first and last bits set, count 0x3FFF.
      b.insert(b.end(), {static_cast<uint8_t>(picture.restartInterval >> 8),
                         static_cast<uint8_t>(picture.restartInterval), 0xFF, 0xFF});
    }
    if (offset == 0 && settings.q >= 128) {
      b.insert(b.end(), {0, 0, 0, 128});
      b.insert(b.end(), picture.luma.begin(), picture.luma.end());
      b.insert(b.end(), picture.chroma.begin(), picture.chroma.end());
    }
    const size_t room = settings.maxPayload > b.size() ? settings.maxPayload - b.size() : 1;
    const size_t piece = std::min(room, picture.scanSize - offset);
    b.insert(b.end(), picture.scan + offset, picture.scan + offset + piece);
    offset += piece;
    p.marker = offset >= picture.scanSize;
    out.push_back(std::move(p));
    if (piece == 0) break;
  }
  return out;
}

}  // namespace kvdevice
