// The standard JPEG tables, the Huffman code generation and the snapshot file header.
#include "sdk/media/jpeg_tables.h"

#include <cstring>

namespace kv::jpeg {
namespace {

// The zigzag walk over the 8 x 8 block: natural position of each zigzag index.
constexpr std::array<uint8_t, 64> MakeNaturalOrder() {
  std::array<uint8_t, 64> order{};
  int row = 0, column = 0;
  for (int i = 0; i < 64; ++i) {
    order[i] = static_cast<uint8_t>(row * 8 + column);
    if ((row + column) % 2 == 0) {  // moving up and to the right
      if (column == 7) {
        ++row;
      } else if (row == 0) {
        ++column;
      } else {
        --row;
        ++column;
      }
    } else {  // moving down and to the left
      if (row == 7) {
        ++column;
      } else if (column == 0) {
        ++row;
      } else {
        ++row;
        --column;
      }
    }
  }
  return order;
}

// T.81 Table K.1 (luminance) and K.2 (chrominance), natural order.
constexpr uint8_t kLuminanceBase[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr uint8_t kChrominanceBase[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

constexpr int kQualityScale = 30;

constexpr std::array<uint8_t, 64> ScaledZigzag(const uint8_t (&base)[64]) {
  const std::array<uint8_t, 64> natural = MakeNaturalOrder();
  std::array<uint8_t, 64> table{};
  for (int i = 0; i < 64; ++i) {
    int q = (kQualityScale * base[natural[i]] + 50) / 100;
    q = q < 1 ? 1 : (q > 255 ? 255 : q);
    table[i] = static_cast<uint8_t>(q);
  }
  return table;
}

constexpr double kAanScale[8] = {1.0, 1.387039845, 1.306562965, 1.175875602,
                                 1.0, 0.785694958, 0.5411961,   0.275899379};

uint8_t* Put16(uint8_t* p, unsigned value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
  return p + 2;
}

uint8_t* WriteDqt(uint8_t* p, uint8_t tableByte, const std::array<uint8_t, 64>& table) {
  p = Put16(p, 0xFFDB);
  p = Put16(p, 67);
  *p++ = tableByte;
  std::memcpy(p, table.data(), 64);
  return p + 64;
}

uint8_t* WriteDht(uint8_t* p, uint8_t classAndId, const uint8_t (&counts)[16],
                  const uint8_t* symbols, size_t symbolCount) {
  p = Put16(p, 0xFFC4);
  p = Put16(p, static_cast<unsigned>(2 + 1 + 16 + symbolCount));
  *p++ = classAndId;
  std::memcpy(p, counts, 16);
  p += 16;
  std::memcpy(p, symbols, symbolCount);
  return p + symbolCount;
}

}  // namespace

const std::array<uint8_t, 64> kNaturalOrder = MakeNaturalOrder();
const std::array<uint8_t, 64> kLuminanceQuant = ScaledZigzag(kLuminanceBase);
const std::array<uint8_t, 64> kChrominanceQuant = ScaledZigzag(kChrominanceBase);

HuffmanCodes BuildHuffmanCodes(const uint8_t counts[16], const uint8_t* symbols) {
  // Codes are assigned in order of length; each longer length continues from the last code
  // shifted left (T.81 C.1, C.2).
  HuffmanCodes table;
  unsigned code = 0;
  size_t k = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < counts[length - 1]; ++i, ++k) {
      table.code[symbols[k]] = static_cast<uint16_t>(code++);
      table.length[symbols[k]] = static_cast<uint8_t>(length);
    }
    code <<= 1;
  }
  return table;
}

const HuffmanSet& StandardHuffman() {
  static const HuffmanSet set{BuildHuffmanCodes(kDcLuminanceCounts, kDcSymbols),
                              BuildHuffmanCodes(kDcChrominanceCounts, kDcSymbols),
                              BuildHuffmanCodes(kAcLuminanceCounts, kAcLuminanceSymbols),
                              BuildHuffmanCodes(kAcChrominanceCounts, kAcChrominanceSymbols)};
  return set;
}

std::array<float, 64> DctDivisors(const std::array<uint8_t, 64>& zigzagQuant) {
  std::array<uint8_t, 64> natural{};
  for (int i = 0; i < 64; ++i) natural[kNaturalOrder[i]] = zigzagQuant[i];
  std::array<float, 64> divisors{};
  for (int row = 0; row < 8; ++row) {
    for (int column = 0; column < 8; ++column) {
      const double q = natural[row * 8 + column];
      divisors[row * 8 + column] =
          static_cast<float>(1.0 / (q * kAanScale[row] * kAanScale[column] * 8.0));
    }
  }
  return divisors;
}

void WriteHeader(uint8_t* out, uint16_t width, uint16_t height) {
  uint8_t* p = Put16(out, 0xFFD8);
  // APP0: "JFIF\0", version 1.1, no density units, density 1 x 1, no thumbnail.
  static constexpr uint8_t kApp0[18] = {0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0,
                                        1,    1,    0, 0,  1,   0,   1,   0,   0};
  std::memcpy(p, kApp0, sizeof kApp0);
  p += sizeof kApp0;
  p = WriteDqt(p, 0x00, kLuminanceQuant);
  p = WriteDqt(p, 0x01, kChrominanceQuant);
  // SOF0: precision 8, the size, three components sampled 1 x 1 (Y on table 0, Cb and Cr on 1).
  p = Put16(p, 0xFFC0);
  p = Put16(p, 17);
  *p++ = 8;
  p = Put16(p, height);
  p = Put16(p, width);
  *p++ = 3;
  static constexpr uint8_t kComponents[9] = {1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1};
  std::memcpy(p, kComponents, sizeof kComponents);
  p += sizeof kComponents;
  p = WriteDht(p, 0x00, kDcLuminanceCounts, kDcSymbols, sizeof kDcSymbols);
  p = WriteDht(p, 0x01, kDcChrominanceCounts, kDcSymbols, sizeof kDcSymbols);
  p = WriteDht(p, 0x10, kAcLuminanceCounts, kAcLuminanceSymbols, sizeof kAcLuminanceSymbols);
  p = WriteDht(p, 0x11, kAcChrominanceCounts, kAcChrominanceSymbols, sizeof kAcChrominanceSymbols);
  // SOS: three components (Y with tables 0/0, Cb and Cr with 1/1), spectral 0..63, no
  // successive approximation.
  static constexpr uint8_t kSos[14] = {0xFF, 0xDA, 0, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0};
  std::memcpy(p, kSos, sizeof kSos);
}

}  // namespace kv::jpeg
