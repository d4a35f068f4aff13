// The snapshot encoder's bytes against the algorithm done the plain way, one block and one bit at
// a time (full-size planes, 8 x 8 blocks, the scalar float AAN DCT, the rounding rule, a bit
// writer with a pending byte), and its coefficients against libjpeg-turbo's float DCT.
#include <gtest/gtest.h>
#include <jpeglib.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sdk/media/jpeg_encoder.h"
#include "tests/support/jpeg_inspect.h"

namespace kv {
namespace {

using test::PlanarPicture;

std::vector<uint8_t> Encode(const PlanarPicture& p) {
  std::vector<uint8_t> out;
  EncodeJpeg(p.y.data(), p.u.data(), p.v.data(), p.yStride, p.uvStride, p.width, p.height, &out);
  return out;
}

constexpr int kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                             12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                             35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                             58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The Huffman codes of a DHT table payload (counts, symbols), by the procedure of T.81 Annex C.
struct Codes {
  int code[256] = {}, length[256] = {};
};
Codes CodesOf(const std::vector<uint8_t>& counts, const std::vector<uint8_t>& symbols) {
  Codes c;
  int code = 0;
  size_t k = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < counts[static_cast<size_t>(length - 1)]; ++i, ++k) {
      c.code[symbols[k]] = code++;
      c.length[symbols[k]] = length;
    }
    code <<= 1;
  }
  return c;
}

// Bits go into one pending byte, most significant first; a stored 0xFF gets a 0x00 after it.
class PlainBitWriter {
 public:
  void Bits(int value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      if ((value >> i) & 1) byte_ |= 1 << position_;
      if (--position_ < 0) store();
    }
  }
  std::vector<uint8_t> Finish() {
    if (position_ != 7) Bits((1 << (position_ + 1)) - 1, position_ + 1);
    return out_;
  }

 private:
  void store() {
    out_.push_back(static_cast<uint8_t>(byte_));
    if (byte_ == 0xFF) out_.push_back(0);
    byte_ = 0;
    position_ = 7;
  }
  std::vector<uint8_t> out_;
  int byte_ = 0;
  int position_ = 7;
};

void PlainAan(float* d, int step) {
  const float tmp0 = d[0] + d[7 * step], tmp7 = d[0] - d[7 * step];
  const float tmp1 = d[step] + d[6 * step], tmp6 = d[step] - d[6 * step];
  const float tmp2 = d[2 * step] + d[5 * step], tmp5 = d[2 * step] - d[5 * step];
  const float tmp3 = d[3 * step] + d[4 * step], tmp4 = d[3 * step] - d[4 * step];
  float tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3, tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
  d[0] = tmp10 + tmp11;
  d[4 * step] = tmp10 - tmp11;
  const float z1 = (tmp12 + tmp13) * 0.707106781f;
  d[2 * step] = tmp13 + z1;
  d[6 * step] = tmp13 - z1;
  tmp10 = tmp4 + tmp5;
  tmp11 = tmp5 + tmp6;
  tmp12 = tmp6 + tmp7;
  const float z5 = (tmp10 - tmp12) * 0.382683433f;
  const float z2 = 0.5411961f * tmp10 + z5;
  const float z4 = 1.306562965f * tmp12 + z5;
  const float z3 = tmp11 * 0.707106781f;
  const float z11 = tmp7 + z3, z13 = tmp7 - z3;
  d[5 * step] = z13 + z2;
  d[3 * step] = z13 - z2;
  d[step] = z11 + z4;
  d[7 * step] = z11 - z4;
}

// The entropy-coded data of the picture by the plain algorithm, with the tables of `header`.
std::vector<uint8_t> PlainEntropy(const PlanarPicture& p, const std::vector<uint8_t>& file) {
  size_t start = 0;
  std::vector<uint8_t> quant[2];
  std::vector<uint8_t> counts[4], symbols[4];  // DC0, DC1, AC0, AC1
  for (const test::JpegSegment& s : test::ReadSegments(file, &start)) {
    if (s.marker == 0xDB) quant[s.payload[0]].assign(s.payload.begin() + 1, s.payload.end());
    if (s.marker == 0xC4) {
      const int slot = (s.payload[0] >> 4) * 2 + (s.payload[0] & 1);
      counts[slot].assign(s.payload.begin() + 1, s.payload.begin() + 17);
      symbols[slot].assign(s.payload.begin() + 17, s.payload.end());
    }
  }
  static const double kAan[8] = {1.0, 1.387039845, 1.306562965, 1.175875602,
                                 1.0, 0.785694958, 0.5411961,   0.275899379};
  float divisor[2][64];
  for (int t = 0; t < 2; ++t) {
    for (int i = 0; i < 64; ++i) {
      const int n = kZigzag[i];
      divisor[t][n] = static_cast<float>(
          1.0 / (quant[t][static_cast<size_t>(i)] * kAan[n / 8] * kAan[n % 8] * 8.0));
    }
  }
  const Codes dc[2] = {CodesOf(counts[0], symbols[0]), CodesOf(counts[1], symbols[1])};
  const Codes ac[2] = {CodesOf(counts[2], symbols[2]), CodesOf(counts[3], symbols[3])};

  // Full-size planes padded to whole blocks by repeating the last row and column.
  const int w8 = (p.width + 7) / 8 * 8, h8 = (p.height + 7) / 8 * 8;
  std::vector<uint8_t> planes[3];
  for (auto& plane : planes) plane.resize(static_cast<size_t>(w8) * h8);
  for (int r = 0; r < h8; ++r) {
    for (int c = 0; c < w8; ++c) {
      const int sr = std::min(r, p.height - 1), sc = std::min(c, p.width - 1);
      const size_t i = static_cast<size_t>(r) * w8 + c;
      planes[0][i] = p.y[static_cast<size_t>(sr) * p.yStride + sc];
      planes[1][i] = p.u[static_cast<size_t>(sr / 2) * p.uvStride + sc / 2];
      planes[2][i] = p.v[static_cast<size_t>(sr / 2) * p.uvStride + sc / 2];
    }
  }
  PlainBitWriter w;
  int lastDc[3] = {};
  auto category = [](int v) {
    int n = 0;
    for (int a = v < 0 ? -v : v; a != 0; a >>= 1) ++n;
    return n;
  };
  auto bitsOf = [](int v, int n) { return v < 0 ? v + (1 << n) - 1 : v; };
  for (int by = 0; by < h8 / 8; ++by) {
    for (int bx = 0; bx < w8 / 8; ++bx) {
      for (int comp = 0; comp < 3; ++comp) {
        const int t = comp == 0 ? 0 : 1;
        float d[64];
        for (int r = 0; r < 8; ++r) {
          for (int c = 0; c < 8; ++c) {
            d[r * 8 + c] = static_cast<float>(
                planes[comp][static_cast<size_t>(by * 8 + r) * w8 + bx * 8 + c] - 128);
          }
        }
        for (int r = 0; r < 8; ++r) PlainAan(d + r * 8, 1);
        for (int c = 0; c < 8; ++c) PlainAan(d + c, 8);
        int z[64];
        for (int i = 0; i < 64; ++i) {
          const float temp = d[kZigzag[i]] * divisor[t][kZigzag[i]];
          z[i] = static_cast<int>(static_cast<double>(temp) + 16384.5) - 16384;
        }
        const int diff = z[0] - lastDc[comp];
        lastDc[comp] = z[0];
        const int dcCategory = category(diff);
        w.Bits(dc[t].code[dcCategory], dc[t].length[dcCategory]);
        if (dcCategory != 0) w.Bits(bitsOf(diff, dcCategory), dcCategory);
        int last = 0;
        for (int i = 63; i > 0; --i) {
          if (z[i] != 0) {
            last = i;
            break;
          }
        }
        int run = 0;
        for (int i = 1; i <= last; ++i) {
          if (z[i] == 0) {
            ++run;
            continue;
          }
          for (; run >= 16; run -= 16) w.Bits(ac[t].code[0xF0], ac[t].length[0xF0]);
          const int n = category(z[i]);
          w.Bits(ac[t].code[run * 16 + n], ac[t].length[run * 16 + n]);
          w.Bits(bitsOf(z[i], n), n);
          run = 0;
        }
        if (last < 63) w.Bits(ac[t].code[0], ac[t].length[0]);
      }
    }
  }
  return w.Finish();
}

TEST(JpegReferenceTest, BytesAreThoseOfThePlainAlgorithm) {
  const std::vector<PlanarPicture> pictures = {
      test::MakeNaturalPicture(1280, 720, 11), test::MakeNaturalPicture(37, 29, 12, 5),
      test::MakeNoisePicture(96, 64, 13), test::MakeNaturalPicture(200, 8, 14),
      test::MakeFlatPicture(24, 24, 255, 0, 255)};
  for (const PlanarPicture& p : pictures) {
    SCOPED_TRACE(std::to_string(p.width) + "x" + std::to_string(p.height));
    const std::vector<uint8_t> file = Encode(p);
    ASSERT_GT(file.size(), 625u);
    const std::vector<uint8_t> entropy(file.begin() + 623, file.end() - 2);
    const std::vector<uint8_t> plain = PlainEntropy(p, file);
    ASSERT_EQ(entropy.size(), plain.size());
    EXPECT_TRUE(entropy == plain);
    // The build of the transform for processors without AVX2 gives the same bytes.
    std::vector<uint8_t> portable;
    EncodeJpeg(p.y.data(), p.u.data(), p.v.data(), p.yStride, p.uvStride, p.width, p.height,
               &portable, JpegTransform::kPortable);
    EXPECT_TRUE(portable == file);
  }
}

// libjpeg-turbo's float DCT at quality 85, fed the same full-size Y, Cb and Cr without colour
// conversion (it pads edge blocks by repeating the last column and row as well): the quantised
// coefficients read back from both files agree except where the value was an exact half, which
// libjpeg-turbo's SIMD quantiser rounds to even and ours upward.
std::vector<JCOEF> Coefficients(const std::vector<uint8_t>& file, int* components) {
  jpeg_decompress_struct d{};
  jpeg_error_mgr errors{};
  d.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, file.data(), file.size());
  std::vector<JCOEF> all;
  if (jpeg_read_header(&d, TRUE) == JPEG_HEADER_OK) {
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&d);
    *components = d.num_components;
    for (int c = 0; c < d.num_components; ++c) {
      const jpeg_component_info& info = d.comp_info[c];
      for (JDIMENSION row = 0; row < info.height_in_blocks; ++row) {
        JBLOCKARRAY blocks = (*d.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&d),
                                                          arrays[c], row, 1, FALSE);
        for (JDIMENSION col = 0; col < info.width_in_blocks; ++col) {
          all.insert(all.end(), blocks[0][col], blocks[0][col] + DCTSIZE2);
        }
      }
    }
    jpeg_finish_decompress(&d);
  }
  jpeg_destroy_decompress(&d);
  return all;
}

std::vector<uint8_t> LibjpegFloat(const PlanarPicture& p) {
  const std::vector<uint8_t> cb = test::UpsampledChroma(p, false);
  const std::vector<uint8_t> cr = test::UpsampledChroma(p, true);
  jpeg_compress_struct c{};
  jpeg_error_mgr errors{};
  c.err = jpeg_std_error(&errors);
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = static_cast<JDIMENSION>(p.width);
  c.image_height = static_cast<JDIMENSION>(p.height);
  c.input_components = 3;
  c.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&c);
  jpeg_set_colorspace(&c, JCS_YCbCr);
  for (int i = 0; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
  jpeg_set_quality(&c, 85, TRUE);
  c.dct_method = JDCT_FLOAT;
  jpeg_start_compress(&c, TRUE);
  std::vector<uint8_t> row(static_cast<size_t>(p.width) * 3);
  while (c.next_scanline < c.image_height) {
    const size_t r = c.next_scanline;
    for (int x = 0; x < p.width; ++x) {
      row[static_cast<size_t>(x) * 3] = p.y[r * p.yStride + x];
      row[static_cast<size_t>(x) * 3 + 1] = cb[r * p.width + x];
      row[static_cast<size_t>(x) * 3 + 2] = cr[r * p.width + x];
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&c, rows, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<uint8_t> file(buffer, buffer + size);
  std::free(buffer);
  return file;
}

TEST(JpegReferenceTest, CoefficientsMatchLibjpegTurbosFloatDct) {
  for (const PlanarPicture& p :
       {test::MakeNaturalPicture(640, 360, 21), test::MakeNoisePicture(64, 48, 22),
        test::MakeNaturalPicture(45, 31, 23, 3)}) {
    SCOPED_TRACE(std::to_string(p.width) + "x" + std::to_string(p.height));
    int ourComponents = 0, theirComponents = 0;
    const std::vector<JCOEF> ours = Coefficients(Encode(p), &ourComponents);
    const std::vector<JCOEF> theirs = Coefficients(LibjpegFloat(p), &theirComponents);
    ASSERT_EQ(ourComponents, 3);
    ASSERT_EQ(theirComponents, 3);
    ASSERT_EQ(ours.size(), theirs.size());
    size_t halves = 0;
    for (size_t i = 0; i < ours.size(); ++i) {
      if (ours[i] == theirs[i]) continue;
      ASSERT_TRUE(ours[i] == theirs[i] + 1 && theirs[i] % 2 == 0)
          << "coefficient " << i << ": ours " << ours[i] << ", libjpeg-turbo " << theirs[i];
      ++halves;
    }
    EXPECT_LT(halves, ours.size() / 100);
  }
}

}  // namespace
}  // namespace kv
