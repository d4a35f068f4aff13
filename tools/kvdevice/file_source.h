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
  // Opens the file; returns nothing and fills error when it has no decodable video. Pictures
  // are taken at frameRate: the file's pictures are repeated or skipped by their time stamps.
  static std::unique_ptr<FileSource> Open(const std::string& path, int frameRate,
                                          std::string& error);
  ~FileSource() override;

  // The file's picture shown at number / frameRate seconds; false after its last picture.
  bool nextPicture(int64_t number, AVFrame* frame) override;
  // Sound follows the file; silence when it has none or its sound ended before its pictures.
  bool nextAudio(int16_t* samples, int count) override;

 private:
  FileSource() = default;
  bool readMore();  // demuxes and decodes one packet; false at the end of the file
  void decode(AVCodecContext* decoder, const AVPacket* packet);
  void takeAudio(AVFrame* frame);
  double secondsOf(const AVFrame* picture) const;

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
  int frameRate_ = 25;
  double pictureSeconds_ = 0.04;  // how long the file shows each picture
  double firstSeconds_ = -1;      // time stamp of the file's first picture
};

}  // namespace kvdevice
