// G.711 A-law and mu-law companding between 16-bit linear PCM and 8-bit codes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::platform {

// The 16-bit sample is taken as left-justified uniform PCM (13 significant bits for A-law, 14 for
// mu-law). A negative sample x is quantised by the magnitude -1 - x, the convention of ITU-T's
// reference coder, so that x and -1 - x give codes that differ only in the sign bit.
uint8_t LinearToAlaw(int16_t sample);
uint8_t LinearToUlaw(int16_t sample);

// Decoder output is the middle of the code's quantisation interval, scaled to 16 bits.
int16_t AlawToLinear(uint8_t code);
int16_t UlawToLinear(uint8_t code);

// Block forms of the above; `in` and `out` hold `count` items each.
void EncodeAlaw(const int16_t* in, size_t count, uint8_t* out);
void EncodeUlaw(const int16_t* in, size_t count, uint8_t* out);
void DecodeAlaw(const uint8_t* in, size_t count, int16_t* out);
void DecodeUlaw(const uint8_t* in, size_t count, int16_t* out);

}  // namespace kv::platform
