// H.264 RTP depacketising.
#include "sdk/sources/rtp_h264.h"

#include <limits>

namespace kv {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
constexpr int32_t kLowRateLimit = 2097152;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalIdr = 5;
constexpr uint8_t kStapA = 24;
constexpr uint8_t kFuA = 28;

}  // namespace

RtpH264Depacketizer::RtpH264Depacketizer(const H264Settings& settings) : m_settings(settings) {
  Reset();
}

void RtpH264Depacketizer::Reset() {
  const int32_t fps = m_settings.frameRate;
  m_period = (fps >= 1 && fps <= 1000) ? 1000 / fps : 0;
  m_lowRate = m_settings.bitRate <= kLowRateLimit;
  m_conduitOk = true;
  m_spsCounter = 10;
  m_accumulatedMs = 0;
  m_lastSpsTime = 0;
}

void RtpH264Depacketizer::spsTiming(int32_t window, uint32_t nowMs) {
  if (m_spsCounter == window) {
    m_spsCounter = 0;
    m_accumulatedMs = 0;
  }
  m_lastSpsTime = nowMs;
  ++m_spsCounter;
}

bool RtpH264Depacketizer::write(IRtpVideoSink& sink, const void* data, int32_t length, int32_t end,
                                int32_t tag) {
  if (sink.WriteVideo(data, length, end, tag)) return true;
  m_conduitOk = false;
  return false;
}

H264Decision RtpH264Depacketizer::Process(const RtpPacket& packet, uint32_t nowMs,
                                          IRtpVideoSink& sink) {
  H264Decision decision;
  // A payload needs its NAL header and one more byte (an FU-A needs its FU header).
  if (packet.payload == nullptr || packet.payloadLength < 2) return decision;
  decision.receivedBytes = static_cast<uint32_t>(packet.payloadLength);
  const uint8_t type = packet.payload[0] & 0x1F;
  if (type >= 1 && type <= 23) {
    singleUnit(packet.payload, static_cast<uint32_t>(packet.payloadLength), nowMs, decision, sink);
  } else if (type == kFuA) {
    fragment(packet, nowMs, decision, sink);
  } else if (type == kStapA && m_settings.acceptStapA) {
    // Units of two-byte big-endian size each; a size that overruns the packet ends the walk.
    size_t at = 1;
    while (at + 2 <= packet.payloadLength) {
      const uint32_t size =
          (static_cast<uint32_t>(packet.payload[at]) << 8) | packet.payload[at + 1];
      at += 2;
      if (size == 0 || size > packet.payloadLength - at) break;
      uint8_t* nal = packet.payload + at;
      const uint8_t nalType = nal[0] & 0x1F;
      if (nalType >= 1 && nalType <= 23) singleUnit(nal, size, nowMs, decision, sink);
      at += size;
    }
  }
  return decision;
}

void RtpH264Depacketizer::singleUnit(const uint8_t* nal, uint32_t length, uint32_t nowMs,
                                     H264Decision& decision, IRtpVideoSink& sink) {
  const uint8_t type = nal[0] & 0x1F;
  if (type == kNalSps) {
    spsTiming(20, nowMs);
    if (!m_conduitOk) {
      sink.ClearVideo();
      m_conduitOk = true;
      decision.recreateDecoder = true;
    }
  }
  if (write(sink, kStartCode, 4, 0, 0)) write(sink, nal, static_cast<int32_t>(length), 1, type);
  VideoRecordUnit unit;
  unit.Add(kStartCode, 4);
  unit.Add(nal, length);
  unit.type = type & 0xF;
  unit.keyPoint = type == kNalSps;
  sink.RecordVideo(unit);
}

void RtpH264Depacketizer::fragment(const RtpPacket& packet, uint32_t nowMs, H264Decision& decision,
                                   IRtpVideoSink& sink) {
  uint8_t* payload = packet.payload;
  const uint32_t length = static_cast<uint32_t>(packet.payloadLength);
  const uint8_t indicator = payload[0];
  const uint8_t header = payload[1];
  const uint8_t unitType = header & 0x1F;
  const uint8_t nalHeader = static_cast<uint8_t>((indicator & 0xE0) | unitType);
  const uint8_t* piece = payload + 2;
  const uint32_t pieceLength = length - 2;
  const int32_t end = (header & 0x40) != 0 ? 1 : 0;

  VideoRecordUnit unit;
  unit.type = unitType & 0xF;
  unit.keyPoint = unitType == kNalSps;
  if ((header & 0x80) != 0) {
    if (unitType == kNalSps && m_settings.timeFragmentedSps) spsTiming(10, nowMs);
    if (write(sink, kStartCode, 4, 0, 0) && write(sink, &nalHeader, 1, 0, 0)) {
      write(sink, piece, static_cast<int32_t>(pieceLength), end, unitType);
    }
    if (sink.WantsRawVideo()) {
      RawVideoUnit raw;
      raw.rtpTimestamp = packet.timestamp;
      raw.nalType = unitType;
      raw.fragment = 1;
      payload[1] = nalHeader;
      sink.RawVideo(payload + 1, static_cast<int32_t>(length - 1), raw);
    }
    unit.Add(kStartCode, 4);
    unit.Add(&nalHeader, 1);
    unit.Add(piece, pieceLength);
  } else {
    write(sink, piece, static_cast<int32_t>(pieceLength), end, unitType);
    unit.Add(piece, pieceLength);
  }
  sink.RecordVideo(unit);

  if (end != 0 && m_lowRate && unitType == kNalIdr && m_period > 0) {
    m_accumulatedMs += nowMs - m_lastSpsTime;
    const uint64_t depth = (2ull * m_accumulatedMs / static_cast<uint64_t>(m_period)) /
                           static_cast<uint64_t>(m_spsCounter);
    decision.setPreBufferDepth = true;
    decision.preBufferDepth =
        static_cast<int32_t>(depth > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
                                 ? std::numeric_limits<int32_t>::max()
                                 : depth);
  }
}

}  // namespace kv
