// JPEG RTP depacketising into one assembly buffer.
#include "sdk/sources/rtp_jpeg.h"

#include <cstring>
#include <new>

namespace kv {
namespace {

constexpr size_t kMainHeader = 8;
constexpr size_t kRestartHeader = 4;
constexpr size_t kTableHeader = 4;
constexpr size_t kTableBytes = 64;
constexpr uint8_t kWidthByte2560 = 68;  // this byte value stands for 320 units

}  // namespace

RtpJpegDepacketizer::RtpJpegDepacketizer(uint32_t recordType, size_t capacity)
    : m_recordType(recordType), m_capacity(capacity) {}

bool RtpJpegDepacketizer::Allocate() {
  if (!m_buffer) m_buffer.reset(new (std::nothrow) uint8_t[m_capacity]);
  Reset();
  return m_buffer != nullptr;
}

void RtpJpegDepacketizer::Reset() {
  m_fill = 0;
  m_dropping = true;
}

bool RtpJpegDepacketizer::startPicture(const RtpPacket& packet, size_t* dataStart) {
  const uint8_t* p = packet.payload;
  const uint8_t type = p[4];
  const uint8_t q = p[5];
  size_t d = *dataStart;
  uint16_t restart = 0;
  if (type >= 64) restart = static_cast<uint16_t>((p[8] << 8) | p[9]);

  uint8_t computed[2][64];
  const uint8_t* table0 = computed[0];
  const uint8_t* table1 = computed[1];
  if (q >= 128) {
    // In-band tables: a 4-byte table header and two 64-byte tables.
    if (packet.payloadLength < d + kTableHeader + 2 * kTableBytes) return false;
    table0 = p + d + kTableHeader;
    table1 = table0 + kTableBytes;
    d += kTableHeader + 2 * kTableBytes;
  } else if (q >= 1 && q <= 99) {
    MakeJpegQuantTables(q, computed[0], computed[1]);
  } else {
    return false;  // reserved Q values
  }
  const uint16_t width = p[6] == kWidthByte2560 ? 320 : p[6];
  if (m_capacity < kJpegHeaderLength + kJpegRestartSegmentLength) return false;
  m_fill = BuildJpegHeader(m_buffer.get(), type, width, p[7], restart, table0, table1);
  *dataStart = d;
  return true;
}

void RtpJpegDepacketizer::append(const uint8_t* data, size_t length) {
  if (length > m_capacity - m_fill) {
    // The picture outgrows the buffer: refuse it whole.
    m_fill = 0;
    m_dropping = true;
    return;
  }
  std::memcpy(m_buffer.get() + m_fill, data, length);
  m_fill += length;
}

void RtpJpegDepacketizer::Process(const RtpPacket& packet, IRtpVideoSink& sink) {
  if (!m_buffer || packet.payload == nullptr || packet.payloadLength < kMainHeader) return;
  const uint8_t* p = packet.payload;
  const uint32_t offset = (static_cast<uint32_t>(p[1]) << 16) | (p[2] << 8) | p[3];
  const uint8_t type = p[4];
  size_t d = kMainHeader + (type >= 64 ? kRestartHeader : 0);

  if (offset == 0) {
    m_dropping = packet.payloadLength < d || !startPicture(packet, &d);
    if (m_dropping) m_fill = 0;
  }
  if (!m_dropping && packet.payloadLength > d) append(p + d, packet.payloadLength - d);

  if (packet.marker) {
    if (!m_dropping && m_fill > 0) {
      sink.WriteVideo(m_buffer.get(), static_cast<int32_t>(m_fill), 1, 0);
      VideoRecordUnit unit;
      unit.Add(m_buffer.get(), static_cast<uint32_t>(m_fill));
      unit.type = m_recordType;
      unit.keyPoint = true;
      sink.RecordVideo(unit);
    }
    // The next picture starts afresh, and without its first packet it is not assembled.
    m_fill = 0;
    m_dropping = true;
  }
}

}  // namespace kv
