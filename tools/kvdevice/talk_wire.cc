// The talk connection's binary audio, as the device sees it.
#include "tools/kvdevice/talk_wire.h"

#include <algorithm>

namespace kvdevice {
namespace {

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

UplinkTake TakeUplinkPacket(const uint8_t* data, size_t size, UplinkPacket& packet,
                            size_t& consumed, std::string& problem) {
  consumed = 0;
  if (size < kUplinkHeaderBytes) return UplinkTake::kIncomplete;
  const uint32_t word = Le32(data);
  if ((word & ~kUplinkLengthMask) != 0) {
    problem = "length word " + std::to_string(word) + " has bits above 9 set";
    return UplinkTake::kBad;
  }
  const uint32_t length = word & kUplinkLengthMask;
  if (length < kVoiceHeaderBytes || length % 2 != 0) {
    problem = "voice frame length " + std::to_string(length) + " is not 4 + 2N";
    return UplinkTake::kBad;
  }
  if (size < kUplinkHeaderBytes + length) return UplinkTake::kIncomplete;
  packet.length = length;
  packet.tick = Le32(data + 4);
  packet.frame.assign(data + kUplinkHeaderBytes, data + kUplinkHeaderBytes + length);
  consumed = kUplinkHeaderBytes + length;
  return UplinkTake::kPacket;
}

bool CheckVoiceFrame(const std::vector<uint8_t>& frame, std::string& problem) {
  if (frame.size() < kVoiceHeaderBytes) {
    problem = "a voice frame shorter than its header";
    return false;
  }
  if (frame[0] != 0x00 || frame[1] != 0x01) {
    problem = "voice frame tag is not 00 01";
    return false;
  }
  const size_t words = size_t{frame[2]} | size_t{frame[3]} << 8;
  if (kVoiceHeaderBytes + 2 * words != frame.size()) {
    problem = "voice frame N " + std::to_string(words) + " disagrees with its " +
              std::to_string(frame.size()) + " bytes";
    return false;
  }
  return true;
}

std::vector<uint8_t> VoiceFrame(const std::vector<uint8_t>& payload) {
  const size_t words = payload.size() / 2;
  std::vector<uint8_t> frame(kVoiceHeaderBytes + 2 * words);
  frame[0] = 0x00;
  frame[1] = 0x01;
  frame[2] = static_cast<uint8_t>(words & 0xFF);
  frame[3] = static_cast<uint8_t>(words >> 8);
  std::copy(payload.begin(), payload.begin() + static_cast<long>(2 * words),
            frame.begin() + kVoiceHeaderBytes);
  return frame;
}

}  // namespace kvdevice
