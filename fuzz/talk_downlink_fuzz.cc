// Fuzz target for the talk downlink: the input's first byte picks the talk codec and the rest is
// the byte stream the device sends, read frame by frame as the receive worker reads it.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sdk/control/talk_frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  kv::DownlinkReader reader(kv::TalkCodecForGeneration(data[0] & 1).mode);
  if (!reader.Reset()) __builtin_trap();
  size_t at = 1;
  const kv::DownlinkReader::ReceiveAll receiveAll = [&](size_t n, void* out) -> long {
    if (size - at < n) return 0;
    std::memcpy(out, data + at, n);
    at += n;
    return static_cast<long>(n);
  };
  uint8_t block[kv::DownlinkReader::kPlayBlockBytes];
  const kv::DownlinkReader::Play play = [&](const uint8_t* pcm, int bytes) {
    if (bytes <= 0 || bytes > kv::DownlinkReader::kPlayBlockBytes) __builtin_trap();
    std::memcpy(block, pcm, static_cast<size_t>(bytes));
  };
  while (reader.Step(receiveAll, play)) {
  }
  return 0;
}
