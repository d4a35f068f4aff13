// Baseline JPEG pictures into RTP payloads (RFC 2435): the main header, the restart marker
// header for types 64 and 65, the quantisation tables in-band in the first packet (Q >= 128)
// and the entropy-coded data cut to the payload limit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "tools/kvdevice/rtp_payload.h"

namespace kvdevice {

// What RFC 2435 carries of a JFIF picture. The picture must use the standard Huffman tables
// of ITU-T T.81 Annex K, which the receiver rebuilds.
struct JpegPicture {
  uint8_t type = 0;  // 0: 4:2:2, 1: 4:2:0, plus 64 with restart markers
  int width = 0;
  int height = 0;
  uint16_t restartInterval = 0;
  std::array<uint8_t, 64> luma{};    // quantisation table 0, in zig-zag order as stored
  std::array<uint8_t, 64> chroma{};  // table 1
  const uint8_t* scan = nullptr;     // entropy-coded data, without the end-of-image marker
  size_t scanSize = 0;
};

// Reads the segments of a baseline JFIF picture; nothing when it is not one RFC 2435 can carry
// (other sampling, 16-bit tables, more or fewer than three components, no scan).
std::optional<JpegPicture> ParseJpeg(const uint8_t* data, size_t size);

// The width or height field of the main header: the size in 8-pixel units, except that a
// width of 2560 is written as 68, as the camera's firmware does.
uint8_t JpegSizeField(int pixels);

struct JpegRtpSettings {
  size_t maxPayload = 1400;
  uint8_t q = 255;  // 128..255: tables in-band
};

std::vector<RtpPayload> PacketiseJpeg(const JpegPicture& picture, const JpegRtpSettings& settings);

}  // namespace kvdevice
