// Parsing of the proprietary stream's datagram header.
#include "sdk/sources/udp_datagram.h"

#include "KvNetClient.h"

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

bool StartsKeyPicture(const UdpDatagram& d) {
  if (!IsKeyVideo(d) || !OpensUnit(d.fragment) || d.payload == nullptr) return false;
  const uint8_t* p = d.payload;
  size_t n = d.payloadLength;
  // The payload normally has no start code; one that brings its own is read past it.
  if (n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1) {
    p += 4;
    n -= 4;
  } else if (n >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1) {
    p += 3;
    n -= 3;
  }
  if (n == 0) return false;
  switch (d.videoCodec) {
    case VCODEC_H264: {
      const uint8_t type = p[0] & 0x1F;
      return (p[0] & 0x80) == 0 && (type == 7 || type == 9);
    }
    case VCODEC_MJPEG:  // start of image
      return n >= 2 && p[0] == 0xFF && p[1] == 0xD8;
    case VCODEC_MPEG4:  // visual object sequence, visual object, group, object or layer header
      return p[0] == 0xB0 || p[0] == 0xB5 || p[0] == 0xB3 || p[0] <= 0x2F;
    default:
      return false;
  }
}

}  // namespace kv
