// The simulated camera's video encoders (libavcodec: libx264, mpeg4 or mjpeg; libjpeg).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/kvdevice/options.h"

extern "C" {
struct AVFrame;
}

namespace kvdevice {

struct EncodedPicture {
  std::vector<uint8_t> data;  // H.264: Annex B byte stream of one picture
  bool key = false;
  int64_t number = 0;  // picture number, counted from 0
};

class VideoEncoder {
 public:
  // libavcodec's libx264, mpeg4 or mjpeg; for an RTSP stream's MJPEG, libjpeg (JpegEncoder),
  // which keeps the standard Huffman tables RFC 2435 needs and writes restart markers.
  static std::unique_ptr<VideoEncoder> Create(const Options& options, std::string& error);
  virtual ~VideoEncoder() = default;

  // The picture to fill before encode(); writable, planar 4:2:0 at the stream's size.
  virtual AVFrame* picture() = 0;
  // Encodes the filled picture as `number`; appends every picture the encoder finished.
  virtual bool encode(int64_t number, bool forceKey, std::vector<EncodedPicture>& out) = 0;
  // Drains the encoder at the end of the stream.
  virtual void flush(std::vector<EncodedPicture>& out) = 0;
};

}  // namespace kvdevice
