// What the display exports reach in a client's decode/display worker.
#pragma once

#include <cstdint>

namespace kv {

class IDisplayControl {
 public:
  virtual ~IDisplayControl() = default;
  // Draws from now on into this window (the next picture rebuilds the surfaces).
  virtual void SetWindow(uint32_t window) = 0;
  // Redraws the last picture; 1 on success.
  virtual int Refresh() = 0;
};

}  // namespace kv
