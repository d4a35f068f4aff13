// The fixed parts of a snapshot JPEG: the example quantisation and Huffman tables of the JPEG
// standard (ITU-T T.81 Annex K), the codes built from them and the 623-byte file header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kv::jpeg {

// Natural (row-major) position of each zigzag index.
extern const std::array<uint8_t, 64> kNaturalOrder;

// The example tables scaled to 30 % ((30 × base + 50) / 100, clamped to 1..255), in zigzag
// order as they are written to the file.
extern const std::array<uint8_t, 64> kLuminanceQuant;
extern const std::array<uint8_t, 64> kChrominanceQuant;

// Code and length (bits) of each symbol of one Huffman table; length 0: no code.
struct HuffmanCodes {
  std::array<uint16_t, 256> code{};
  std::array<uint8_t, 256> length{};
};

// The four standard tables with their codes (T.81 Annex C).
struct HuffmanSet {
  HuffmanCodes luminanceDc, chrominanceDc, luminanceAc, chrominanceAc;
};
const HuffmanSet& StandardHuffman();

// Builds the codes of a table given as 16 counts (codes of length 1..16) and its symbols.
HuffmanCodes BuildHuffmanCodes(const uint8_t counts[16], const uint8_t* symbols);

// Divisors for the float DCT output, natural order: 1 / (q × s[row] × s[column] × 8) with the
// AAN scale factors s.
std::array<float, 64> DctDivisors(const std::array<uint8_t, 64>& zigzagQuant);

// Offsets of the fixed header (all lengths big-endian).
inline constexpr size_t kApp0Offset = 2;
inline constexpr size_t kDqtLuminanceOffset = 20;
inline constexpr size_t kDqtChrominanceOffset = 89;
inline constexpr size_t kSof0Offset = 158;
inline constexpr size_t kDhtOffset = 177;
inline constexpr size_t kSosOffset = 609;
inline constexpr size_t kHeaderLength = 623;

// Writes SOI, APP0, both DQT, SOF0 (height, width, three components 1x1), the four DHT and SOS
// into out[0..623).
void WriteHeader(uint8_t* out, uint16_t width, uint16_t height);

}  // namespace kv::jpeg
