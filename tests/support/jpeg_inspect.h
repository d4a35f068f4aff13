// Test-side tools for the snapshot JPEG files: pictures to encode, a reader of the marker
// segments and of the entropy-coded symbols (written here from the JPEG standard, sharing
// nothing with the library's encoder), libjpeg-turbo's decode, and ffprobe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv::test {

// A planar 4:2:0 picture; the strides may be wider than the rows.
struct PlanarPicture {
  int width = 0, height = 0, yStride = 0, uvStride = 0;
  std::vector<uint8_t> y, u, v;
  int chromaWidth() const { return (width + 1) / 2; }
  int chromaHeight() const { return (height + 1) / 2; }
};

// Smooth shading, soft-edged shapes and a little grain, as a camera picture has.
PlanarPicture MakeNaturalPicture(int width, int height, uint32_t seed, int extraStride = 0);
// Every sample random: the worst case for the entropy coder.
PlanarPicture MakeNoisePicture(int width, int height, uint32_t seed);
// One value in every sample of every plane.
PlanarPicture MakeFlatPicture(int width, int height, uint8_t y, uint8_t u, uint8_t v);

// One marker segment: the marker's second byte, where the marker starts, and its payload
// (after the length field).
struct JpegSegment {
  uint8_t marker = 0;
  size_t offset = 0;
  std::vector<uint8_t> payload;
};

// The segments up to and including SOS; *entropyStart is where the entropy-coded data begins.
// Empty when the file does not start with SOI or a segment runs past the end.
std::vector<JpegSegment> ReadSegments(const std::vector<uint8_t>& file, size_t* entropyStart);

// One block as coded: its component, the DC category, and every AC symbol in order (run << 4
// | category; 0xF0 for ZRL, 0x00 for EOB), with the coefficients in zigzag order.
struct CodedBlock {
  int component = 0;
  int dcCategory = 0;
  std::vector<uint8_t> acSymbols;
  std::array<int, 64> zigzag{};
};

// What the entropy-coded data of a baseline JPEG with 1x1 sampling holds.
struct EntropyContents {
  std::vector<CodedBlock> blocks;  // in coding order
  int paddingBits = 0;             // bits after the last block up to the marker
  bool paddingAllOnes = false;
  size_t markerOffset = 0;  // where the marker after the data starts
  std::string error;        // non-empty when the data could not be read
};
EntropyContents ReadEntropy(const std::vector<uint8_t>& file);

// libjpeg-turbo's decode of a 4:4:4 file into three full-size planes; false on any error or
// warning.
struct Planes444 {
  int width = 0, height = 0;
  std::vector<uint8_t> y, cb, cr;
};
bool DecodeWithTurbo(const std::vector<uint8_t>& file, Planes444* out);

// The picture's chroma repeated to full size (what the encoder codes as Cb or Cr).
std::vector<uint8_t> UpsampledChroma(const PlanarPicture& picture, bool v);

// ffprobe's "codec_name,width,height,pix_fmt" of an image file, or "" when it cannot read it.
std::string ProbeImage(const std::string& path);

}  // namespace kv::test
