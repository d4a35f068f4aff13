// Reading back what the library drew: the number squares of the test streams, taken from the
// device context a draw callback receives, and a pacing clock that moves only when the pacing
// sleeps, so intervals between shown pictures are exact whatever the machine's load.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "sdk/media/pacing.h"

namespace kv::test {

// The window's back surface (32-bit, blue first) sampled down to the picture's size as luma.
std::vector<uint8_t> LumaAtPictureSize(const uint8_t* bgrx, int pitch, int width, int height,
                                       int pictureWidth, int pictureHeight);

// The number of the picture drawn into the draw callback's device context (a cairo context on
// an image surface), sampled at the picture's size (the window's when 0). -2 when the context
// is not an image surface, -1 when the number cannot be read.
int ReadDrawnPictureNumber(void* dc, int pictureWidth = 0, int pictureHeight = 0);

class VirtualPacingTimer : public PacingTimer {
 public:
  // realSleepMs: a real sleep taken on every pacing sleep, to keep a worker from running far
  // ahead of the test that watches it.
  explicit VirtualPacingTimer(uint32_t realSleepMs = 0) : realSleepMs_(realSleepMs) {}
  uint32_t Now() override { return now_.load(); }
  void Sleep(uint32_t milliseconds) override;

 private:
  const uint32_t realSleepMs_;
  std::atomic<uint32_t> now_{5000};
};

}  // namespace kv::test
