// The simulated camera's video encoder (libavcodec: libx264, mpeg4 or mjpeg).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/kvdevice/options.h"

extern "C" {
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
}

namespace kvdevice {

struct EncodedPicture {
  std::vector<uint8_t> data;  // H.264: Annex B byte stream of one picture
  bool key = false;
  int64_t number = 0;  // picture number, counted from 0
};

class VideoEncoder {
 public:
  static std::unique_ptr<VideoEncoder> Create(const Options& options, std::string& error);
  ~VideoEncoder();

  // The picture to fill before encode(); writable, planar 4:2:0 at the stream's size.
  AVFrame* picture();
  // Encodes the filled picture as `number`; appends every picture the encoder finished.
  bool encode(int64_t number, bool forceKey, std::vector<EncodedPicture>& out);
  // Drains the encoder at the end of the stream.
  void flush(std::vector<EncodedPicture>& out);

 private:
  VideoEncoder() = default;
  bool receive(std::vector<EncodedPicture>& out);

  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
};

}  // namespace kvdevice
