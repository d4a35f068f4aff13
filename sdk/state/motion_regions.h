// The motion-region table a client keeps: the device's settings record, when each region last
// reported motion and the last motion mask. The control channel writes the rectangles, the event
// receiver the rectangles, alarm times and mask, and the overlay reads them; every field is
// written and read as a single atomic value, so a torn record costs at most one wrong frame.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "KvNetClient.h"

namespace kv {

struct MotionRegionTable {
  KVNET_MD_INFO info{};
  uint32_t lastMotionTick[16]{};
  uint32_t lastMask = 0;
};

// The fixed coordinate space of the motion-detection regions.
inline constexpr int32_t kRegionSpaceWidthUnits = 704;
inline constexpr int32_t kRegionSpaceHeightUnits = 576;

// Keeps a rectangle inside the region space, so scaling it to a window cannot overflow.
inline void ClampRegion(int32_t rect[4]) {
  rect[0] = std::clamp(rect[0], 0, kRegionSpaceWidthUnits);
  rect[1] = std::clamp(rect[1], 0, kRegionSpaceHeightUnits);
  rect[2] = std::clamp(rect[2], 0, kRegionSpaceWidthUnits);
  rect[3] = std::clamp(rect[3], 0, kRegionSpaceHeightUnits);
}

inline void LoadRegion(MotionRegionTable& table, int i, int32_t out[4]) {
  for (int k = 0; k < 4; ++k) out[k] = std::atomic_ref(table.info.region[i][k]).load();
}

inline void StoreRegion(MotionRegionTable& table, int i, const int32_t rect[4]) {
  for (int k = 0; k < 4; ++k) std::atomic_ref(table.info.region[i][k]).store(rect[k]);
}

// Copies a whole settings record into the table, field by field.
inline void StoreSettings(MotionRegionTable& table, const KVNET_MD_INFO& info) {
  for (int i = 0; i < 16; ++i) {
    std::atomic_ref(table.info.setting[i]).store(info.setting[i]);
    StoreRegion(table, i, info.region[i]);
  }
}

}  // namespace kv
