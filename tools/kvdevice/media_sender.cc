// Sends one RTSP session's media on a thread of its own.
#include "tools/kvdevice/media_sender.h"

#include <chrono>
#include <utility>

namespace kvdevice {
namespace {

using Clock = std::chrono::steady_clock;

// A receiver that falls this far behind starts again at the next key picture.
constexpr size_t kMaxQueuedUnits = 100;

FaultOptions TrackFaults(const FaultOptions& options, TrackKind kind) {
  FaultOptions f = options;
  f.badLengthPercent = 0;  // a field of the UDP stream's header, not of RTP
  f.seed = options.seed * 2 + static_cast<uint32_t>(kind);
  return f;
}

void Put16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, static_cast<uint16_t>(v >> 16));
  Put16(b, static_cast<uint16_t>(v));
}

}  // namespace

MediaSender::MediaSender(const Options& options, const TrackState tracks[2],
                         std::unique_ptr<PacketSink> sink, std::string sessionId,
                         std::function<void()> onDrop)
    : options_(options),
      tracks_{tracks[0], tracks[1]},
      sink_(std::move(sink)),
      sessionId_(std::move(sessionId)),
      onDrop_(std::move(onDrop)),
      faults_{FaultInjector(TrackFaults(options.faults, TrackKind::kVideo)),
              FaultInjector(TrackFaults(options.faults, TrackKind::kAudio))},
      random_(options.faults.seed) {}

MediaSender::~MediaSender() {
  stop();
  if (sendLog_ != nullptr) std::fclose(sendLog_);
}

void MediaSender::start(MediaHub& hub) {
  hub_ = &hub;
  if (!options_.rtsp.sendLog.empty() && sendLog_ == nullptr) {
    // Appended a whole line at a time, so several sessions can share the file.
    sendLog_ = std::fopen(options_.rtsp.sendLog.c_str(), "a");
    if (sendLog_ != nullptr) std::setvbuf(sendLog_, nullptr, _IOLBF, 256);
  }
  thread_ = std::thread([this] { run(); });
  hub.subscribe(this);
}

void MediaSender::stop() {
  if (hub_ != nullptr) hub_->unsubscribe(this);
  sink_->cancel();
  {
    std::lock_guard<std::mutex> lock(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

SendTotals MediaSender::totals() const {
  std::lock_guard<std::mutex> lock(lock_);
  return totals_;
}

void MediaSender::deliver(const std::shared_ptr<const TrackUnit>& unit) {
  const bool haveVideo = tracks_[0].enabled;
  if (!tracks_[static_cast<int>(unit->kind)].enabled) return;
  std::lock_guard<std::mutex> lock(lock_);
  if (stopping_) return;
  if (queue_.size() >= kMaxQueuedUnits) {
    queue_.clear();
    waitingForKey_ = true;
  }
  // Like a camera, a new receiver's stream begins with a key picture.
  if (waitingForKey_ && haveVideo) {
    if (unit->kind != TrackKind::kVideo || !unit->key) return;
  }
  waitingForKey_ = false;
  queue_.push_back(unit);
  wake_.notify_one();
}

std::vector<uint8_t> MediaSender::rtpPacket(TrackState& track, const RtpPayload& payload,
                                            uint32_t timestamp) {
  std::vector<uint8_t> b;
  b.reserve(12 + payload.bytes.size());
  b.push_back(0x80);
  b.push_back(static_cast<uint8_t>((payload.marker ? 0x80 : 0) | (track.payloadType & 0x7F)));
  Put16(b, track.sequence++);
  Put32(b, timestamp);
  Put32(b, track.ssrc);
  b.insert(b.end(), payload.bytes.begin(), payload.bytes.end());
  return b;
}

bool MediaSender::sendPacket(TrackKind kind, std::vector<uint8_t> packet) {
  std::vector<Datagram> wire;
  faults_[static_cast<int>(kind)].push(std::move(packet), wire);
  for (const Datagram& d : wire) {
    if (!sink_->send(kind, false, d.data(), d.size())) return false;
    std::lock_guard<std::mutex> lock(lock_);
    ++totals_.packets;
    totals_.bytes += d.size();
  }
  return true;
}

bool MediaSender::sendUnit(const TrackUnit& unit) {
  TrackState& track = tracks_[static_cast<int>(unit.kind)];
  const uint32_t timestamp = track.timeBase + unit.timestamp;
  for (const RtpPayload& payload : unit.payloads) {
    std::vector<uint8_t> packet = rtpPacket(track, payload, timestamp);
    ++track.packets;
    track.octets += static_cast<uint32_t>(payload.bytes.size());
    if (!sendPacket(unit.kind, std::move(packet))) return false;
    const double percent = options_.rtsp.oversizePercent;
    if (percent > 0 && static_cast<double>(random_()) / 4294967296.0 * 100.0 < percent) {
      RtpPayload junk;
      junk.bytes.resize(4097 + random_() % (32767 - 4097 + 1));
      for (uint8_t& b : junk.bytes) b = static_cast<uint8_t>(random_());
      if (!sink_->send(unit.kind, false, rtpPacket(track, junk, timestamp).data(),
                       12 + junk.bytes.size())) {
        return false;
      }
      std::lock_guard<std::mutex> lock(lock_);
      ++totals_.packets;
      totals_.bytes += 12 + junk.bytes.size();
    }
  }
  track.lastTimestamp = timestamp;
  if (sendLog_ != nullptr && unit.kind == TrackKind::kVideo) {
    const auto sent =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch());
    std::fprintf(sendLog_, "picture %u %lld\n", unit.timestamp,
                 static_cast<long long>(sent.count()));
  }
  return true;
}

bool MediaSender::sendSenderReports() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  const uint64_t us = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch).count());
  const uint32_t ntpSeconds = static_cast<uint32_t>(us / 1000000 + 2208988800u);
  const uint32_t ntpFraction = static_cast<uint32_t>((us % 1000000) * 4294967296ull / 1000000);
  for (int k = 0; k < 2; ++k) {
    TrackState& t = tracks_[k];
    if (!t.enabled) continue;
    const auto kind = static_cast<TrackKind>(k);
    std::vector<uint8_t> sr = {0x80, 200, 0, 6};
    Put32(sr, t.ssrc);
    Put32(sr, ntpSeconds);
    Put32(sr, ntpFraction);
    Put32(sr, t.timeBase + hub_->clockNow(kind));
    Put32(sr, t.packets);
    Put32(sr, t.octets);
    if (!sink_->send(kind, true, sr.data(), sr.size())) return false;
  }
  return true;
}

void MediaSender::run() {
  const Clock::time_point playStart = Clock::now();
  const auto after = [&](double seconds) {
    return playStart + std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6));
  };
  const RtspOptions& r = options_.rtsp;
  Clock::time_point nextReport = playStart + std::chrono::seconds(1);
  Clock::time_point nextText = after(r.strayTextSeconds);
  bool failed = false, dropped = false;
  std::deque<std::shared_ptr<const TrackUnit>> units;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(lock_);
      wake_.wait_for(lock, std::chrono::milliseconds(100),
                     [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      units.swap(queue_);
    }
    const Clock::time_point now = Clock::now();
    if (r.dropAfterSeconds > 0 && !dropped && now >= after(r.dropAfterSeconds)) {
      dropped = true;
      if (onDrop_) onDrop_();
    }
    const bool stalled =
        dropped || failed || (r.stallAfterSeconds > 0 && now >= after(r.stallAfterSeconds));
    for (const auto& unit : units) {
      if (stalled || failed) break;
      failed = !sendUnit(*unit);
    }
    units.clear();
    if (stalled || failed) continue;
    if (r.rtcp && now >= nextReport) {
      failed = !sendSenderReports();
      nextReport += std::chrono::seconds(1);
    }
    if (r.strayTextSeconds > 0 && now >= nextText) {
      failed =
          !sink_->sendText("RTSP/1.0 200 OK\r\nCSeq: 0\r\nSession: " + sessionId_ + "\r\n\r\n");
      nextText = now + std::chrono::microseconds(static_cast<int64_t>(r.strayTextSeconds * 1e6));
    }
  }
}

}  // namespace kvdevice
