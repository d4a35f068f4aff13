// A sink for the RTP depacketiser tests: it keeps conduit frames, record units, raw-video calls
// and audio as the sources would hand them on, and can refuse conduit writes.
#pragma once

#include <cstdint>
#include <vector>

#include "sdk/sources/rtp_packet.h"
#include "sdk/sources/rtp_sink.h"

namespace kv::test {

using Bytes = std::vector<uint8_t>;

struct SinkFrame {
  Bytes bytes;
  int32_t tag = 0;
};
struct SinkRecord {
  Bytes bytes;
  uint32_t type = 0;
  bool keyPoint = false;
};

class CollectingSink : public IRtpVideoSink, public IRtpAudioSink {
 public:
  std::vector<SinkFrame> frames;
  Bytes open;  // pieces of the frame being assembled
  std::vector<SinkRecord> records;
  std::vector<std::pair<Bytes, RawVideoUnit>> raw;
  int clears = 0;
  bool refuseWrites = false;
  bool wantsRaw = false;
  bool audioOn = true;
  int32_t queued = 0;
  Bytes pcm;  // bytes written to the audio conduit
  std::vector<std::pair<Bytes, uint32_t>> audioRecords;
  int audioClears = 0;

  bool WriteVideo(const void* data, int32_t length, int32_t end, int32_t tag) override {
    if (refuseWrites) return false;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    open.insert(open.end(), p, p + length);
    if (end != 0) {
      frames.push_back({open, tag});
      open.clear();
    }
    return true;
  }
  void ClearVideo() override {
    ++clears;
    open.clear();
  }
  void RecordVideo(const VideoRecordUnit& unit) override {
    SinkRecord r;
    for (int i = 0; i < unit.pieceCount; ++i) {
      r.bytes.insert(r.bytes.end(), unit.pieces[i].data,
                     unit.pieces[i].data + unit.pieces[i].length);
    }
    r.type = unit.type;
    r.keyPoint = unit.keyPoint;
    if (r.bytes.size() != unit.length) r.type = 0xFFFF;  // marks a wrong length
    records.push_back(r);
  }
  bool WantsRawVideo() const override { return wantsRaw; }
  void RawVideo(const uint8_t* data, int32_t length, const RawVideoUnit& unit) override {
    raw.emplace_back(Bytes(data, data + length), unit);
  }
  bool AudioOn() const override { return audioOn; }
  int32_t AudioQueued() override { return queued; }
  void ClearAudio() override { ++audioClears; }
  void WriteAudio(const int16_t* samples, int32_t bytes) override {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(samples);
    pcm.insert(pcm.end(), p, p + bytes);
  }
  void RecordAudio(uint32_t type, const uint8_t* frame, uint32_t length, uint32_t ts) override {
    Bytes b(frame, frame + length);
    b.push_back(static_cast<uint8_t>(type));
    audioRecords.emplace_back(b, ts);
  }
};

// An RTP packet (version 2, no CSRC) around payload.
inline Bytes MakeRtp(const Bytes& payload, bool marker, uint16_t sequence = 1,
                     uint32_t timestamp = 0x01020304, uint8_t payloadType = 96) {
  Bytes p = {0x80,
             static_cast<uint8_t>((marker ? 0x80 : 0) | payloadType),
             static_cast<uint8_t>(sequence >> 8),
             static_cast<uint8_t>(sequence),
             static_cast<uint8_t>(timestamp >> 24),
             static_cast<uint8_t>(timestamp >> 16),
             static_cast<uint8_t>(timestamp >> 8),
             static_cast<uint8_t>(timestamp),
             0x11,
             0x22,
             0x33,
             0x44};
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

inline RtpPacket Parse(Bytes& packet) {
  RtpPacket rtp;
  ParseRtpPacket(packet.data(), packet.size(), &rtp);
  return rtp;
}

}  // namespace kv::test
