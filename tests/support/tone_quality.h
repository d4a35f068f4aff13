// How cleanly a recorded sine tone came through a codec: the tone is fitted block by block and
// what the fit leaves over is the noise and distortion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kv::test {

inline constexpr size_t kToneBlockSamples = 400;  // one 50 ms buffer of the audio player

// Fits a sine of `hz` (free amplitude and phase, no offset) to each whole block of
// kToneBlockSamples samples from sample `from` on, and returns the power of the fitted tones
// over the power of what they leave, in dB, summed over every block. Blocks are fitted apart so
// that a gap between two buffers does not count as noise. Returns a very low value (-1000) when
// there is no whole block or no tone at all.
double ToneQualityDb(const std::vector<int16_t>& samples, double hz, size_t from,
                     int sampleRate = 8000);

// The least ToneQualityDb a 1 kHz tone at half of full scale must keep through a codec, named
// as kvdevice's --audio option names it. Standard coders give it 34 dB or more with G.711 (the
// tone visits only eight sample values, so the figure depends on where they fall between the
// codec's steps) and about 23, 28, 36 and 42 dB with G.726 at 16, 24, 32 and 40 kbit/s (2 to 5
// bits a sample); each floor lies 3-4 dB below that. Unknown names get an unreachable floor.
double ToneFloorDb(std::string_view codec);

}  // namespace kv::test
