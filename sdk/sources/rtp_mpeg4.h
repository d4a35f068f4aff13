// The MPEG-4 RTP rule (RFC 3016 payloads, used over both RTSP transports): each packet goes to
// the conduit as it came, the marker bit closing the frame; a short marked packet (the
// configuration header) is the key point of the record file.
#pragma once

#include "sdk/sources/rtp_packet.h"
#include "sdk/sources/rtp_sink.h"

namespace kv {

void ProcessMpeg4Packet(const RtpPacket& packet, IRtpVideoSink& sink);

}  // namespace kv
