// The proprietary stream's datagram: a 68-byte big-endian header and one piece of payload.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv {

constexpr size_t kUdpHeaderSize = 68;
constexpr size_t kUdpMaxDatagram = 4096;

enum UdpMediaKind : uint8_t { kUdpVideo = 0, kUdpAudio = 1 };
enum UdpFragment : uint8_t { kUdpWhole = 0, kUdpFirst = 1, kUdpMiddle = 2, kUdpLast = 3 };
constexpr uint8_t kUdpKeyFrame = 7;

struct UdpDatagram {
  uint32_t streamId = 0;
  uint32_t sequence = 0;
  uint8_t mediaKind = 0;
  uint8_t videoCodec = 0;
  uint8_t frameType = 0;
  uint8_t fragment = 0;
  uint8_t deviceGeneration = 0;
  uint8_t audioCodec = 0;
  uint32_t payloadLength = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t frameRate = 0;
  uint32_t bitRate = 0;
  const uint8_t* payload = nullptr;
};

enum class UdpParseResult { kOk, kTooSmall, kBadLength };

// Reads the header of a datagram of length bytes. kTooSmall: not more than the header;
// kBadLength: the payload length field disagrees with the size.
UdpParseResult ParseUdpDatagram(const uint8_t* data, size_t length, UdpDatagram* out);

// True when the piece opens a coded unit (it gets a start code).
inline bool OpensUnit(uint8_t fragment) { return fragment == kUdpWhole || fragment == kUdpFirst; }
// True when the piece closes a coded unit (it ends a conduit frame).
inline bool ClosesUnit(uint8_t fragment) { return fragment == kUdpWhole || fragment == kUdpLast; }

// A video piece of a key picture (devices mark every piece of a key picture so).
inline bool IsKeyVideo(const UdpDatagram& d) {
  return d.mediaKind == kUdpVideo && d.frameType == kUdpKeyFrame;
}

// True when a key piece shows by its own bytes that a key picture begins with it: it opens a
// coded unit, and that unit is an H.264 sequence parameter set or access unit delimiter, a
// JPEG picture, or an MPEG-4 sequence, object, layer or group header. (A key picture may
// also begin elsewhere; the ordering learns that from the datagram before it.)
bool StartsKeyPicture(const UdpDatagram& d);

}  // namespace kv
