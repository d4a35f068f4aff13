// Video packet dispatch by codec.
#include "sdk/sources/rtp_video_rules.h"

#include "KvNetClient.h"
#include "sdk/sources/rtp_mpeg4.h"
#include "sdk/sources/rtp_packet.h"
#include "sdk/state/client_state.h"

namespace kv {
namespace {

constexpr size_t kMinVideoPacket = 14;
constexpr uint32_t kJpegTypeUdp = 10;
constexpr uint32_t kJpegTypeInterleaved = 7;

}  // namespace

RtpVideoRules::RtpVideoRules(bool interleaved)
    : m_interleaved(interleaved), m_jpeg(interleaved ? kJpegTypeInterleaved : kJpegTypeUdp) {}

bool RtpVideoRules::Begin(const StreamDescription& stream) {
  m_codec = stream.videoCodec.load();
  H264Settings settings;
  settings.frameRate = stream.frameRate.load();
  settings.bitRate = stream.bitRate.load();
  settings.timeFragmentedSps = !m_interleaved;
  m_h264 = RtpH264Depacketizer(settings);
  if (m_codec == VCODEC_MJPEG) return m_jpeg.Allocate();
  m_jpeg.Reset();
  return true;
}

void RtpVideoRules::Process(uint8_t* data, size_t length, uint32_t nowMs, RtspMediaSink& sink) {
  if (data == nullptr || length < kMinVideoPacket) return;
  RtpPacket packet;
  if (!ParseRtpPacket(data, length, &packet)) return;
  sink.SetTimestamp(packet.timestamp);
  switch (m_codec) {
    case VCODEC_H264:
      sink.Apply(m_h264.Process(packet, nowMs, sink));
      break;
    case VCODEC_MJPEG:
      m_jpeg.Process(packet, sink);
      break;
    case VCODEC_MPEG4:
      // Over both transports: the interleaved MPEG-4 rule.
      ProcessMpeg4Packet(packet, sink);
      break;
    default:
      break;
  }
}

}  // namespace kv
