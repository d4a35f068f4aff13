// RTP fixed header, CSRC list, header extension and padding.
#include "sdk/sources/rtp_packet.h"

namespace kv {

bool ParseRtpPacket(uint8_t* data, size_t length, RtpPacket* out) {
  if (data == nullptr || length < kRtpHeaderSize) return false;
  if ((data[0] >> 6) != 2) return false;
  const bool padding = (data[0] & 0x20) != 0;
  const bool extension = (data[0] & 0x10) != 0;
  const size_t csrcCount = data[0] & 0x0F;
  size_t start = kRtpHeaderSize + 4 * csrcCount;
  if (start > length) return false;
  if (extension) {
    if (start + 4 > length) return false;
    const size_t words = (static_cast<size_t>(data[start + 2]) << 8) | data[start + 3];
    start += 4 + 4 * words;
    if (start > length) return false;
  }
  size_t end = length;
  if (padding) {
    const size_t pad = data[length - 1];
    if (pad == 0 || pad > end - start) return false;
    end -= pad;
  }
  out->marker = (data[1] & 0x80) != 0;
  out->payloadType = data[1] & 0x7F;
  out->sequence = static_cast<uint16_t>((data[2] << 8) | data[3]);
  out->timestamp = (static_cast<uint32_t>(data[4]) << 24) | (static_cast<uint32_t>(data[5]) << 16) |
                   (static_cast<uint32_t>(data[6]) << 8) | data[7];
  out->payload = data + start;
  out->payloadLength = end - start;
  return true;
}

}  // namespace kv
