// G.711 companding through tables built at compile time: 256 entries per law for decoding, and
// one entry per distinguishable input (x >> 4 for A-law, x >> 2 for mu-law) for encoding.
#include "sdk/platform/g711.h"

#include <array>
#include <bit>

namespace kv::platform {
namespace {

// Magnitude used for quantising: negative values in ones' complement (see g711.h).
constexpr int quantMagnitude(int value) { return value >= 0 ? value : ~value; }

// `shifted` is the sample >> 4 (range -2048..2047); A-law quantises in steps of 16 at the bottom.
constexpr uint8_t alawFromShifted(int shifted) {
  const int magnitude = quantMagnitude(shifted);  // 0..2047
  int code;
  if (magnitude < 16) {
    code = magnitude;
  } else {
    const int exponent = std::bit_width(static_cast<unsigned>(magnitude)) - 4;  // 1..7
    code = (exponent << 4) | ((magnitude >> (exponent - 1)) & 0x0F);
  }
  if (shifted >= 0) code |= 0x80;
  return static_cast<uint8_t>(code ^ 0x55);
}

// `shifted` is the sample >> 2 (range -8192..8191); mu-law adds the bias 33 before segmenting.
constexpr uint8_t ulawFromShifted(int shifted) {
  int biased = quantMagnitude(shifted) + 33;
  if (biased > 0x1FFF) biased = 0x1FFF;
  const int segment = std::bit_width(static_cast<unsigned>(biased)) - 6;  // 0..7
  const int code = (segment << 4) | ((biased >> (segment + 1)) & 0x0F);
  return static_cast<uint8_t>((shifted >= 0 ? 0xFF : 0x7F) ^ code);
}

constexpr int16_t alawDecode(uint8_t code) {
  const int a = code ^ 0x55;
  const int mantissa = (a & 0x0F) << 4;
  const int segment = (a >> 4) & 0x07;
  const int magnitude = segment == 0 ? mantissa + 8 : (mantissa + 0x108) << (segment - 1);
  return static_cast<int16_t>((a & 0x80) ? magnitude : -magnitude);
}

constexpr int16_t ulawDecode(uint8_t code) {
  const int u = ~code & 0xFF;
  const int magnitude = ((((u & 0x0F) << 3) + 0x84) << ((u >> 4) & 0x07)) - 0x84;
  return static_cast<int16_t>((u & 0x80) ? -magnitude : magnitude);
}

// Encode tables are indexed by the unsigned bit pattern of the shifted sample.
constexpr std::array<uint8_t, 4096> kAlawEncode = [] {
  std::array<uint8_t, 4096> table{};
  for (int i = 0; i < 4096; ++i) table[i] = alawFromShifted(i < 2048 ? i : i - 4096);
  return table;
}();

constexpr std::array<uint8_t, 16384> kUlawEncode = [] {
  std::array<uint8_t, 16384> table{};
  for (int i = 0; i < 16384; ++i) table[i] = ulawFromShifted(i < 8192 ? i : i - 16384);
  return table;
}();

constexpr std::array<int16_t, 256> kAlawDecode = [] {
  std::array<int16_t, 256> table{};
  for (int i = 0; i < 256; ++i) table[i] = alawDecode(static_cast<uint8_t>(i));
  return table;
}();

constexpr std::array<int16_t, 256> kUlawDecode = [] {
  std::array<int16_t, 256> table{};
  for (int i = 0; i < 256; ++i) table[i] = ulawDecode(static_cast<uint8_t>(i));
  return table;
}();

inline uint8_t alawOf(int16_t sample) { return kAlawEncode[static_cast<uint16_t>(sample) >> 4]; }
inline uint8_t ulawOf(int16_t sample) { return kUlawEncode[static_cast<uint16_t>(sample) >> 2]; }

}  // namespace

uint8_t LinearToAlaw(int16_t sample) { return alawOf(sample); }
uint8_t LinearToUlaw(int16_t sample) { return ulawOf(sample); }
int16_t AlawToLinear(uint8_t code) { return kAlawDecode[code]; }
int16_t UlawToLinear(uint8_t code) { return kUlawDecode[code]; }

void EncodeAlaw(const int16_t* in, size_t count, uint8_t* out) {
  for (size_t i = 0; i < count; ++i) out[i] = alawOf(in[i]);
}

void EncodeUlaw(const int16_t* in, size_t count, uint8_t* out) {
  for (size_t i = 0; i < count; ++i) out[i] = ulawOf(in[i]);
}

void DecodeAlaw(const uint8_t* in, size_t count, int16_t* out) {
  for (size_t i = 0; i < count; ++i) out[i] = kAlawDecode[in[i]];
}

void DecodeUlaw(const uint8_t* in, size_t count, int16_t* out) {
  for (size_t i = 0; i < count; ++i) out[i] = kUlawDecode[in[i]];
}

}  // namespace kv::platform
