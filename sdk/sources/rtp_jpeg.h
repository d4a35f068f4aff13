// The JPEG RTP rule (RFC 2435): the first packet of a picture rebuilds the JPEG header (types 0,
// 1, 64, 65, restart intervals, in-band or Q-scaled quantisation tables), later packets append
// their data, and the packet with the marker bit hands the whole picture to the conduit and the
// record files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "sdk/sources/rtp_packet.h"
#include "sdk/sources/rtp_sink.h"

namespace kv {

constexpr size_t kJpegAssemblyCapacity = 4 * 1024 * 1024;
constexpr size_t kJpegHeaderLength = 605;  // without a restart segment
constexpr size_t kJpegRestartSegmentLength = 6;

class RtpJpegDepacketizer {
 public:
  // recordType: the frame type of recorded pictures (10 over RTP/UDP, 7 interleaved).
  explicit RtpJpegDepacketizer(uint32_t recordType, size_t capacity = kJpegAssemblyCapacity);

  // Allocates the assembly buffer once; false when there is no memory for it.
  bool Allocate();
  bool IsAllocated() const { return m_buffer != nullptr; }
  // Forgets a picture being assembled.
  void Reset();
  // Handles one packet. Without an assembly buffer nothing happens.
  void Process(const RtpPacket& packet, IRtpVideoSink& sink);

  size_t Fill() const { return m_fill; }

 private:
  bool startPicture(const RtpPacket& packet, size_t* dataStart);
  void append(const uint8_t* data, size_t length);

  uint32_t m_recordType;
  size_t m_capacity;
  std::unique_ptr<uint8_t[]> m_buffer;
  size_t m_fill = 0;
  // True while the current picture is refused (no header yet, or it outgrew the buffer): its
  // pieces are skipped until the next first packet.
  bool m_dropping = true;
};

// Writes the JPEG header of the given RTP type, size in 8-pixel units, restart interval and the
// two quantisation tables (zigzag order) into out, which holds at least 611 bytes. Returns its
// length (605, or 611 with a restart segment).
size_t BuildJpegHeader(uint8_t* out, uint8_t type, uint16_t widthBlocks, uint16_t heightBlocks,
                       uint16_t restartInterval, const uint8_t* table0, const uint8_t* table1);

// The tables RFC 2435 derives from a Q of 1 to 99 (zigzag order).
void MakeJpegQuantTables(uint8_t q, uint8_t* luminance, uint8_t* chrominance);

}  // namespace kv
