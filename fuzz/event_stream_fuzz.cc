// Fuzz target for the device's event stream: the input is cut into receives (each led by a
// one-byte length) that go through the receiver's buffer, message extraction and report parsing.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "sdk/control/event_stream.h"
#include "sdk/state/motion_regions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::EventStreamBuffer held;
  kv::MotionRegionTable table;
  size_t at = 0;
  std::string message;
  while (at < size) {
    size_t chunk = data[at++];
    if (chunk == 0) chunk = 256;
    held.DiscardIfFull();
    if (chunk > held.Room()) chunk = held.Room();
    if (chunk > size - at) chunk = size - at;
    std::memcpy(held.WritePointer(), data + at, chunk);
    held.Commit(chunk);
    at += chunk;
    if (held.held() > kv::EventStreamBuffer::kCapacity) __builtin_trap();
    while (held.NextMessage(&message)) {
      if (message.compare(0, 3, "CMD") != 0) __builtin_trap();
      const kv::EventMessage event = kv::ParseEventMessage(message);
      if (event.kind != kv::EventMessage::Kind::kMotion) continue;
      if (event.mask > 0xFFFF) __builtin_trap();
      for (int i = 0; i < 16; ++i) {
        if ((event.mask & (1u << i)) == 0) continue;
        int32_t rect[4];
        std::memcpy(rect, event.regions[i], sizeof rect);
        kv::ClampRegion(rect);
        if (rect[0] < 0 || rect[2] > kv::kRegionSpaceWidthUnits || rect[1] < 0 ||
            rect[3] > kv::kRegionSpaceHeightUnits) {
          __builtin_trap();
        }
        kv::StoreRegion(table, i, rect);
      }
    }
  }
  return 0;
}
