// The JPEG header rebuilt in front of RFC 2435 scan data, and the tables it takes.
#include <cstring>

#include "sdk/media/jpeg_tables.h"
#include "sdk/sources/rtp_jpeg.h"

namespace kv {
namespace {

// The example quantisation tables of T.81 Annex K.1 in zigzag order, scaled by Q (RFC 2435).
constexpr uint8_t kLumQuant[64] = {16,  11, 12, 14,  12,  10,  16,  14,  13, 14,  18,  17,  16,
                                   19,  24, 40, 26,  24,  22,  22,  24,  49, 35,  37,  29,  40,
                                   58,  51, 61, 60,  57,  51,  56,  55,  64, 72,  92,  78,  64,
                                   68,  87, 69, 55,  56,  80,  109, 81,  87, 95,  98,  103, 104,
                                   103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};
constexpr uint8_t kChrQuant[64] = {17, 18, 18, 24, 21, 24, 47, 26, 26, 47, 99, 66, 56, 66, 99, 99,
                                   99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                   99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                   99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

uint8_t* put(uint8_t* out, const uint8_t* bytes, size_t length) {
  std::memcpy(out, bytes, length);
  return out + length;
}

uint8_t* put16(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value >> 8);
  out[1] = static_cast<uint8_t>(value);
  return out + 2;
}

uint8_t* putHuffman(uint8_t* out, uint8_t lengthLow, uint8_t tableClassId, const uint8_t* counts,
                    const uint8_t* values, size_t valueCount) {
  const uint8_t head[5] = {0xFF, 0xC4, 0x00, lengthLow, tableClassId};
  out = put(out, head, 5);
  out = put(out, counts, 16);
  return put(out, values, valueCount);
}

}  // namespace

size_t BuildJpegHeader(uint8_t* out, uint8_t type, uint16_t widthBlocks, uint16_t heightBlocks,
                       uint16_t restartInterval, const uint8_t* table0, const uint8_t* table1) {
  uint8_t* p = out;
  const uint8_t soi[2] = {0xFF, 0xD8};
  p = put(p, soi, 2);
  const uint8_t dqt0[5] = {0xFF, 0xDB, 0x00, 0x43, 0x00};
  p = put(p, dqt0, 5);
  p = put(p, table0, 64);
  const uint8_t dqt1[5] = {0xFF, 0xDB, 0x00, 0x43, 0x01};
  p = put(p, dqt1, 5);
  p = put(p, table1, 64);
  if (restartInterval != 0) {
    const uint8_t dri[4] = {0xFF, 0xDD, 0x00, 0x04};
    p = put(p, dri, 4);
    p = put16(p, restartInterval);
  }
  // Types 0 and 64 are 4:2:2 (two luminance blocks across), 1 and 65 are 4:2:0.
  const uint8_t sampling = (type & 0x3F) == 0 ? 0x21 : 0x22;
  const uint8_t sof[5] = {0xFF, 0xC0, 0x00, 0x11, 0x08};
  p = put(p, sof, 5);
  p = put16(p, static_cast<uint16_t>(heightBlocks * 8));
  p = put16(p, static_cast<uint16_t>(widthBlocks * 8));
  const uint8_t components[10] = {0x03, 0x00, sampling, 0x00, 0x01, 0x11, 0x01, 0x02, 0x11, 0x01};
  p = put(p, components, 10);
  p = putHuffman(p, 0x1F, 0x00, jpeg::kDcLuminanceCounts, jpeg::kDcSymbols,
                 sizeof jpeg::kDcSymbols);
  p = putHuffman(p, 0xB5, 0x10, jpeg::kAcLuminanceCounts, jpeg::kAcLuminanceSymbols,
                 sizeof jpeg::kAcLuminanceSymbols);
  p = putHuffman(p, 0x1F, 0x01, jpeg::kDcChrominanceCounts, jpeg::kDcSymbols,
                 sizeof jpeg::kDcSymbols);
  p = putHuffman(p, 0xB5, 0x11, jpeg::kAcChrominanceCounts, jpeg::kAcChrominanceSymbols,
                 sizeof jpeg::kAcChrominanceSymbols);
  const uint8_t sos[14] = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x00, 0x00,
                           0x01, 0x11, 0x02, 0x11, 0x00, 0x3F, 0x00};
  p = put(p, sos, 14);
  return static_cast<size_t>(p - out);
}

void MakeJpegQuantTables(uint8_t q, uint8_t* luminance, uint8_t* chrominance) {
  const int factor = q < 1 ? 1 : (q > 99 ? 99 : q);
  const int scale = factor < 50 ? 5000 / factor : 200 - factor * 2;
  for (int i = 0; i < 64; ++i) {
    int l = (kLumQuant[i] * scale + 50) / 100;
    int c = (kChrQuant[i] * scale + 50) / 100;
    luminance[i] = static_cast<uint8_t>(l < 1 ? 1 : (l > 255 ? 255 : l));
    chrominance[i] = static_cast<uint8_t>(c < 1 ? 1 : (c > 255 ? 255 : c));
  }
}

}  // namespace kv
