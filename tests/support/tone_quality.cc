// Fits a sine block by block and compares its power with what is left over.
#include "tests/support/tone_quality.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kv::test {

double ToneQualityDb(const std::vector<int16_t>& samples, double hz, size_t from, int sampleRate) {
  const double step = 2 * std::numbers::pi * hz / sampleRate;
  std::vector<double> c(kToneBlockSamples);
  std::vector<double> s(kToneBlockSamples);
  double cc = 0, ss = 0, cs = 0;
  for (size_t i = 0; i < kToneBlockSamples; ++i) {
    c[i] = std::cos(step * static_cast<double>(i));
    s[i] = std::sin(step * static_cast<double>(i));
    cc += c[i] * c[i];
    ss += s[i] * s[i];
    cs += c[i] * s[i];
  }
  const double determinant = cc * ss - cs * cs;
  if (determinant <= 0) return -1000;  // no tone fits in a block (hz at 0 or Nyquist)

  double tone = 0, rest = 0;
  for (size_t at = from; at + kToneBlockSamples <= samples.size(); at += kToneBlockSamples) {
    // Least squares for x = a * cos + b * sin through the 2 x 2 normal equations.
    double xc = 0, xs = 0;
    for (size_t i = 0; i < kToneBlockSamples; ++i) {
      xc += samples[at + i] * c[i];
      xs += samples[at + i] * s[i];
    }
    const double a = (xc * ss - xs * cs) / determinant;
    const double b = (xs * cc - xc * cs) / determinant;
    for (size_t i = 0; i < kToneBlockSamples; ++i) {
      const double fit = a * c[i] + b * s[i];
      const double left = samples[at + i] - fit;
      tone += fit * fit;
      rest += left * left;
    }
  }
  if (tone <= 0) return -1000;
  // A perfect fit is capped (about 1e-12 of the tone's power) rather than infinite.
  return 10 * std::log10(tone / std::max(rest, tone * 1e-12));
}

double ToneFloorDb(std::string_view codec) {
  if (codec == "g711u" || codec == "g711a") return 30;
  if (codec == "g726-16") return 20;
  if (codec == "g726-24") return 24;
  if (codec == "g726-32") return 32;
  if (codec == "g726-40") return 38;
  return 1000;
}

}  // namespace kv::test
