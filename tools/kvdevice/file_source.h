// Pictures and sound decoded from a media file, scaled to the stream's size and resampled to
// 8 kHz mono, for the simulated camera to encode again.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "tools/kvdevice/raw_source.h"

extern "C" {
struct AVFormatContext;
struct AVCodecContext;
struct AVPacket;
struct SwsContext;
struct SwrContext;
}

namespace kvdevice {

class FileSource : public RawSource {
 public:
  // Opens the file; returns nothing and fills error when it has no decodable video.
  static std::unique_ptr<FileSource> Open(const std::string& path, std::string& error);
  ~FileSource() override;

  // Pictures come in decoding order, one per call, whatever the file's own frame rate.
  bool nextPicture(int64_t number, AVFrame* frame) override;
  // Sound follows the file; silence when it has none or its sound ended before its pictures.
  bool nextAudio(int16_t* samples, int count) override;

 private:
  FileSource() = default;
  bool readMore();  // demuxes and decodes one packet; false at the end of the file
  void decode(AVCodecContext* decoder, const AVPacket* packet);
  void takeAudio(AVFrame* frame);

  AVFormatContext* format_ = nullptr;
  AVCodecContext* video_ = nullptr;
  AVCodecContext* audio_ = nullptr;
  int videoIndex_ = -1;
  int audioIndex_ = -1;
  SwsContext* scaler_ = nullptr;
  SwrContext* resampler_ = nullptr;
  std::deque<AVFrame*> pictures_;
  std::deque<int16_t> samples_;
  bool ended_ = false;
};

}  // namespace kvdevice
