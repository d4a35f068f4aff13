// Sends one RTSP session's media: takes the hub's packetised units, adds each track's RTP
// header (its own sequence numbers, time stamp base and SSRC), applies the seeded faults and
// writes the packets to the session's transport, on a thread of its own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "tools/kvdevice/faults.h"
#include "tools/kvdevice/media_hub.h"
#include "tools/kvdevice/options.h"

namespace kvdevice {

// Where a session's packets go: UDP ports or interleaved channels of the RTSP connection.
class PacketSink {
 public:
  virtual ~PacketSink() = default;
  // rtcp selects the track's second port or odd channel. False when the transport failed.
  virtual bool send(TrackKind kind, bool rtcp, const uint8_t* data, size_t size) = 0;
  // Text between interleaved packets; nothing on UDP.
  virtual bool sendText(const std::string& text) = 0;
  // Makes a send that waits for a peer that does not read give up, so the sender can stop.
  virtual void cancel() = 0;
};

struct TrackState {
  bool enabled = false;
  uint8_t payloadType = 0;
  uint32_t ssrc = 0;
  uint16_t sequence = 0;  // of the next packet
  uint32_t timeBase = 0;  // added to the hub's time stamps
  uint32_t packets = 0;   // sent, for the sender reports
  uint32_t octets = 0;
  uint32_t lastTimestamp = 0;
};

struct SendTotals {
  uint64_t packets = 0;
  uint64_t bytes = 0;
};

class MediaSender : public MediaSubscriber {
 public:
  // tracks: the session's set-up tracks (index TrackKind). onDrop is called on the sender's
  // thread when the drop fault is due; the session then closes its connection.
  MediaSender(const Options& options, const TrackState tracks[2], std::unique_ptr<PacketSink> sink,
              std::string sessionId, std::function<void()> onDrop);
  ~MediaSender() override;

  void start(MediaHub& hub);
  void stop();
  SendTotals totals() const;
  // The track's state as the sender left it (sequence numbers go on after a PAUSE); only
  // meaningful after stop().
  const TrackState& track(TrackKind kind) const { return tracks_[static_cast<int>(kind)]; }

  void deliver(const std::shared_ptr<const TrackUnit>& unit) override;

 private:
  void run();
  bool sendUnit(const TrackUnit& unit);
  bool sendPacket(TrackKind kind, std::vector<uint8_t> packet);
  bool sendSenderReports();
  std::vector<uint8_t> rtpPacket(TrackState& track, const RtpPayload& payload, uint32_t timestamp);

  Options options_;
  TrackState tracks_[2];
  std::unique_ptr<PacketSink> sink_;
  std::string sessionId_;
  std::function<void()> onDrop_;
  FaultInjector faults_[2];
  std::mt19937 random_;
  MediaHub* hub_ = nullptr;

  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<const TrackUnit>> queue_;
  bool waitingForKey_ = true;
  bool stopping_ = false;
  SendTotals totals_;
  std::FILE* sendLog_ = nullptr;  // --send-log, written by the sender's thread only
  std::thread thread_;
};

}  // namespace kvdevice
