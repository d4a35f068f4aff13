// Synthetic pictures and the compressed streams made from them (H.264, MJPEG, MPEG-4) that
// the decoder and video tests feed through the SDK, so no binary sample files are needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv::test {

// A picture with full-resolution chroma (4:4:4); To420 gives the planar 4:2:0 form.
struct YuvPicture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y, u, v;  // each width x height
};

// Planar 4:2:0 with tight strides (chroma (width + 1) / 2 by (height + 1) / 2).
struct I420Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y, u, v;
  int chromaWidth() const { return (width + 1) / 2; }
  int chromaHeight() const { return (height + 1) / 2; }
};

// Colour bars, a block that moves with the index, and the index (0..255) written as eight
// 16x16 black/white squares at the left of every other macroblock row, so every slice of
// a picture carries its own copy of the number. A number of 0 or more is written instead of
// the index (the block still moves with the index).
YuvPicture MakeTestPicture(int width, int height, int index, int number = -1);
I420Picture To420(const YuvPicture& picture);

// The picture number read back from the squares; -1 when the copies disagree (a picture
// assembled from slices of different pictures) or none can be read.
int ReadPictureNumber(const uint8_t* y, int stride, int width, int height);

// Peak signal-to-noise ratio of a plane in dB (99 for identical planes).
double PlanePsnr(const uint8_t* a, int aStride, const uint8_t* b, int bStride, int width,
                 int height);

// One compressed stream cut into the frames the conduit would carry.
struct EncodedStream {
  std::vector<std::vector<uint8_t>> frames;
  std::vector<int> pictureOfFrame;  // the source picture a frame belongs to (-1: headers)
  int pictures = 0;                 // source pictures encoded
  int width = 0;
  int height = 0;
};

struct H264Options {
  int width = 320;
  int height = 240;
  int pictures = 30;
  int slices = 4;
  int intraPeriod = 15;
  int bitrate = 3'000'000;
  // Adds fine detail that pans a little every picture, as camera pictures have, so decoding
  // costs what it costs on real content (the plain pattern is mostly flat colour).
  bool texture = false;
  // When 0 or more, every picture carries this number instead of its index.
  int number = -1;
};

// OpenH264's encoder; every frame is one NAL unit with a 4-byte start code.
EncodedStream EncodeH264OpenH264(const H264Options& options);
// libavcodec's encoder named (e.g. "libx264"), split into one NAL unit per frame. Empty when
// that encoder is not built in.
EncodedStream EncodeH264Avcodec(const H264Options& options, const std::string& encoder);

// Splits an Annex B byte stream at its start codes; each unit gets a 4-byte start code.
std::vector<std::vector<uint8_t>> SplitNalUnits(const std::vector<uint8_t>& stream);

// JPEG of the picture with the given TurboJPEG subsampling (TJSAMP_*).
std::vector<uint8_t> EncodeJpeg(const YuvPicture& picture, int subsampling, int quality = 90);

// XviD's encoder: one frame per picture (the first carries the stream header).
EncodedStream EncodeMpeg4Xvid(int width, int height, int pictures);

// Deterministic pseudo-random bytes.
std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed);

}  // namespace kv::test
