// One RTP packet (RFC 3550) seen without copying: the fixed header fields the receivers use and
// the payload between the header (with its CSRC list and extension) and the padding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv {

constexpr size_t kRtpHeaderSize = 12;

struct RtpPacket {
  bool marker = false;
  uint8_t payloadType = 0;
  uint16_t sequence = 0;
  uint32_t timestamp = 0;  // host byte order
  uint8_t* payload = nullptr;
  size_t payloadLength = 0;
};

// Reads the packet of length bytes. False when it is not version 2, or when its CSRC list,
// extension or padding do not fit inside it. The payload points into data.
bool ParseRtpPacket(uint8_t* data, size_t length, RtpPacket* out);

}  // namespace kv
