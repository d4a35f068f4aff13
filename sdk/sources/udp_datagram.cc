// Parsing of the proprietary stream's datagram header.
#include "sdk/sources/udp_datagram.h"

namespace kv {
namespace {

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

UdpParseResult ParseUdpDatagram(const uint8_t* data, size_t length, UdpDatagram* out) {
  if (data == nullptr || length <= kUdpHeaderSize) return UdpParseResult::kTooSmall;
  UdpDatagram d;
  d.streamId = Be32(data + 4);
  d.sequence = Be32(data + 12);
  d.mediaKind = data[16];
  d.videoCodec = data[17];
  d.frameType = data[18];
  d.fragment = data[19];
  d.deviceGeneration = data[21];
  d.audioCodec = data[22];
  d.payloadLength = Be32(data + 24);
  d.width = Be32(data + 28);
  d.height = Be32(data + 32);
  d.frameRate = Be32(data + 36);
  d.bitRate = Be32(data + 40);
  d.payload = data + kUdpHeaderSize;
  if (d.payloadLength != length - kUdpHeaderSize) return UdpParseResult::kBadLength;
  *out = d;
  return UdpParseResult::kOk;
}

}  // namespace kv
