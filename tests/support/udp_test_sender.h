// A test-side sender of the proprietary UDP stream, written from the datagram layout alone
// (it shares no code with the library's receiver).
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace kv::test {

struct SenderDatagram {
  std::vector<uint8_t> bytes;
};

struct StreamDescription {
  uint32_t streamId = 0x5EED0001;
  uint8_t videoCodec = 96;
  uint8_t audioCodec = 2;
  uint8_t deviceGeneration = 1;
  uint32_t width = 320, height = 240, frameRate = 25, bitRate = 1024;
  size_t maxPayload = 1400;
};

// Builds datagrams with consecutive sequence numbers.
class UdpStreamBuilder {
 public:
  explicit UdpStreamBuilder(StreamDescription description, uint32_t firstSequence = 1);
  // One coded unit (no start code) as one or more pieces; key units carry type 7.
  void AddVideoUnit(const std::vector<uint8_t>& unit, bool key);
  void AddAudio(const std::vector<uint8_t>& payload);
  // H.264 frames as the conduit carries them (4-byte start code + unit): SPS, PPS and IDR
  // units are key units.
  void AddH264Frames(const std::vector<std::vector<uint8_t>>& frames);
  void SetStreamId(uint32_t id) { description_.streamId = id; }
  std::vector<SenderDatagram>& datagrams() { return datagrams_; }

 private:
  void add(uint8_t kind, uint8_t type, uint8_t fragment, const uint8_t* payload, size_t length);
  StreamDescription description_;
  uint32_t sequence_;
  std::vector<SenderDatagram> datagrams_;
};

// Swaps neighbours within a window and repeats some datagrams, reproducibly.
void Shuffle(std::vector<SenderDatagram>& datagrams, double reorderShare, double duplicateShare,
             uint32_t seed);

// Holds back a share of the datagrams (0..1), each until 1 to window - 1 later datagrams have
// gone out, as a network path with several routes reorders; what is still held at the end
// goes out last. Reproducible for a seed. Returns how many were held.
size_t HoldBack(std::vector<SenderDatagram>& datagrams, size_t window, double share, uint32_t seed);

// Leaves out each datagram with the given probability (0..1), reproducibly; returns how many
// were left out.
size_t Lose(std::vector<SenderDatagram>& datagrams, double share, uint32_t seed);

// The sequence number in a datagram's header.
uint32_t SequenceOf(const SenderDatagram& d);

// A UDP socket bound to fromAddress (e.g. "127.0.0.2") that sends to 127.0.0.1:port.
class UdpTestSocket {
 public:
  UdpTestSocket(const std::string& fromAddress, uint16_t port);
  ~UdpTestSocket();
  bool Send(const std::vector<uint8_t>& bytes);
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  uint16_t port_;
};

// A UDP port on 127.0.0.1 that is free right now.
uint16_t FreeUdpPort();

}  // namespace kv::test
