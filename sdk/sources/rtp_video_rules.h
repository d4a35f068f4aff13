// The video rules of both RTSP sources in one place: each RTP packet goes to the H.264, JPEG or
// MPEG-4 depacketiser by the stream's codec, and what the H.264 rule decides is applied to the
// client through the sink.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/sources/rtp_h264.h"
#include "sdk/sources/rtp_jpeg.h"
#include "sdk/sources/rtsp_media_sink.h"

namespace kv {

struct StreamDescription;

class RtpVideoRules {
 public:
  // interleaved: JPEG pictures are recorded as type 7 (10 over RTP/UDP), and a parameter set
  // sent as an FU-A start fragment does not time the pre-buffer depth.
  explicit RtpVideoRules(bool interleaved);

  // Back to the state of a new connection for the client's stream; allocates the JPEG
  // assembly buffer for an MJPEG stream. False when there is no memory for it.
  bool Begin(const StreamDescription& stream);
  // Handles one whole RTP packet (header included; the bytes may be changed in place).
  // Packets shorter than 14 bytes, and packets that are not RTP, are ignored.
  void Process(uint8_t* data, size_t length, uint32_t nowMs, RtspMediaSink& sink);

 private:
  const bool m_interleaved;
  uint8_t m_codec = 0;
  RtpH264Depacketizer m_h264{H264Settings{}};
  RtpJpegDepacketizer m_jpeg;
};

}  // namespace kv
