// RTP interleaved on the RTSP connection: '$', a channel byte, a 16-bit big-endian length and
// the packet; anything else on the connection (RTSP answers) comes back as text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv {

constexpr size_t kInterleavedBuffer = 4096;
constexpr int kInterleavedText = 255;
constexpr size_t kInterleavedTextChunk = 1024;

// A byte stream with room to give bytes back.
class IByteStream {
 public:
  // Up to length bytes; 0 when the peer ended, -1 on failure (including a time-out).
  virtual long Receive(void* buffer, size_t length) = 0;
  // Bytes that were received too early; the next Receive returns them first.
  virtual void PushBack(const uint8_t* data, size_t length) = 0;

 protected:
  ~IByteStream() = default;
};

// Receives exactly length bytes; false when a receive fails or the peer ends first.
bool ReceiveExact(IByteStream& stream, void* buffer, size_t length);

// Reads one interleaved packet into out (capacity bytes, at least 1025). Returns its channel
// (0 to 3) with *outLength its length; kInterleavedText for bytes that are not a packet (up to
// the next '$', at most 1025); -1 when the stream fails or breaks the framing (channel above 3,
// length 0 or 32768 and above). A packet longer than capacity is read past and skipped: the
// result is kInterleavedText with *outLength 0.
int ReadInterleavedPacket(IByteStream& stream, uint8_t* out, size_t capacity, int32_t* outLength);

}  // namespace kv
