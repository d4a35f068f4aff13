// MPEG-4 Part 2 video into RTP payloads (RFC 3016): each picture (VOP) cut to the payload limit
// with the marker on its last packet; the configuration headers in front of a key picture
// (visual object sequence, visual object, video object layer) go in a packet of their own,
// marker set, as the camera sends them, or together with the picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/kvdevice/rtp_payload.h"

namespace kvdevice {

struct Mpeg4RtpSettings {
  size_t maxPayload = 1400;
  bool configAlone = true;
};

std::vector<RtpPayload> PacketiseMpeg4(const uint8_t* data, size_t size,
                                       const Mpeg4RtpSettings& settings);

// The bytes before the first picture start code (00 00 01 B6); empty when the picture has no
// configuration in front.
std::vector<uint8_t> Mpeg4Config(const uint8_t* data, size_t size);

// The fmtp values: profile-level-id (from the visual object sequence, 1 when absent) and the
// configuration as upper-case hex.
struct Mpeg4Description {
  int profileLevelId = 1;
  std::string config;
};
Mpeg4Description DescribeMpeg4(const std::vector<uint8_t>& config);

}  // namespace kvdevice
