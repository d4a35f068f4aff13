// Sine tone generator for the simulated camera's audio.
#include "tools/kvdevice/tone.h"

#include <cmath>
#include <numbers>

namespace kvdevice {

ToneGenerator::ToneGenerator(int frequencyHz, int sampleRate, double amplitude)
    : step_(2 * std::numbers::pi * frequencyHz / sampleRate), amplitude_(amplitude * 32767.0) {}

void ToneGenerator::fill(int16_t* samples, int count) {
  for (int i = 0; i < count; ++i) {
    samples[i] = static_cast<int16_t>(std::lround(amplitude_ * std::sin(phase_)));
    phase_ += step_;
    if (phase_ >= 2 * std::numbers::pi) phase_ -= 2 * std::numbers::pi;
  }
}

}  // namespace kvdevice
