// G.711 companding checked against the quantisation tables of the standard and against spandsp.
#include "sdk/platform/g711.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>  // before spandsp's telephony header
#include <cstdint>

extern "C" {
#include <spandsp/telephony.h>
// clang-format off
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>
// clang-format on
}

namespace kv::platform {
namespace {

// One law described the way the standard tabulates it: for each of the 128 magnitude codes the
// lowest input magnitude that selects it (decision value) and the decoder output, both in 16-bit
// units; codes are assigned in rising order of magnitude.
struct LawTable {
  std::array<int, 128> decision{};
  std::array<int, 128> output{};
};

// A-law: 13-bit magnitudes 0..4096 in 8 segments; the first two have steps of 2, each further
// segment doubles the range and the step. Outputs lie mid-interval. 16-bit = 13-bit * 8.
LawTable alawTable() {
  LawTable t;
  int code = 0;
  for (int segment = 0; segment < 8; ++segment) {
    const int start = segment == 0 ? 0 : 16 << segment;
    const int step = segment == 0 ? 2 : 1 << segment;
    for (int j = 0; j < 16; ++j, ++code) {
      t.decision[code] = 8 * (start + j * step);
      t.output[code] = 8 * (start + j * step + step / 2);
    }
  }
  return t;
}

// mu-law: 14-bit magnitudes 0..8159. Segment 0 has decision values 0, 1, 3, ..., 29 and outputs
// 0, 2, ..., 30; segment s >= 1 starts at 32 * 2^s - 33 (31, 95, 223, ...) with steps of 2^(s+1)
// and outputs mid-interval. 16-bit = 14-bit * 4.
LawTable ulawTable() {
  LawTable t;
  int code = 0;
  for (int segment = 0; segment < 8; ++segment) {
    for (int j = 0; j < 16; ++j, ++code) {
      if (segment == 0) {
        t.decision[code] = 4 * (j == 0 ? 0 : 2 * j - 1);
        t.output[code] = 4 * 2 * j;
      } else {
        const int low = (32 << segment) - 33 + j * (2 << segment);
        t.decision[code] = 4 * low;
        t.output[code] = 4 * (low + (1 << segment));
      }
    }
  }
  return t;
}

// Character signals: A-law sets bit 7 for positive values and then inverts the even bits;
// mu-law sets bit 7 for positive values and then inverts the seven magnitude bits.
uint8_t alawCharacter(bool positive, int magnitudeCode) {
  return static_cast<uint8_t>(((positive ? 0x80 : 0) | magnitudeCode) ^ 0x55);
}
uint8_t ulawCharacter(bool positive, int magnitudeCode) {
  return static_cast<uint8_t>((positive ? 0x80 : 0) | (0x7F - magnitudeCode));
}

int magnitudeCodeOf(const LawTable& t, int magnitude) {
  const auto above = std::upper_bound(t.decision.begin(), t.decision.end(), magnitude);
  return static_cast<int>(above - t.decision.begin()) - 1;
}

// Inverse of the character assignment: every one of the 256 codes decodes to the tabulated output.
TEST(G711Test, EveryCodeDecodesToTheTabulatedOutput) {
  const LawTable a = alawTable();
  const LawTable u = ulawTable();
  for (int m = 0; m < 128; ++m) {
    EXPECT_EQ(AlawToLinear(alawCharacter(true, m)), a.output[m]) << "A-law +" << m;
    EXPECT_EQ(AlawToLinear(alawCharacter(false, m)), -a.output[m]) << "A-law -" << m;
    EXPECT_EQ(UlawToLinear(ulawCharacter(true, m)), u.output[m]) << "mu-law +" << m;
    EXPECT_EQ(UlawToLinear(ulawCharacter(false, m)), -u.output[m]) << "mu-law -" << m;
  }
  // Known end points: largest outputs and the two mu-law zeros.
  EXPECT_EQ(AlawToLinear(0xAA), 32256);
  EXPECT_EQ(AlawToLinear(0x2A), -32256);
  EXPECT_EQ(UlawToLinear(0x80), 32124);
  EXPECT_EQ(UlawToLinear(0xFF), 0);
  EXPECT_EQ(UlawToLinear(0x7F), 0);
}

TEST(G711Test, EveryLinearInputEncodesByTheDecisionValues) {
  const LawTable a = alawTable();
  const LawTable u = ulawTable();
  int alawMismatches = 0;
  int ulawMismatches = 0;
  for (int x = -32768; x <= 32767; ++x) {
    const bool positive = x >= 0;
    const int magnitude = positive ? x : -1 - x;
    const auto sample = static_cast<int16_t>(x);
    if (LinearToAlaw(sample) != alawCharacter(positive, magnitudeCodeOf(a, magnitude))) {
      if (++alawMismatches < 5) ADD_FAILURE() << "A-law input " << x;
    }
    if (LinearToUlaw(sample) != ulawCharacter(positive, magnitudeCodeOf(u, magnitude))) {
      if (++ulawMismatches < 5) ADD_FAILURE() << "mu-law input " << x;
    }
  }
  EXPECT_EQ(alawMismatches, 0);
  EXPECT_EQ(ulawMismatches, 0);
}

TEST(G711Test, DecodedValuesEncodeBackToTheirCode) {
  for (int code = 0; code < 256; ++code) {
    const auto c = static_cast<uint8_t>(code);
    EXPECT_EQ(LinearToAlaw(AlawToLinear(c)), c) << code;
    // Negative zero (0x7F) comes back as positive zero.
    EXPECT_EQ(LinearToUlaw(UlawToLinear(c)), code == 0x7F ? 0xFF : c) << code;
  }
}

// spandsp's companding is an independent implementation of the same quantiser. Its A-law takes
// negative magnitudes in ones' complement as we do; its mu-law takes them as -x, so our code for
// x < 0 has the magnitude bits of its code for x + 1.
TEST(G711Test, AgreesWithSpandspForAllInputsAndCodes) {
  int mismatches = 0;
  for (int x = -32768; x <= 32767; ++x) {
    const auto sample = static_cast<int16_t>(x);
    mismatches += LinearToAlaw(sample) != linear_to_alaw(sample);
    if (x >= 0) {
      mismatches += LinearToUlaw(sample) != linear_to_ulaw(sample);
    } else {
      const uint8_t ours = LinearToUlaw(sample);
      mismatches += (ours & 0x80) != 0 || (ours & 0x7F) != (linear_to_ulaw(x + 1) & 0x7F);
    }
  }
  EXPECT_EQ(mismatches, 0);
  for (int code = 0; code < 256; ++code) {
    const auto c = static_cast<uint8_t>(code);
    EXPECT_EQ(AlawToLinear(c), alaw_to_linear(c)) << code;
    EXPECT_EQ(UlawToLinear(c), ulaw_to_linear(c)) << code;
  }
}

TEST(G711Test, BlockFormsMatchSampleForms) {
  std::array<int16_t, 509> pcm{};
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(i * 131 - 33000);
  std::array<uint8_t, 509> alaw{};
  std::array<uint8_t, 509> ulaw{};
  EncodeAlaw(pcm.data(), pcm.size(), alaw.data());
  EncodeUlaw(pcm.data(), pcm.size(), ulaw.data());
  std::array<int16_t, 509> alawBack{};
  std::array<int16_t, 509> ulawBack{};
  DecodeAlaw(alaw.data(), alaw.size(), alawBack.data());
  DecodeUlaw(ulaw.data(), ulaw.size(), ulawBack.data());
  for (size_t i = 0; i < pcm.size(); ++i) {
    ASSERT_EQ(alaw[i], LinearToAlaw(pcm[i])) << i;
    ASSERT_EQ(ulaw[i], LinearToUlaw(pcm[i])) << i;
    ASSERT_EQ(alawBack[i], AlawToLinear(alaw[i])) << i;
    ASSERT_EQ(ulawBack[i], UlawToLinear(ulaw[i])) << i;
  }
}

}  // namespace
}  // namespace kv::platform
