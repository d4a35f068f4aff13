// One RTP packet's payload as a packetiser makes it, before the sender adds the 12-byte header.
#pragma once

#include <cstdint>
#include <vector>

namespace kvdevice {

struct RtpPayload {
  std::vector<uint8_t> bytes;
  bool marker = false;  // the last packet of a picture
};

}  // namespace kvdevice
