// Generated test picture: moving colour bars, the frame number and stream time as big digits,
// and the frame number as a row of black/white blocks that a test can read back after decoding.
#pragma once

#include <cstdint>

#include "tools/kvdevice/raw_source.h"
#include "tools/kvdevice/tone.h"

namespace kvdevice {

// The counter row: the bottom eighth of the picture is split into kCounterBits equal cells
// across the full width; cell 0 (left) is the most significant bit of the frame number modulo
// 2^kCounterBits. A set bit is white (luma 235), a clear bit black (luma 16).
inline constexpr int kCounterBits = 16;

class PatternSource : public RawSource {
 public:
  PatternSource(int frameRate, int toneHz);
  bool nextPicture(int64_t number, AVFrame* frame) override;
  bool nextAudio(int16_t* samples, int count) override;

 private:
  int frameRate_;
  ToneGenerator tone_;
};

}  // namespace kvdevice
