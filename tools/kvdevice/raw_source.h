// Where the simulated camera's uncoded pictures and sound come from (pattern or media file).
#pragma once

#include <cstdint>

extern "C" {
struct AVFrame;
}

namespace kvdevice {

class RawSource {
 public:
  virtual ~RawSource() = default;
  // Fills frame, allocated by the caller as planar 4:2:0 at the stream's size, with picture
  // `number` (counted from 0). Returns false when there are no more pictures.
  virtual bool nextPicture(int64_t number, AVFrame* frame) = 0;
  // Fills `count` mono 16-bit samples at 8,000 samples/s. Returns false at the end.
  virtual bool nextAudio(int16_t* samples, int count) = 0;
};

}  // namespace kvdevice
