// H.264 into RTP payloads (RFC 6184, packetization-mode 1): single NAL unit packets, FU-A
// fragments for units larger than the payload limit and, optionally, STAP-A aggregates of
// consecutive small units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/kvdevice/rtp_payload.h"

namespace kvdevice {

struct H264RtpSettings {
  size_t maxPayload = 1400;
  bool aggregate = false;  // STAP-A for units that fit together
};

// One picture (an Annex B byte stream) into payloads; the marker is on the last.
std::vector<RtpPayload> PacketiseH264(const uint8_t* data, size_t size,
                                      const H264RtpSettings& settings);

// The sprop-parameter-sets value (base64 SPS "," base64 PPS) and profile-level-id (six hex
// digits) of the first SPS and PPS in the stream; empty strings when there are none.
struct H264Description {
  std::string parameterSets;
  std::string profileLevelId;
};
H264Description DescribeH264(const uint8_t* data, size_t size);

}  // namespace kvdevice
