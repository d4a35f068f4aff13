// The snapshot JPEG encoder: the fixed header at its offsets, the tables against libjpeg-turbo's
// own at the same quality, libjpeg-turbo decoding our files back to the source picture, the
// entropy-coded data read back symbol by symbol (zero runs, end of block, stuffing, padding),
// sizes that are not multiples of 8, output larger than a byte per pixel, and refused input.
#include "sdk/media/jpeg_encoder.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <numbers>
#include <string>
#include <vector>

#include "tests/support/jpeg_inspect.h"
#include "tests/support/record_writers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_streams.h"

namespace kv {
namespace {

using test::PlanarPicture;

std::vector<uint8_t> Encode(const PlanarPicture& p) {
  std::vector<uint8_t> out;
  const size_t n = EncodeJpeg(p.y.data(), p.u.data(), p.v.data(), p.yStride, p.uvStride, p.width,
                              p.height, &out);
  EXPECT_EQ(n, out.size());
  return out;
}

std::vector<uint8_t> Bytes(const std::vector<uint8_t>& file, size_t at, size_t n) {
  return std::vector<uint8_t>(file.begin() + at, file.begin() + at + n);
}

// The picture's three planes at full size, as the encoder codes them.
struct FullPlanes {
  std::vector<uint8_t> y, cb, cr;
};
FullPlanes Full(const PlanarPicture& p) {
  FullPlanes f;
  f.y.resize(static_cast<size_t>(p.width) * p.height);
  for (int r = 0; r < p.height; ++r) {
    std::copy_n(p.y.begin() + static_cast<ptrdiff_t>(r) * p.yStride, p.width,
                f.y.begin() + static_cast<ptrdiff_t>(r) * p.width);
  }
  f.cb = test::UpsampledChroma(p, false);
  f.cr = test::UpsampledChroma(p, true);
  return f;
}

TEST(JpegEncoderTest, HeaderHoldsEveryFieldAtItsOffset) {
  const PlanarPicture p = test::MakeNaturalPicture(352, 288, 1);
  const std::vector<uint8_t> f = Encode(p);
  ASSERT_GT(f.size(), 625u);
  EXPECT_EQ(Bytes(f, 0, 2), (std::vector<uint8_t>{0xFF, 0xD8}));
  EXPECT_EQ(Bytes(f, 2, 18),
            (std::vector<uint8_t>{0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01,
                                  0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00}));
  EXPECT_EQ(Bytes(f, 20, 5), (std::vector<uint8_t>{0xFF, 0xDB, 0x00, 67, 0x00}));
  EXPECT_EQ(Bytes(f, 25, 8), (std::vector<uint8_t>{5, 3, 4, 4, 4, 3, 5, 4}));
  EXPECT_EQ(Bytes(f, 89, 5), (std::vector<uint8_t>{0xFF, 0xDB, 0x00, 67, 0x01}));
  EXPECT_EQ(Bytes(f, 94, 8), (std::vector<uint8_t>{5, 5, 5, 7, 6, 7, 14, 8}));
  EXPECT_EQ(Bytes(f, 158, 19), (std::vector<uint8_t>{0xFF, 0xC0, 0x00, 17, 8, 0x01, 0x20, 0x01,
                                                     0x60, 3, 1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1}));
  EXPECT_EQ(Bytes(f, 177, 5), (std::vector<uint8_t>{0xFF, 0xC4, 0x00, 31, 0x00}));
  EXPECT_EQ(Bytes(f, 210, 5), (std::vector<uint8_t>{0xFF, 0xC4, 0x00, 31, 0x01}));
  EXPECT_EQ(Bytes(f, 243, 5), (std::vector<uint8_t>{0xFF, 0xC4, 0x00, 181, 0x10}));
  EXPECT_EQ(Bytes(f, 426, 5), (std::vector<uint8_t>{0xFF, 0xC4, 0x00, 181, 0x11}));
  EXPECT_EQ(Bytes(f, 609, 14),
            (std::vector<uint8_t>{0xFF, 0xDA, 0x00, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0}));
  EXPECT_EQ(Bytes(f, f.size() - 2, 2), (std::vector<uint8_t>{0xFF, 0xD9}));

  // The segments chain from one to the next and the entropy-coded data starts at 623.
  size_t entropy = 0;
  const std::vector<test::JpegSegment> segments = test::ReadSegments(f, &entropy);
  ASSERT_EQ(segments.size(), 9u);
  EXPECT_EQ(entropy, 623u);
}

// libjpeg-turbo at quality 85 scales the same example tables to 30 % and, without optimised
// coding, writes the same standard Huffman tables: every table segment must match its own.
TEST(JpegEncoderTest, TablesMatchLibjpegTurboAtTheSameQuality) {
  const PlanarPicture p = test::MakeNaturalPicture(64, 48, 2);
  const std::vector<uint8_t> ours = Encode(p);
  std::vector<uint8_t> rgb(static_cast<size_t>(p.width) * p.height * 3, 128);
  tjhandle tj = tjInitCompress();
  ASSERT_NE(tj, nullptr);
  unsigned char* buffer = nullptr;
  unsigned long length = 0;
  ASSERT_EQ(tjCompress2(tj, rgb.data(), p.width, 0, p.height, TJPF_RGB, &buffer, &length,
                        TJSAMP_444, 85, 0),
            0);
  const std::vector<uint8_t> theirs(buffer, buffer + length);
  tjFree(buffer);
  tjDestroy(tj);

  // Tables by kind and id: DQT 0x00/0x01, DHT 0x00/0x01/0x10/0x11, each with its payload.
  auto tables = [](const std::vector<uint8_t>& file) {
    std::map<std::pair<int, int>, std::vector<uint8_t>> found;
    size_t entropy = 0;
    for (const test::JpegSegment& s : test::ReadSegments(file, &entropy)) {
      if (s.marker != 0xDB && s.marker != 0xC4) continue;
      size_t at = 0;
      while (at < s.payload.size()) {
        const int id = s.payload[at];
        size_t size = 64;
        if (s.marker == 0xC4) {
          size = 16;
          for (int i = 0; i < 16; ++i) size += s.payload[at + 1 + i];
        }
        found[{s.marker, id}] =
            std::vector<uint8_t>(s.payload.begin() + at + 1, s.payload.begin() + at + 1 + size);
        at += 1 + size;
      }
    }
    return found;
  };
  const auto mine = tables(ours);
  const auto reference = tables(theirs);
  ASSERT_EQ(mine.size(), 6u);
  for (const auto& [key, payload] : mine) {
    SCOPED_TRACE("marker " + std::to_string(key.first) + " table " + std::to_string(key.second));
    ASSERT_EQ(reference.count(key), 1u);
    EXPECT_EQ(payload, reference.at(key));
  }
}

// Sizes with and without a multiple of 8, strides wider than the rows, down to one pixel.
struct SizeCase {
  int width, height, extraStride;
};

class JpegRoundTripTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(JpegRoundTripTest, LibjpegTurboDecodesTheWholePictureBack) {
  const SizeCase& c = GetParam();
  const PlanarPicture p = test::MakeNaturalPicture(c.width, c.height, 7, c.extraStride);
  const std::vector<uint8_t> f = Encode(p);
  ASSERT_FALSE(f.empty());

  test::Planes444 decoded;
  ASSERT_TRUE(test::DecodeWithTurbo(f, &decoded)) << tjGetErrorStr2(nullptr);
  ASSERT_EQ(decoded.width, c.width);
  ASSERT_EQ(decoded.height, c.height);
  const FullPlanes source = Full(p);
  const double y =
      test::PlanePsnr(source.y.data(), c.width, decoded.y.data(), c.width, c.width, c.height);
  const double cb =
      test::PlanePsnr(source.cb.data(), c.width, decoded.cb.data(), c.width, c.width, c.height);
  const double cr =
      test::PlanePsnr(source.cr.data(), c.width, decoded.cr.data(), c.width, c.width, c.height);
  EXPECT_GE(y, 35.0);
  EXPECT_GE(cb, 35.0);
  EXPECT_GE(cr, 35.0);

  // The last column and row are coded too: edge blocks repeat them instead of leaving the part
  // of the picture past the last whole block out.
  const int lastRow = c.height - 1, lastColumn = c.width - 1;
  const double edgeRow = test::PlanePsnr(
      source.y.data() + static_cast<size_t>(lastRow) * c.width, c.width,
      decoded.y.data() + static_cast<size_t>(lastRow) * c.width, c.width, c.width, 1);
  EXPECT_GE(edgeRow, 30.0) << "last row";
  const double edgeColumn = test::PlanePsnr(source.y.data() + lastColumn, c.width,
                                            decoded.y.data() + lastColumn, c.width, 1, c.height);
  EXPECT_GE(edgeColumn, 30.0) << "last column";

  // Every block is coded, and the data ends with 1 bits up to the byte and then EOI.
  const test::EntropyContents e = test::ReadEntropy(f);
  ASSERT_TRUE(e.error.empty()) << e.error;
  EXPECT_EQ(e.blocks.size(), 3u * ((c.width + 7) / 8) * ((c.height + 7) / 8));
  EXPECT_LT(e.paddingBits, 8);
  EXPECT_TRUE(e.paddingAllOnes);
  EXPECT_EQ(e.markerOffset, f.size() - 2);
}

INSTANTIATE_TEST_SUITE_P(Sizes, JpegRoundTripTest,
                         ::testing::Values(SizeCase{1280, 720, 0}, SizeCase{352, 288, 32},
                                           SizeCase{100, 75, 3}, SizeCase{13, 7, 0},
                                           SizeCase{17, 33, 6}, SizeCase{8, 8, 0},
                                           SizeCase{1, 1, 0}, SizeCase{129, 65, 1}),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" +
                                  std::to_string(info.param.height) + "Stride" +
                                  std::to_string(info.param.extraStride);
                         });

TEST(JpegEncoderTest, FlatPictureCodesZeroDifferencesAndOnlyEndOfBlock) {
  const PlanarPicture p = test::MakeFlatPicture(16, 16, 128, 128, 128);
  const std::vector<uint8_t> f = Encode(p);
  const test::EntropyContents e = test::ReadEntropy(f);
  ASSERT_TRUE(e.error.empty()) << e.error;
  ASSERT_EQ(e.blocks.size(), 12u);
  for (const test::CodedBlock& b : e.blocks) {
    EXPECT_EQ(b.dcCategory, 0);
    EXPECT_EQ(b.acSymbols, std::vector<uint8_t>{0x00});
  }
  // Per MCU: luminance DC "00" and EOB "1010", chrominance DC "00" and EOB "00" twice: 14 bits,
  // 56 for four MCUs, which end on a byte boundary: no padding byte follows.
  EXPECT_EQ(Bytes(f, 623, f.size() - 623),
            (std::vector<uint8_t>{0x28, 0x00, 0xA0, 0x02, 0x80, 0x0A, 0x00, 0xFF, 0xD9}));
}

// Sets the samples of luminance block `index` (blocks of a 8-row picture) so that its quantised
// coefficients (zigzag order) are `wanted`, by the inverse DCT of wanted × q.
void PlantBlock(PlanarPicture* p, int index, const std::array<int, 64>& wanted) {
  static const int kZigzagToNatural[64] = {
      0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
      41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
      30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
  static const int kLuminance[64] = {16,  11,  10,  16,  24, 40, 51,  61,  12,  12,  14,  19,  26,
                                     58,  60,  55,  14,  13, 16, 24,  40,  57,  69,  56,  14,  17,
                                     22,  29,  51,  87,  80, 62, 18,  22,  37,  56,  68,  109, 103,
                                     77,  24,  35,  55,  64, 81, 104, 113, 92,  49,  64,  78,  87,
                                     103, 121, 120, 101, 72, 92, 95,  98,  112, 100, 103, 99};
  double coefficient[64] = {};
  for (int i = 0; i < 64; ++i) {
    const int n = kZigzagToNatural[i];
    coefficient[n] = wanted[static_cast<size_t>(i)] * ((30 * kLuminance[n] + 50) / 100);
  }
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      double s = 0;
      for (int v = 0; v < 8; ++v) {
        for (int u = 0; u < 8; ++u) {
          const double cu = u == 0 ? std::sqrt(0.5) : 1.0, cv = v == 0 ? std::sqrt(0.5) : 1.0;
          s += cu * cv / 4 * coefficient[v * 8 + u] *
               std::cos((2 * x + 1) * u * std::numbers::pi / 16) *
               std::cos((2 * y + 1) * v * std::numbers::pi / 16);
        }
      }
      p->y[static_cast<size_t>(y) * p->yStride + index * 8 + x] =
          static_cast<uint8_t>(std::clamp(std::lround(128 + s), 0L, 255L));
    }
  }
}

TEST(JpegEncoderTest, ZeroRunsOfSixteenUseZrlAndAFullLastPositionEndsWithoutEob) {
  PlanarPicture p = test::MakeFlatPicture(32, 8, 128, 128, 128);
  std::array<int, 64> sixteen{}, thirtyThree{}, last{};
  sixteen[1] = 6;
  sixteen[18] = 2;  // 16 zeros between: one ZRL, then run 0
  thirtyThree[1] = -5;
  thirtyThree[35] = 1;  // 33 zeros: two ZRL, then run 1
  last[0] = 0;
  last[2] = 4;
  last[63] = 2;  // position 63 set: no EOB
  PlantBlock(&p, 0, sixteen);
  PlantBlock(&p, 1, thirtyThree);
  PlantBlock(&p, 2, last);
  const std::vector<uint8_t> f = Encode(p);
  const test::EntropyContents e = test::ReadEntropy(f);
  ASSERT_TRUE(e.error.empty()) << e.error;
  ASSERT_EQ(e.blocks.size(), 12u);

  // The planted values came through the DCT and quantisation as planted.
  const test::CodedBlock& b0 = e.blocks[0];
  const test::CodedBlock& b1 = e.blocks[3];
  const test::CodedBlock& b2 = e.blocks[6];
  std::array<int, 64> got0 = b0.zigzag, got1 = b1.zigzag, got2 = b2.zigzag;
  got0[0] = got1[0] = got2[0] = 0;
  ASSERT_EQ(got0, sixteen);
  ASSERT_EQ(got1, thirtyThree);
  ASSERT_EQ(got2, last);

  // Symbol (run << 4 | category): 6 has 3 bits, 2 has 2, -5 has 3, 1 has 1, 4 has 3.
  EXPECT_EQ(b0.acSymbols, (std::vector<uint8_t>{0x03, 0xF0, 0x02, 0x00}));
  EXPECT_EQ(b1.acSymbols, (std::vector<uint8_t>{0x03, 0xF0, 0xF0, 0x11, 0x00}));
  EXPECT_EQ(b2.acSymbols, (std::vector<uint8_t>{0x13, 0xF0, 0xF0, 0xF0, 0xC2}));

  test::Planes444 decoded;
  EXPECT_TRUE(test::DecodeWithTurbo(f, &decoded));
}

TEST(JpegEncoderTest, EveryFFInTheCodedDataIsFollowedByZero) {
  const PlanarPicture p = test::MakeNoisePicture(256, 128, 3);
  const std::vector<uint8_t> f = Encode(p);
  int stuffed = 0;
  for (size_t i = 623; i + 2 < f.size(); ++i) {
    if (f[i] != 0xFF) continue;
    ASSERT_EQ(f[i + 1], 0x00) << "at " << i;
    ++stuffed;
    ++i;
  }
  EXPECT_GT(stuffed, 50) << "noise must produce 0xFF bytes for the check to mean anything";
  const test::EntropyContents e = test::ReadEntropy(f);
  EXPECT_TRUE(e.error.empty()) << e.error;
  EXPECT_EQ(e.markerOffset, f.size() - 2);
}

// Noise codes to more than a byte per pixel, more than a buffer of luma stride × height holds;
// the output grows and the whole picture comes back.
TEST(JpegEncoderTest, OutputLargerThanOneBytePerPixelIsComplete) {
  const PlanarPicture p = test::MakeNoisePicture(320, 240, 4);
  const std::vector<uint8_t> f = Encode(p);
  EXPECT_GT(f.size(), static_cast<size_t>(p.yStride) * p.height);
  test::Planes444 decoded;
  ASSERT_TRUE(test::DecodeWithTurbo(f, &decoded));
  EXPECT_GE(test::PlanePsnr(p.y.data(), p.yStride, decoded.y.data(), 320, 320, 240), 30.0);
}

TEST(JpegEncoderTest, RefusesPicturesItCannotCode) {
  const PlanarPicture p = test::MakeNaturalPicture(64, 64, 5);
  std::vector<uint8_t> out = {1, 2, 3};
  auto encode = [&](const uint8_t* y, const uint8_t* u, const uint8_t* v, int ys, int uvs, int w,
                    int h) { return EncodeJpeg(y, u, v, ys, uvs, w, h, &out); };
  const uint8_t* y = p.y.data();
  const uint8_t* u = p.u.data();
  const uint8_t* v = p.v.data();
  EXPECT_EQ(encode(nullptr, u, v, 64, 32, 64, 64), 0u);
  EXPECT_EQ(encode(y, nullptr, v, 64, 32, 64, 64), 0u);
  EXPECT_EQ(encode(y, u, nullptr, 64, 32, 64, 64), 0u);
  EXPECT_EQ(encode(y, u, v, 64, 32, 0, 64), 0u);
  EXPECT_EQ(encode(y, u, v, 64, 32, 64, -1), 0u);
  EXPECT_EQ(encode(y, u, v, 70000, 35000, 65536, 1), 0u);
  EXPECT_EQ(encode(y, u, v, 63, 32, 64, 64), 0u);  // luma rows overlap
  EXPECT_EQ(encode(y, u, v, 64, 31, 64, 64), 0u);  // chroma rows overlap
  EXPECT_TRUE(out.empty());
  EXPECT_GT(encode(y, u, v, 64, 32, 64, 64), 623u);
}

// ffprobe, another reader again, takes our files for 4:4:4 JPEG pictures of the stated size.
TEST(JpegEncoderTest, FfprobeReadsTheFiles) {
  const std::filesystem::path dir = test::MakeUniqueTempDir("kvnet-jpeg-");
  ASSERT_FALSE(dir.empty());
  for (const auto& [w, h] : std::vector<std::pair<int, int>>{{352, 288}, {13, 7}, {1, 1}}) {
    const std::string path =
        (dir / (std::to_string(w) + "x" + std::to_string(h) + ".jpg")).string();
    ASSERT_TRUE(test::WriteFileBytes(path, Encode(test::MakeNaturalPicture(w, h, 9))));
    EXPECT_EQ(test::ProbeImage(path),
              "mjpeg," + std::to_string(w) + "," + std::to_string(h) + ",yuvj444p");
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kv
