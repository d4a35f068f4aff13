// MPEG-4 Part 2 video into RTP payloads (RFC 3016).
#include "tools/kvdevice/mpeg4_rtp.h"

#include <algorithm>

namespace kvdevice {
namespace {

size_t FindPictureStart(const uint8_t* data, size_t size) {
  for (size_t i = 0; i + 4 <= size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == 0xB6) return i;
  }
  return size;
}

void Cut(const uint8_t* data, size_t size, size_t max, std::vector<RtpPayload>& out) {
  for (size_t offset = 0; offset < size;) {
    const size_t piece = std::min(max, size - offset);
    out.push_back(RtpPayload{std::vector<uint8_t>(data + offset, data + offset + piece), false});
    offset += piece;
  }
  if (!out.empty()) out.back().marker = true;
}

}  // namespace

std::vector<uint8_t> Mpeg4Config(const uint8_t* data, size_t size) {
  const size_t start = FindPictureStart(data, size);
  if (start == size) return {};
  return std::vector<uint8_t>(data, data + start);
}

std::vector<RtpPayload> PacketiseMpeg4(const uint8_t* data, size_t size,
                                       const Mpeg4RtpSettings& settings) {
  std::vector<RtpPayload> out;
  const size_t max = std::max<size_t>(settings.maxPayload, 1);
  const size_t start = settings.configAlone ? FindPictureStart(data, size) : 0;
  if (start > 0 && start < size) Cut(data, start, max, out);
  Cut(data + (start < size ? start : 0), start < size ? size - start : size, max, out);
  return out;
}

Mpeg4Description DescribeMpeg4(const std::vector<uint8_t>& config) {
  Mpeg4Description d;
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < config.size(); ++i) {
    d.config += kHex[config[i] >> 4];
    d.config += kHex[config[i] & 15];
    if (i + 4 < config.size() && config[i] == 0 && config[i + 1] == 0 && config[i + 2] == 1 &&
        config[i + 3] == 0xB0) {
      d.profileLevelId = config[i + 4];
    }
  }
  return d;
}

}  // namespace kvdevice
