// Cuts coded pictures and audio frames into the proprietary stream's datagrams.
#include "tools/kvdevice/proprietary_packetiser.h"

#include <algorithm>

namespace kvdevice {
namespace {

void Put32(Datagram& d, size_t offset, uint32_t v) {
  d[offset] = static_cast<uint8_t>(v >> 24);
  d[offset + 1] = static_cast<uint8_t>(v >> 16);
  d[offset + 2] = static_cast<uint8_t>(v >> 8);
  d[offset + 3] = static_cast<uint8_t>(v);
}

// Position of the next 00 00 01 at or after `from`, or size.
size_t FindStartCode(const uint8_t* data, size_t size, size_t from) {
  for (size_t i = from; i + 3 <= size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
  }
  return size;
}

}  // namespace

std::vector<ByteRange> SplitAnnexB(const uint8_t* data, size_t size) {
  std::vector<ByteRange> units;
  size_t start = FindStartCode(data, size, 0);
  while (start < size) {
    size_t begin = start + 3;
    size_t next = FindStartCode(data, size, begin);
    size_t end = next;
    // Zero bytes before a start code (the first byte of a 4-byte one) are not part of the unit.
    while (end > begin && data[end - 1] == 0) --end;
    if (end > begin) units.push_back(ByteRange{data + begin, end - begin});
    start = next;
  }
  return units;
}

ProprietaryPacketiser::ProprietaryPacketiser(const PacketiserSettings& settings, uint32_t streamId)
    : settings_(settings), streamId_(streamId) {
  settings_.maxPayload = std::max<size_t>(settings_.maxPayload, 1);
}

void ProprietaryPacketiser::newStream(uint32_t streamId) {
  streamId_ = streamId;
  sequence_ = 1;
}

Datagram ProprietaryPacketiser::header(uint8_t kind, uint8_t frameType, uint8_t position,
                                       size_t payload, bool key, uint32_t timeMs) {
  Datagram d(kHeaderSize + payload, 0);
  Put32(d, 4, streamId_);
  Put32(d, 8, timeMs);  // informative only: the media time in milliseconds
  Put32(d, 12, sequence_++);
  d[16] = kind;
  d[17] = settings_.videoCodec;
  d[18] = frameType;
  d[19] = position;
  d[21] = settings_.deviceGeneration;
  d[22] = settings_.audioCodec;
  Put32(d, 24, static_cast<uint32_t>(payload));
  if (key) {
    Put32(d, 28, settings_.description.width);
    Put32(d, 32, settings_.description.height);
    Put32(d, 36, settings_.description.frameRate);
    Put32(d, 40, settings_.description.bitRateKbps);
  }
  return d;
}

void ProprietaryPacketiser::packUnit(const uint8_t* data, size_t size, bool key, uint32_t timeMs,
                                     std::vector<Datagram>& out) {
  const uint8_t frameType = key ? kKeyFrameType : kOtherFrameType;
  const size_t max = settings_.maxPayload;
  for (size_t offset = 0; offset < size;) {
    size_t piece = std::min(max, size - offset);
    uint8_t position;
    if (size <= max) {
      position = 0;
    } else if (offset == 0) {
      position = 1;
    } else if (offset + piece == size) {
      position = 3;
    } else {
      position = 2;
    }
    Datagram d = header(0, frameType, position, piece, key, timeMs);
    std::copy_n(data + offset, piece, d.begin() + kHeaderSize);
    out.push_back(std::move(d));
    offset += piece;
  }
}

void ProprietaryPacketiser::packPicture(const uint8_t* data, size_t size, bool key, uint32_t timeMs,
                                        std::vector<Datagram>& out) {
  if (settings_.videoCodec == 96) {
    for (const ByteRange& unit : SplitAnnexB(data, size)) {
      packUnit(unit.data, unit.size, key, timeMs, out);
    }
  } else if (settings_.videoCodec == 97) {
    // The stream carries pictures without their leading start code; the receiver puts a
    // 4-byte one back in front of every unit.
    size_t skip = 0;
    while (skip < size && data[skip] == 0) ++skip;
    if (skip >= 2 && skip < size && data[skip] == 1) {
      ++skip;
    } else {
      skip = 0;
    }
    packUnit(data + skip, size - skip, key, timeMs, out);
  } else {
    packUnit(data, size, key, timeMs, out);
  }
}

void ProprietaryPacketiser::packAudio(const uint8_t* data, size_t size, uint32_t timeMs,
                                      std::vector<Datagram>& out) {
  Datagram d = header(1, 0, 0, size, false, timeMs);
  std::copy_n(data, size, d.begin() + kHeaderSize);
  out.push_back(std::move(d));
}

}  // namespace kvdevice
