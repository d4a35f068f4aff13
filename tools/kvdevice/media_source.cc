// Produces the simulated camera's coded pictures and audio frames in sending order.
#include "tools/kvdevice/media_source.h"

#include <cmath>

#include "tools/kvdevice/file_source.h"
#include "tools/kvdevice/pattern.h"

namespace kvdevice {

std::unique_ptr<MediaSource> MediaSource::Create(const Options& options, std::string& error) {
  std::unique_ptr<MediaSource> s(new MediaSource());
  s->options_ = options;
  if (options.input.empty()) {
    s->raw_ = std::make_unique<PatternSource>(options.frameRate, options.toneHz);
  } else {
    s->raw_ = FileSource::Open(options.input, options.frameRate, error);
    if (s->raw_ == nullptr) return nullptr;
  }
  s->video_ = VideoEncoder::Create(options, error);
  if (s->video_ == nullptr) return nullptr;
  if (options.audioCodec != AudioCodec::kNone) {
    s->audio_ = AudioEncoder::Create(options.audioCodec, options.audioFrameSamples, error);
    if (s->audio_ == nullptr) return nullptr;
    s->pcm_.resize(static_cast<size_t>(options.audioFrameSamples));
  }
  s->pictureLimit_ =
      options.durationFrames > 0
          ? options.durationFrames
          : std::max<int64_t>(1, std::llround(options.durationSeconds * options.frameRate));
  s->nextStreamChangeUs_ = int64_t{options.streamChangeSeconds} * 1000000;
  return s;
}

int64_t MediaSource::pictureTimeUs(int64_t number) const {
  return number * 1000000 / options_.frameRate;
}

int64_t MediaSource::audioTimeUs(int64_t number) const {
  return number * options_.audioFrameSamples * 1000000 / 8000;
}

bool MediaSource::encodePicture() {
  AVFrame* picture = video_->picture();
  if (picture == nullptr) {
    error_ = "out of memory";
    return false;
  }
  if (nextPicture_ >= pictureLimit_ || !raw_->nextPicture(nextPicture_, picture)) {
    videoDone_ = true;
    pictureLimit_ = nextPicture_;
    std::vector<EncodedPicture> rest;
    video_->flush(rest);
    for (auto& p : rest) ready_.push_back(std::move(p));
    return true;
  }
  bool forceKey = false;
  if (options_.streamChangeSeconds > 0 && pictureTimeUs(nextPicture_) >= nextStreamChangeUs_) {
    forceKey = true;
    newStreamPictures_.insert(nextPicture_);
    nextStreamChangeUs_ += int64_t{options_.streamChangeSeconds} * 1000000;
  }
  std::vector<EncodedPicture> done;
  if (!video_->encode(nextPicture_, forceKey, done)) {
    error_ = "the video encoder failed";
    return false;
  }
  ++nextPicture_;
  for (auto& p : done) ready_.push_back(std::move(p));
  return true;
}

bool MediaSource::next(MediaFrame& frame) {
  for (;;) {
    // Audio runs as long as the pictures do.
    bool audioLeft = audio_ != nullptr && audioTimeUs(nextAudio_) < pictureTimeUs(pictureLimit_);
    if (!ready_.empty() &&
        (!audioLeft || pictureTimeUs(ready_.front().number) <= audioTimeUs(nextAudio_))) {
      EncodedPicture& p = ready_.front();
      frame.kind = MediaFrame::Kind::kVideo;
      frame.data = std::move(p.data);
      frame.number = p.number;
      frame.newStream = newStreamPictures_.erase(p.number) > 0;
      frame.key = p.key || frame.newStream;
      frame.timeUs = pictureTimeUs(p.number);
      ready_.pop_front();
      return true;
    }
    if (audioLeft && (videoDone_ || audioTimeUs(nextAudio_) < pictureTimeUs(nextPicture_))) {
      raw_->nextAudio(pcm_.data(), options_.audioFrameSamples);
      frame.kind = MediaFrame::Kind::kAudio;
      frame.key = false;
      frame.newStream = false;
      frame.number = nextAudio_;
      frame.timeUs = audioTimeUs(nextAudio_);
      ++nextAudio_;
      if (!audio_->encode(pcm_.data(), frame.data)) {
        error_ = "the audio encoder failed";
        return false;
      }
      return true;
    }
    if (videoDone_) return false;
    if (!encodePicture()) return false;
  }
}

}  // namespace kvdevice
