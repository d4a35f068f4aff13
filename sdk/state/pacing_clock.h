// The per-client frame-rate clock used to pace decoded pictures.
#pragma once

#include <cstdint>

namespace kv {

struct PacingClock {
  int32_t frameRate = 0;   // pictures per second; 0 disables pacing
  uint32_t startTime = 0;  // timeGetTime() milliseconds
  uint32_t count = 0;      // pictures since start
  int32_t lastSpeed = 0;   // speed of the previous call; -1 when fresh
};

}  // namespace kv
