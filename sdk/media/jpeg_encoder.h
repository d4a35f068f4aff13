// The snapshot JPEG encoder: a decoded planar 4:2:0 picture in, a baseline 4:4:4 JPEG out.
// Pure (no files, threads or state between calls), so it may run for several clients at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv {

// Encodes the picture (Y, U and V become the JPEG's Y, Cb and Cr without colour conversion;
// chroma is repeated over 2 x 2 squares to full resolution) with the standard example tables
// scaled to 30 %, the float AAN DCT and the standard Huffman tables. Edge blocks of a size
// that is not a multiple of 8 repeat the last column and row, so the whole picture is coded.
// The chroma planes hold (width + 1) / 2 samples per row at uvStride and (height + 1) / 2
// rows. Replaces *out with the file and returns its length; 0 (and an empty *out) for a null
// plane, a side outside 1..65535 or a stride shorter than its row. The output grows as needed;
// the work buffers are taken per call, and std::bad_alloc is thrown when memory runs out.
// The DCT runs with AVX2 where the processor has it; kPortable asks for the build that runs on
// any x86-64 processor (the bytes are the same; tests check that).
enum class JpegTransform { kBest, kPortable };
size_t EncodeJpeg(const uint8_t* y, const uint8_t* u, const uint8_t* v, int yStride, int uvStride,
                  int width, int height, std::vector<uint8_t>* out,
                  JpegTransform transform = JpegTransform::kBest);

}  // namespace kv
