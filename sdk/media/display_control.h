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
  // Stores the snapshot path and asks for the next shown picture to be saved there; 1 when the
  // request is stored, 0 when the path is empty or longer than its field.
  virtual int RequestCapture(const char* path) = 0;
};

}  // namespace kv
