// Results and constants shared by the waiting primitives.
#pragma once

#include <cstdint>

namespace kv::platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

enum WaitResult : uint32_t {
  kWaitObject0 = 0,  // kWaitObject0 + i: event i was signalled
  kWaitTimeout = 258,
  kWaitFailed = 0xFFFFFFFFu,
};

}  // namespace kv::platform
