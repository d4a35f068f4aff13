// The four running counters of a client session that the bit-rate meter turns into rates.
#pragma once

#include <atomic>
#include <cstdint>

namespace kv {

// Written by the receive and decode threads and by the meter without a common lock; each
// field is a plain 32-bit value, so a report can at worst be off by one period.
struct StreamCounters {
  std::atomic<uint32_t> byteCount{0};   // received video payload bytes
  std::atomic<uint32_t> bitRate{0};     // kbit/s over the last period (1024 bits to the kbit)
  std::atomic<uint32_t> frameCount{0};  // decoded pictures
  std::atomic<uint32_t> frameRate{0};   // pictures over the last period
};

}  // namespace kv
