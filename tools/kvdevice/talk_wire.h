// The talk connection's binary audio once "CMD:TALK" was accepted, as the device sees it.
// Uplink (client to device), little-endian: a 32-bit word whose bits 0-9 are L and the rest 0,
// the sender's 32-bit millisecond tick, then an L-byte voice frame. Downlink: bare voice frames.
// A voice frame is bytes 0x00 0x01, N as a 16-bit little-endian number, then 2 * N payload bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvdevice {

inline constexpr size_t kUplinkHeaderBytes = 8;
inline constexpr size_t kVoiceHeaderBytes = 4;
inline constexpr uint32_t kUplinkLengthMask = 0x3FF;

struct UplinkPacket {
  uint32_t length = 0;  // L
  uint32_t tick = 0;
  std::vector<uint8_t> frame;
};

enum class UplinkTake { kIncomplete, kPacket, kBad };

// Takes the packet at the front of `data`. kBad (with the reason) when its length word cannot
// be right: bits above 9 set, or L too short for a voice frame or odd; the stream has then lost
// its framing.
UplinkTake TakeUplinkPacket(const uint8_t* data, size_t size, UplinkPacket& packet,
                            size_t& consumed, std::string& problem);

// Checks a voice frame's header against its length; false with the reason when it disagrees.
bool CheckVoiceFrame(const std::vector<uint8_t>& frame, std::string& problem);

// A voice frame around a payload of whole 16-bit words.
std::vector<uint8_t> VoiceFrame(const std::vector<uint8_t>& payload);

}  // namespace kvdevice
