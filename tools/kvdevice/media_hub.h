// The camera's one live stream for every RTSP session: a thread encodes pictures and sound in
// real time, packetises each once into RTP payloads and hands them to the sessions that play.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/kvdevice/media_source.h"
#include "tools/kvdevice/options.h"
#include "tools/kvdevice/rtp_payload.h"
#include "tools/kvdevice/sdp.h"

namespace kvdevice {

// One picture or audio frame as RTP payloads, shared by every session that sends it.
struct TrackUnit {
  TrackKind kind = TrackKind::kVideo;
  std::vector<RtpPayload> payloads;
  uint32_t timestamp = 0;  // in the track's clock (90 kHz or 8 kHz) since the stream began
  bool key = false;        // a picture a decoder can start at
};

class MediaSubscriber {
 public:
  virtual ~MediaSubscriber() = default;
  // Called on the hub's thread; must return quickly.
  virtual void deliver(const std::shared_ptr<const TrackUnit>& unit) = 0;
};

class MediaHub {
 public:
  // Opens the media source and encodes the first picture, so the description is known.
  static std::unique_ptr<MediaHub> Create(const Options& options, std::string& error);
  ~MediaHub();

  void start();
  void stop();
  // True once the source has ended (its duration or its file); the server then ends.
  bool ended() const { return ended_; }
  const std::string& error() const { return error_; }

  // The fmtp value of the video (sprop-parameter-sets or config), from the first picture.
  const std::string& videoFmtp() const { return videoFmtp_; }
  // The track's clock now, in its units since the stream began.
  uint32_t clockNow(TrackKind kind) const;

  void subscribe(MediaSubscriber* subscriber);
  // After it returns, deliver() is no longer running or called for this subscriber.
  void unsubscribe(MediaSubscriber* subscriber);

  uint64_t pictures() const { return pictures_; }
  uint64_t audioFrames() const { return audioFrames_; }

 private:
  MediaHub() = default;
  void run();
  std::shared_ptr<TrackUnit> packetise(const MediaFrame& frame);

  Options options_;
  std::unique_ptr<MediaSource> source_;
  MediaFrame first_;
  bool haveFirst_ = false;
  std::string videoFmtp_;
  std::string error_;

  std::mutex subscribersLock_;
  std::vector<MediaSubscriber*> subscribers_;

  std::mutex stopLock_;
  std::condition_variable stopSignal_;
  bool stopping_ = false;
  std::atomic<bool> ended_{false};
  std::atomic<int64_t> startNs_{0};
  std::atomic<uint64_t> pictures_{0};
  std::atomic<uint64_t> audioFrames_{0};
  std::thread thread_;
};

}  // namespace kvdevice
