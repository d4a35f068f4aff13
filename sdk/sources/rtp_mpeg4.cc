// MPEG-4 RTP depacketising.
#include "sdk/sources/rtp_mpeg4.h"

namespace kv {
namespace {

constexpr size_t kConfigLimit = 64;
constexpr uint32_t kKeyType = 7;

}  // namespace

void ProcessMpeg4Packet(const RtpPacket& packet, IRtpVideoSink& sink) {
  if (packet.payload == nullptr || packet.payloadLength == 0) return;
  const uint32_t length = static_cast<uint32_t>(packet.payloadLength);
  // The tag is the top two bits of payload byte 3 (the coding type of a VOP header).
  const int32_t tag = length > 3 ? packet.payload[3] >> 6 : 0;
  sink.WriteVideo(packet.payload, static_cast<int32_t>(length), packet.marker ? 1 : 0, tag);

  VideoRecordUnit unit;
  unit.Add(packet.payload, length);
  unit.keyPoint = length < kConfigLimit && packet.marker;
  unit.type = unit.keyPoint ? kKeyType : 0;
  sink.RecordVideo(unit);
}

}  // namespace kv
