// Sine tone generator for the simulated camera's audio.
#pragma once

#include <cstdint>

namespace kvdevice {

class ToneGenerator {
 public:
  // amplitude is the peak as a fraction of full scale (0.5 = -6 dBFS).
  ToneGenerator(int frequencyHz, int sampleRate, double amplitude);
  void fill(int16_t* samples, int count);

 private:
  double phase_ = 0;
  double step_;
  double amplitude_;
};

}  // namespace kvdevice
