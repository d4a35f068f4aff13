// Produces the simulated camera's coded pictures and audio frames in sending order.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/kvdevice/audio_encoder.h"
#include "tools/kvdevice/options.h"
#include "tools/kvdevice/raw_source.h"
#include "tools/kvdevice/video_encoder.h"

namespace kvdevice {

struct MediaFrame {
  enum class Kind { kVideo, kAudio };
  Kind kind = Kind::kVideo;
  std::vector<uint8_t> data;
  bool key = false;
  bool newStream = false;  // the first picture after a stream id change (always a key frame)
  int64_t number = 0;      // picture number or audio frame number, from 0
  int64_t timeUs = 0;      // media time since the start
};

class MediaSource {
 public:
  static std::unique_ptr<MediaSource> Create(const Options& options, std::string& error);

  // The next frame by media time (a picture before audio of the same time); false at the end
  // or on an encoder failure (then error() says so).
  bool next(MediaFrame& frame);
  const std::string& error() const { return error_; }

 private:
  MediaSource() = default;
  int64_t pictureTimeUs(int64_t number) const;
  int64_t audioTimeUs(int64_t number) const;
  bool encodePicture();

  Options options_;
  std::unique_ptr<RawSource> raw_;
  std::unique_ptr<VideoEncoder> video_;
  std::unique_ptr<AudioEncoder> audio_;
  std::deque<EncodedPicture> ready_;
  std::set<int64_t> newStreamPictures_;
  std::vector<int16_t> pcm_;
  int64_t pictureLimit_ = 0;
  int64_t nextPicture_ = 0;
  int64_t nextAudio_ = 0;
  int64_t nextStreamChangeUs_ = 0;
  bool videoDone_ = false;
  std::string error_;
};

}  // namespace kvdevice
