// The camera's one live stream for every RTSP session.
#include "tools/kvdevice/media_hub.h"

#include <algorithm>
#include <chrono>

#include "tools/kvdevice/h264_rtp.h"
#include "tools/kvdevice/jpeg_rtp.h"
#include "tools/kvdevice/mpeg4_rtp.h"

namespace kvdevice {
namespace {

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::unique_ptr<MediaHub> MediaHub::Create(const Options& options, std::string& error) {
  std::unique_ptr<MediaHub> hub(new MediaHub());
  hub->options_ = options;
  if (!options.durationGiven) {
    // A server streams until it is stopped: a year of pictures.
    hub->options_.durationFrames = int64_t{options.frameRate} * 86400 * 365;
  }
  hub->source_ = MediaSource::Create(hub->options_, error);
  if (hub->source_ == nullptr) return nullptr;
  // Audio frames may come before the first picture; the description needs the picture.
  MediaFrame frame;
  while (hub->source_->next(frame)) {
    if (frame.kind == MediaFrame::Kind::kVideo) {
      hub->first_ = std::move(frame);
      hub->haveFirst_ = true;
      break;
    }
  }
  if (!hub->haveFirst_) {
    error =
        hub->source_->error().empty() ? "the media source has no pictures" : hub->source_->error();
    return nullptr;
  }
  const std::vector<uint8_t>& data = hub->first_.data;
  if (options.videoCodec == VideoCodec::kH264) {
    H264Description d = DescribeH264(data.data(), data.size());
    hub->videoFmtp_ = "packetization-mode=1";
    if (!d.profileLevelId.empty()) hub->videoFmtp_ += ";profile-level-id=" + d.profileLevelId;
    if (!d.parameterSets.empty()) hub->videoFmtp_ += ";sprop-parameter-sets=" + d.parameterSets;
  } else if (options.videoCodec == VideoCodec::kMpeg4) {
    Mpeg4Description d = DescribeMpeg4(Mpeg4Config(data.data(), data.size()));
    hub->videoFmtp_ = "profile-level-id=" + std::to_string(d.profileLevelId);
    if (!d.config.empty()) hub->videoFmtp_ += ";config=" + d.config;
  } else if (!ParseJpeg(data.data(), data.size())) {
    error = "the JPEG encoder made a picture RTP cannot carry";
    return nullptr;
  }
  return hub;
}

MediaHub::~MediaHub() { stop(); }

void MediaHub::start() {
  startNs_ = NowNs();
  thread_ = std::thread([this] { run(); });
}

void MediaHub::stop() {
  {
    std::lock_guard<std::mutex> lock(stopLock_);
    stopping_ = true;
  }
  stopSignal_.notify_all();
  if (thread_.joinable()) thread_.join();
}

uint32_t MediaHub::clockNow(TrackKind kind) const {
  const int64_t elapsedNs = std::max<int64_t>(0, NowNs() - startNs_);
  return static_cast<uint32_t>(elapsedNs / 1000 * ClockRate(kind) / 1000000);
}

void MediaHub::subscribe(MediaSubscriber* subscriber) {
  std::lock_guard<std::mutex> lock(subscribersLock_);
  subscribers_.push_back(subscriber);
}

void MediaHub::unsubscribe(MediaSubscriber* subscriber) {
  std::lock_guard<std::mutex> lock(subscribersLock_);
  subscribers_.erase(std::remove(subscribers_.begin(), subscribers_.end(), subscriber),
                     subscribers_.end());
}

std::shared_ptr<TrackUnit> MediaHub::packetise(const MediaFrame& frame) {
  auto unit = std::make_shared<TrackUnit>();
  const uint8_t* data = frame.data.data();
  const size_t size = frame.data.size();
  const size_t maxPayload = static_cast<size_t>(options_.maxPayload);
  if (frame.kind == MediaFrame::Kind::kAudio) {
    unit->kind = TrackKind::kAudio;
    unit->payloads.push_back(RtpPayload{frame.data, false});
    unit->timestamp = static_cast<uint32_t>(frame.number * options_.audioFrameSamples);
    // The first packet of the stream begins a talk spurt.
    unit->payloads.back().marker = frame.number == 0;
    return unit;
  }
  unit->kind = TrackKind::kVideo;
  unit->key = frame.key;
  unit->timestamp = static_cast<uint32_t>(frame.timeUs * 9 / 100);
  switch (options_.videoCodec) {
    case VideoCodec::kH264:
      unit->payloads =
          PacketiseH264(data, size, H264RtpSettings{maxPayload, options_.rtsp.aggregate});
      break;
    case VideoCodec::kMpeg4:
      unit->payloads =
          PacketiseMpeg4(data, size, Mpeg4RtpSettings{maxPayload, options_.rtsp.mpeg4ConfigAlone});
      break;
    case VideoCodec::kMjpeg:
      if (std::optional<JpegPicture> picture = ParseJpeg(data, size)) {
        unit->payloads = PacketiseJpeg(
            *picture, JpegRtpSettings{maxPayload, static_cast<uint8_t>(options_.rtsp.jpegQ)});
      }
      break;
  }
  return unit;
}

void MediaHub::run() {
  const std::chrono::steady_clock::time_point start{std::chrono::nanoseconds(startNs_.load())};
  MediaFrame frame;
  for (;;) {
    if (haveFirst_) {
      frame = std::move(first_);
      haveFirst_ = false;
    } else if (!source_->next(frame)) {
      error_ = source_->error();
      break;
    }
    {
      std::unique_lock<std::mutex> lock(stopLock_);
      if (stopSignal_.wait_until(lock, start + std::chrono::microseconds(frame.timeUs),
                                 [this] { return stopping_; })) {
        return;
      }
    }
    std::shared_ptr<TrackUnit> unit = packetise(frame);
    ++(frame.kind == MediaFrame::Kind::kVideo ? pictures_ : audioFrames_);
    std::lock_guard<std::mutex> lock(subscribersLock_);
    for (MediaSubscriber* s : subscribers_) s->deliver(unit);
  }
  ended_ = true;
}

}  // namespace kvdevice
