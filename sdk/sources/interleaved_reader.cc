// Interleaved framing.
#include "sdk/sources/interleaved_reader.h"

#include <cstring>

namespace kv {

bool ReceiveExact(IByteStream& stream, void* buffer, size_t length) {
  uint8_t* p = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    const long n = stream.Receive(p, length);
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

int ReadInterleavedPacket(IByteStream& stream, uint8_t* out, size_t capacity, int32_t* outLength) {
  *outLength = 0;
  if (capacity < 1 + kInterleavedTextChunk) return -1;
  uint8_t first = 0;
  if (stream.Receive(&first, 1) != 1) return -1;
  if (first != '$') {
    out[0] = first;
    const long n = stream.Receive(out + 1, kInterleavedTextChunk);
    if (n <= 0) return -1;
    // Text ends where the next packet begins; the packet stays for the next call.
    size_t text = static_cast<size_t>(n);
    const void* dollar = std::memchr(out + 1, '$', text);
    if (dollar != nullptr) {
      const size_t keep =
          text - static_cast<size_t>(static_cast<const uint8_t*>(dollar) - (out + 1));
      stream.PushBack(static_cast<const uint8_t*>(dollar), keep);
      text -= keep;
    }
    *outLength = static_cast<int32_t>(text + 1);
    return kInterleavedText;
  }
  uint8_t channel = 0;
  if (stream.Receive(&channel, 1) != 1 || channel > 3) return -1;
  uint8_t size[2];
  if (!ReceiveExact(stream, size, 2)) return -1;
  const int16_t signedLength = static_cast<int16_t>((size[0] << 8) | size[1]);
  if (signedLength <= 0) return -1;
  const size_t length = static_cast<size_t>(signedLength);
  if (length > capacity) {
    // Too long for the buffer: read it past in buffer-sized steps and drop it.
    size_t left = length;
    while (left > 0) {
      const size_t step = left < capacity ? left : capacity;
      if (!ReceiveExact(stream, out, step)) return -1;
      left -= step;
    }
    return kInterleavedText;
  }
  if (!ReceiveExact(stream, out, length)) return -1;
  *outLength = static_cast<int32_t>(length);
  return channel;
}

}  // namespace kv
