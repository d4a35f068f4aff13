// Fuzz target for interleaved framing: the input is the byte stream of an RTSP connection,
// handed out in pieces of varying size (the first byte seeds the sizes), read packet by packet
// into a 4,096-byte buffer until the stream fails.
#include <cstdint>
#include <cstring>
#include <vector>

#include "sdk/sources/interleaved_reader.h"

namespace {

class MemoryStream : public kv::IByteStream {
 public:
  MemoryStream(const uint8_t* data, size_t size, uint8_t seed)
      : data_(data), size_(size), seed_(seed) {}
  long Receive(void* buffer, size_t length) override {
    if (!pending_.empty()) {
      const size_t n = length < pending_.size() ? length : pending_.size();
      std::memcpy(buffer, pending_.data(), n);
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
      return static_cast<long>(n);
    }
    if (at_ >= size_) return at_++ == size_ ? 0 : -1;
    seed_ = static_cast<uint8_t>(seed_ * 73 + 41);
    size_t n = 1 + seed_ % 97;
    if (n > length) n = length;
    if (n > size_ - at_) n = size_ - at_;
    std::memcpy(buffer, data_ + at_, n);
    at_ += n;
    return static_cast<long>(n);
  }
  void PushBack(const uint8_t* data, size_t length) override {
    pending_.insert(pending_.begin(), data, data + length);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  uint8_t seed_;
  std::vector<uint8_t> pending_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  MemoryStream stream(data + 1, size - 1, data[0]);
  std::vector<uint8_t> buffer(kv::kInterleavedBuffer);
  for (int packets = 0; packets < 100000; ++packets) {
    int32_t length = 0;
    const int channel = kv::ReadInterleavedPacket(stream, buffer.data(), buffer.size(), &length);
    if (channel < 0) break;
    if (length < 0 || static_cast<size_t>(length) > buffer.size()) __builtin_trap();
    if (channel != kv::kInterleavedText && (channel > 3 || length == 0)) __builtin_trap();
  }
  return 0;
}
