// The H.264 RTP rule (RFC 6184 single NAL unit and FU-A packets): each NAL unit becomes one
// conduit frame behind a start code and one record unit per packet; sequence parameter sets time
// the pre-buffer depth of low-rate streams and recover a conduit that refused a write.
#pragma once

#include <cstdint>

#include "sdk/sources/rtp_packet.h"
#include "sdk/sources/rtp_sink.h"

namespace kv {

struct H264Settings {
  int32_t frameRate = 25;  // the client's; 0 or above 1000 leaves the pre-buffer depth alone
  int32_t bitRate = 0;     // bit/s; at most 2,097,152 makes the stream low-rate
  // A parameter set that arrives as an FU-A start fragment takes part in the timing (RTP over
  // UDP) or not (interleaved).
  bool timeFragmentedSps = true;
  // Aggregation packets (STAP-A) are split into their units instead of dropped.
  bool acceptStapA = true;
};

// What the caller does after a packet.
struct H264Decision {
  uint32_t receivedBytes = 0;      // add to the client's received byte counter
  bool recreateDecoder = false;    // set the client's decoder re-create request
  bool setPreBufferDepth = false;  // store preBufferDepth in the client
  int32_t preBufferDepth = 0;
};

class RtpH264Depacketizer {
 public:
  explicit RtpH264Depacketizer(const H264Settings& settings);

  // Back to the state of a new connection.
  void Reset();
  // Handles one packet; the payload may be changed in place (the raw-video callback gets the
  // unit's NAL header where the FU header was). nowMs is the tick count.
  H264Decision Process(const RtpPacket& packet, uint32_t nowMs, IRtpVideoSink& sink);

  // Frame period in ms, 0 when the frame rate gives none.
  int32_t FramePeriod() const { return m_period; }
  bool ConduitOk() const { return m_conduitOk; }

 private:
  void spsTiming(int32_t window, uint32_t nowMs);
  void singleUnit(const uint8_t* nal, uint32_t length, uint32_t nowMs, H264Decision& decision,
                  IRtpVideoSink& sink);
  void fragment(const RtpPacket& packet, uint32_t nowMs, H264Decision& decision,
                IRtpVideoSink& sink);
  bool write(IRtpVideoSink& sink, const void* data, int32_t length, int32_t end, int32_t tag);

  H264Settings m_settings;
  int32_t m_period = 0;
  bool m_lowRate = false;
  bool m_conduitOk = true;
  int32_t m_spsCounter = 10;
  uint32_t m_accumulatedMs = 0;
  uint32_t m_lastSpsTime = 0;
};

}  // namespace kv
