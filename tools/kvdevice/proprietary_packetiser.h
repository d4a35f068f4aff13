// Cuts coded pictures and audio frames into the proprietary stream's datagrams: a 68-byte
// big-endian header followed by one piece of payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvdevice {

inline constexpr size_t kHeaderSize = 68;
inline constexpr uint8_t kKeyFrameType = 7;
inline constexpr uint8_t kOtherFrameType = 1;

using Datagram = std::vector<uint8_t>;

struct StreamDescription {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t frameRate = 0;
  uint32_t bitRateKbps = 0;
};

struct PacketiserSettings {
  uint8_t videoCodec = 96;
  uint8_t audioCodec = 0;
  uint8_t deviceGeneration = 0;
  size_t maxPayload = 1400;
  StreamDescription description;
};

class ProprietaryPacketiser {
 public:
  ProprietaryPacketiser(const PacketiserSettings& settings, uint32_t streamId);

  // Starts a new stream: the id changes and the sequence numbers start again at 1.
  void newStream(uint32_t streamId);
  uint32_t streamId() const { return streamId_; }

  // One coded picture. H.264 (an Annex B byte stream) is split into NAL units without start
  // codes, each unit cut into pieces on its own; other codecs send the picture as one unit.
  void packPicture(const uint8_t* data, size_t size, bool key, uint32_t timeMs,
                   std::vector<Datagram>& out);
  // One coded audio frame, always a whole unit.
  void packAudio(const uint8_t* data, size_t size, uint32_t timeMs, std::vector<Datagram>& out);

 private:
  void packUnit(const uint8_t* data, size_t size, bool key, uint32_t timeMs,
                std::vector<Datagram>& out);
  Datagram header(uint8_t kind, uint8_t frameType, uint8_t position, size_t payload, bool key,
                  uint32_t timeMs);

  PacketiserSettings settings_;
  uint32_t streamId_;
  uint32_t sequence_ = 1;
};

// The NAL units of an Annex B byte stream, without start codes and trailing zero bytes.
struct ByteRange {
  const uint8_t* data;
  size_t size;
};
std::vector<ByteRange> SplitAnnexB(const uint8_t* data, size_t size);

}  // namespace kvdevice
