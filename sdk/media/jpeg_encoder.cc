// The snapshot JPEG encoder. Blocks are transformed eight at a time, one block per vector lane,
// so the float AAN DCT and the quantisation run as vector arithmetic in exactly the order and
// precision of the one-block algorithm (the compiler must not contract multiply-adds here).
#include "sdk/media/jpeg_encoder.h"

#include <algorithm>
#include <cstring>

#include "sdk/media/jpeg_tables.h"

namespace kv {
namespace {

typedef float F8 __attribute__((vector_size(32)));
typedef double D8 __attribute__((vector_size(64)));
typedef int32_t I8 __attribute__((vector_size(32)));
typedef int16_t S8 __attribute__((vector_size(16)));
typedef int16_t S16 __attribute__((vector_size(32)));
typedef uint8_t B16 __attribute__((vector_size(16)));

// Blocks transformed together, one per lane.
constexpr int kLanes = 8;
// The most one coded block can take: 64 codes of at most 26 bits, every byte stuffed.
constexpr size_t kMaxBlockBytes = 512;
constexpr int kMaxSide = 65535;

// kLanes blocks of one component, position-major: sample (row r, column c) of the block in
// lane l is at [(r * 8 + c) * kLanes + l].
struct alignas(32) GroupSamples {
  uint8_t s[64 * kLanes];
};
// Their quantised coefficients, zigzag position-major: coefficient i (zigzag order) of lane l
// is at [i * kLanes + l]; bit i of nonZero[l] is set when it is not 0.
struct alignas(32) GroupCoefficients {
  int16_t c[64 * kLanes];
  uint64_t nonZero[kLanes];
};

// One pass of the float AAN forward DCT over eight values at p[0], p[step], ..., p[7 * step].
__attribute__((always_inline)) inline void Aan(F8* p, int step) {
  const F8 c4 = F8{} + 0.707106781f;
  const F8 c6 = F8{} + 0.382683433f;
  const F8 c2MinusC6 = F8{} + 0.541196100f;
  const F8 c2PlusC6 = F8{} + 1.306562965f;

  const F8 tmp0 = p[0] + p[7 * step];
  const F8 tmp7 = p[0] - p[7 * step];
  const F8 tmp1 = p[1 * step] + p[6 * step];
  const F8 tmp6 = p[1 * step] - p[6 * step];
  const F8 tmp2 = p[2 * step] + p[5 * step];
  const F8 tmp5 = p[2 * step] - p[5 * step];
  const F8 tmp3 = p[3 * step] + p[4 * step];
  const F8 tmp4 = p[3 * step] - p[4 * step];

  // Even part.
  F8 tmp10 = tmp0 + tmp3;
  const F8 tmp13 = tmp0 - tmp3;
  F8 tmp11 = tmp1 + tmp2;
  F8 tmp12 = tmp1 - tmp2;
  p[0] = tmp10 + tmp11;
  p[4 * step] = tmp10 - tmp11;
  const F8 z1 = (tmp12 + tmp13) * c4;
  p[2 * step] = tmp13 + z1;
  p[6 * step] = tmp13 - z1;

  // Odd part.
  tmp10 = tmp4 + tmp5;
  tmp11 = tmp5 + tmp6;
  tmp12 = tmp6 + tmp7;
  const F8 z5 = (tmp10 - tmp12) * c6;
  const F8 z2 = c2MinusC6 * tmp10 + z5;
  const F8 z4 = c2PlusC6 * tmp12 + z5;
  const F8 z3 = tmp11 * c4;
  const F8 z11 = tmp7 + z3;
  const F8 z13 = tmp7 - z3;
  p[5 * step] = z13 + z2;
  p[3 * step] = z13 - z2;
  p[1 * step] = z11 + z4;
  p[7 * step] = z11 - z4;
}

// Samples minus 128 as floats, DCT over rows then columns, then each value times its divisor
// rounded to the nearest integer, halves upward: (int)(value + 16384.5) - 16384, the sum
// taken in double so that no rounding of the sum moves a value across a half.
__attribute__((always_inline)) inline void Transform(const GroupSamples& samples,
                                                     const float* divisors,
                                                     GroupCoefficients* out) {
  F8 d[64];
  for (int pos = 0; pos < 64; pos += 2) {
    B16 bytes;
    std::memcpy(&bytes, samples.s + pos * kLanes, sizeof bytes);
    const S16 centred = __builtin_convertvector(bytes, S16) - 128;
    const S8 first = __builtin_shufflevector(centred, centred, 0, 1, 2, 3, 4, 5, 6, 7);
    const S8 second = __builtin_shufflevector(centred, centred, 8, 9, 10, 11, 12, 13, 14, 15);
    d[pos] = __builtin_convertvector(__builtin_convertvector(first, I8), F8);
    d[pos + 1] = __builtin_convertvector(__builtin_convertvector(second, I8), F8);
  }
  for (int row = 0; row < 8; ++row) Aan(d + row * 8, 1);
  for (int column = 0; column < 8; ++column) Aan(d + column, 8);
  // Non-zero masks per lane: bit i of low for coefficient i < 32, of high for 32 + i.
  I8 low{}, high{};
  for (int i = 0; i < 64; ++i) {
    const int pos = jpeg::kNaturalOrder[i];
    const F8 scaled = d[pos] * divisors[pos];
    const D8 biased = __builtin_convertvector(scaled, D8) + 16384.5;
    const I8 rounded = __builtin_convertvector(biased, I8) - 16384;
    const S8 narrow = __builtin_convertvector(rounded, S8);
    std::memcpy(out->c + i * kLanes, &narrow, sizeof narrow);
    const I8 bit = (rounded != 0) & static_cast<int32_t>(1u << (i & 31));
    if (i < 32) {
      low |= bit;
    } else {
      high |= bit;
    }
  }
  for (int lane = 0; lane < kLanes; ++lane) {
    out->nonZero[lane] = static_cast<uint32_t>(low[lane]) |
                         static_cast<uint64_t>(static_cast<uint32_t>(high[lane])) << 32;
  }
}

// The transform compiled twice: for processors with AVX2 (eight floats per instruction) and for
// any x86-64. The choice is made once, at the first call, rather than by an ifunc resolver,
// which would run before a sanitizer's runtime is up.
using TransformFunction = void (*)(const GroupSamples&, const float*, GroupCoefficients*);

__attribute__((target("avx2"))) void TransformAvx2(const GroupSamples& samples,
                                                   const float* divisors, GroupCoefficients* out) {
  Transform(samples, divisors, out);
}

void TransformPlain(const GroupSamples& samples, const float* divisors, GroupCoefficients* out) {
  Transform(samples, divisors, out);
}

TransformFunction ChooseTransform() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? TransformAvx2 : TransformPlain;
}

// MSB-first bit packing with a 0x00 after every 0xFF byte written.
class BitWriter {
 public:
  explicit BitWriter(uint8_t* p) : m_p(p) {}

  uint8_t* Position() const { return m_p; }
  void Rebase(uint8_t* p) { m_p = p; }

  // Appends the low `count` bits of `bits` (count at most 32).
  void Put(uint32_t bits, int count) {
    m_acc = (m_acc << count) | bits;
    m_pending += count;
    if (m_pending >= 32) {
      m_pending -= 32;
      emitWord(static_cast<uint32_t>(m_acc >> m_pending));
    }
  }

  // Pads the last partial byte with 1 bits and writes it.
  void Finish() {
    while (m_pending >= 8) {
      m_pending -= 8;
      emitByte(static_cast<uint8_t>(m_acc >> m_pending));
    }
    if (m_pending > 0) {
      const int fill = 8 - m_pending;
      emitByte(static_cast<uint8_t>((m_acc << fill) | ((1u << fill) - 1)));
      m_pending = 0;
    }
  }

 private:
  void emitByte(uint8_t b) {
    *m_p++ = b;
    if (b == 0xFF) *m_p++ = 0;
  }
  void emitWord(uint32_t w) {
    // A zero byte in ~w is a 0xFF byte in w: only then is stuffing needed.
    if ((((~w) - 0x01010101u) & w & 0x80808080u) == 0) {
      const uint32_t bigEndian = __builtin_bswap32(w);
      std::memcpy(m_p, &bigEndian, 4);
      m_p += 4;
      return;
    }
    for (int shift = 24; shift >= 0; shift -= 8) emitByte(static_cast<uint8_t>(w >> shift));
  }

  uint8_t* m_p;
  uint64_t m_acc = 0;
  int m_pending = 0;
};

// Number of bits of |value| (the JPEG category) and the value's own bits: a negative value is
// sent as value + 2^category - 1.
inline int Category(int value) {
  const unsigned magnitude = static_cast<unsigned>(value < 0 ? -value : value);
  return magnitude == 0 ? 0 : 32 - __builtin_clz(magnitude);
}
inline uint32_t ValueBits(int value, int category) {
  const int sent = value < 0 ? value - 1 : value;
  return static_cast<uint32_t>(sent) & ((1u << category) - 1);
}

// Codes the block in `lane`: the DC difference, then the AC values in zigzag order with their
// zero runs (ZRL for each 16 zeros before a value), and EOB unless position 63 is non-zero.
void CodeBlock(const GroupCoefficients& coefficients, int lane, int* lastDc,
               const jpeg::HuffmanCodes& dc, const jpeg::HuffmanCodes& ac, BitWriter* w) {
  const int16_t* z = coefficients.c + lane;  // coefficient i at z[i * kLanes]
  const int diff = z[0] - *lastDc;
  *lastDc = z[0];
  const int dcCategory = Category(diff);
  w->Put((static_cast<uint32_t>(dc.code[dcCategory]) << dcCategory) | ValueBits(diff, dcCategory),
         dc.length[dcCategory] + dcCategory);

  uint64_t nonZero = coefficients.nonZero[lane] & ~uint64_t{1};
  int last = 0;
  while (nonZero != 0) {
    const int k = __builtin_ctzll(nonZero);
    int run = k - last - 1;
    for (; run >= 16; run -= 16) w->Put(ac.code[0xF0], ac.length[0xF0]);
    const int value = z[k * kLanes];
    const int category = Category(value);
    const int symbol = run * 16 + category;
    w->Put((static_cast<uint32_t>(ac.code[symbol]) << category) | ValueBits(value, category),
           ac.length[symbol] + category);
    last = k;
    nonZero &= nonZero - 1;
  }
  if (last != 63) w->Put(ac.code[0x00], ac.length[0x00]);
}

// Transposes 8 x 8 bytes: byte c of in[l] becomes byte l of out[c] (little-endian words).
// Three rounds swap the off-diagonal 1 x 1, 2 x 2 and 4 x 4 tiles.
inline void Transpose8x8(const uint8_t* in, uint8_t* out) {
  uint64_t a[8];
  std::memcpy(a, in, sizeof a);
  for (int i = 0; i < 8; i += 2) {
    const uint64_t t = ((a[i] >> 8) ^ a[i + 1]) & 0x00FF00FF00FF00FFull;
    a[i + 1] ^= t;
    a[i] ^= t << 8;
  }
  for (int i : {0, 1, 4, 5}) {
    const uint64_t t = ((a[i] >> 16) ^ a[i + 2]) & 0x0000FFFF0000FFFFull;
    a[i + 2] ^= t;
    a[i] ^= t << 16;
  }
  for (int i = 0; i < 4; ++i) {
    const uint64_t t = ((a[i] >> 32) ^ a[i + 4]) & 0x00000000FFFFFFFFull;
    a[i + 4] ^= t;
    a[i] ^= t << 32;
  }
  std::memcpy(out, a, sizeof a);
}

// The picture's samples for one band of 8 rows, per group of kLanes block columns: the Y, Cb
// and Cr blocks in lane layout, chroma repeated to full size, the last row and column
// repeated past the picture's edge.
class BandGatherer {
 public:
  BandGatherer(const uint8_t* y, const uint8_t* u, const uint8_t* v, int yStride, int uvStride,
               int width, int height, int groups)
      : m_y(y),
        m_u(u),
        m_v(v),
        m_yStride(yStride),
        m_uvStride(uvStride),
        m_width(width),
        m_height(height),
        m_groups(groups),
        m_lineWidth(static_cast<size_t>(groups) * kLanes * 8),
        m_lines(3 * m_lineWidth),
        m_samples(static_cast<size_t>(groups) * 3) {}

  void Gather(int band) {
    uint8_t* lines[3] = {m_lines.data(), m_lines.data() + m_lineWidth,
                         m_lines.data() + 2 * m_lineWidth};
    for (int r = 0; r < 8; ++r) {
      const size_t row = static_cast<size_t>(std::min(band * 8 + r, m_height - 1));
      fillLuma(m_y + row * static_cast<size_t>(m_yStride), lines[0]);
      fillChroma(m_u + row / 2 * static_cast<size_t>(m_uvStride), lines[1]);
      fillChroma(m_v + row / 2 * static_cast<size_t>(m_uvStride), lines[2]);
      for (int g = 0; g < m_groups; ++g) {
        for (int component = 0; component < 3; ++component) {
          Transpose8x8(lines[component] + static_cast<size_t>(g) * kLanes * 8,
                       m_samples[static_cast<size_t>(g) * 3 + component].s + r * 8 * kLanes);
        }
      }
    }
  }

  // Component 0 (Y), 1 (Cb) or 2 (Cr) of group g.
  const GroupSamples& Samples(int g, int component) const {
    return m_samples[static_cast<size_t>(g) * 3 + component];
  }

 private:
  void fillLuma(const uint8_t* source, uint8_t* line) const {
    std::memcpy(line, source, static_cast<size_t>(m_width));
    std::memset(line + m_width, source[m_width - 1], m_lineWidth - static_cast<size_t>(m_width));
  }
  // Each chroma sample twice; sixteen at a time while whole sixteens fit the row.
  void fillChroma(const uint8_t* source, uint8_t* line) const {
    const int pairs = m_width / 2;
    int i = 0;
    for (; i + 16 <= pairs; i += 16) {
      B16 in;
      std::memcpy(&in, source + i, sizeof in);
      const B16 first =
          __builtin_shufflevector(in, in, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7);
      const B16 second = __builtin_shufflevector(in, in, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13,
                                                 14, 14, 15, 15);
      std::memcpy(line + 2 * i, &first, sizeof first);
      std::memcpy(line + 2 * i + 16, &second, sizeof second);
    }
    for (; i < pairs; ++i) line[2 * i] = line[2 * i + 1] = source[i];
    if (m_width % 2 != 0) line[m_width - 1] = source[pairs];
    std::memset(line + m_width, line[m_width - 1], m_lineWidth - static_cast<size_t>(m_width));
  }

  const uint8_t* m_y;
  const uint8_t* m_u;
  const uint8_t* m_v;
  const int m_yStride, m_uvStride, m_width, m_height, m_groups;
  const size_t m_lineWidth;
  std::vector<uint8_t> m_lines;
  std::vector<GroupSamples> m_samples;
};

}  // namespace

size_t EncodeJpeg(const uint8_t* y, const uint8_t* u, const uint8_t* v, int yStride, int uvStride,
                  int width, int height, std::vector<uint8_t>* out, JpegTransform transform) {
  out->clear();
  if (y == nullptr || u == nullptr || v == nullptr || width < 1 || height < 1 || width > kMaxSide ||
      height > kMaxSide || yStride < width || uvStride < (width + 1) / 2) {
    return 0;
  }
  static const std::array<float, 64> luminanceDivisors = jpeg::DctDivisors(jpeg::kLuminanceQuant);
  static const std::array<float, 64> chrominanceDivisors =
      jpeg::DctDivisors(jpeg::kChrominanceQuant);
  const jpeg::HuffmanSet& huffman = jpeg::StandardHuffman();
  static const TransformFunction best = ChooseTransform();
  const TransformFunction transformGroup =
      transform == JpegTransform::kPortable ? TransformPlain : best;

  const int blocksX = (width + 7) / 8;
  const int blocksY = (height + 7) / 8;
  const int groups = (blocksX + kLanes - 1) / kLanes;
  BandGatherer gatherer(y, u, v, yStride, uvStride, width, height, groups);

  // Natural pictures at this quality take well under a byte per pixel; the buffer grows
  // before any group that might not fit.
  const size_t groupBytes = 3 * kLanes * kMaxBlockBytes;
  out->resize(jpeg::kHeaderLength + static_cast<size_t>(width) * height / 2 + 2 * groupBytes);
  jpeg::WriteHeader(out->data(), static_cast<uint16_t>(width), static_cast<uint16_t>(height));
  BitWriter writer(out->data() + jpeg::kHeaderLength);

  int lastDc[3] = {0, 0, 0};
  GroupCoefficients coefficients[3];
  for (int band = 0; band < blocksY; ++band) {
    gatherer.Gather(band);
    for (int g = 0; g < groups; ++g) {
      const size_t used = static_cast<size_t>(writer.Position() - out->data());
      if (out->size() - used < groupBytes + 2) {
        out->resize(std::max(out->size() * 2, used + groupBytes + 2));
        writer.Rebase(out->data() + used);
      }
      transformGroup(gatherer.Samples(g, 0), luminanceDivisors.data(), &coefficients[0]);
      transformGroup(gatherer.Samples(g, 1), chrominanceDivisors.data(), &coefficients[1]);
      transformGroup(gatherer.Samples(g, 2), chrominanceDivisors.data(), &coefficients[2]);
      const int lanes = std::min(kLanes, blocksX - g * kLanes);
      for (int lane = 0; lane < lanes; ++lane) {
        CodeBlock(coefficients[0], lane, &lastDc[0], huffman.luminanceDc, huffman.luminanceAc,
                  &writer);
        CodeBlock(coefficients[1], lane, &lastDc[1], huffman.chrominanceDc, huffman.chrominanceAc,
                  &writer);
        CodeBlock(coefficients[2], lane, &lastDc[2], huffman.chrominanceDc, huffman.chrominanceAc,
                  &writer);
      }
    }
  }
  writer.Finish();
  uint8_t* end = writer.Position();
  *end++ = 0xFF;
  *end++ = 0xD9;
  const size_t length = static_cast<size_t>(end - out->data());
  out->resize(length);
  return length;
}

}  // namespace kv
