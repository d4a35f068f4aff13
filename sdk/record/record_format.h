// The record file format: a 39-byte header, units (12-byte header + data) and the key-frame
// index trailer. Everything is little-endian on every host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kv {

constexpr char kRecordMaker[] = "Morvalinder";  // 11 bytes on disk, no terminator
constexpr size_t kRecordMakerLength = 11;
constexpr size_t kRecordHeaderSize = 39;
constexpr size_t kRecordDescriptorSize = 28;
constexpr size_t kUnitHeaderSize = 12;
constexpr uint32_t kMaxUnitLength = 0xFFFFF;  // 20 bits of the packed word
constexpr char kIndexBegin[] = "BEGININDEX";  // 10 bytes on disk, no terminator
constexpr size_t kIndexBeginLength = 10;
constexpr char kIndexEnd[] = "ENDINDEX";  // 8 bytes on disk, no terminator
constexpr size_t kIndexEndLength = 8;
constexpr size_t kIndexEntrySize = 16;
// The trailer without its entries: the begin mark, the entry count and the end mark.
constexpr size_t kIndexTrailerFixedSize = kIndexBeginLength + 4 + kIndexEndLength;

enum UnitKind : uint32_t { kUnitVideo = 0, kUnitAudio = 1 };

// One entry of a record file's key-frame index.
struct IndexEntry {
  uint64_t offset;     // file offset of the unit's header
  uint32_t timeStamp;  // milliseconds
  uint32_t zero;
};
static_assert(sizeof(IndexEntry) == kIndexEntrySize);
static_assert(__builtin_offsetof(IndexEntry, offset) == 0);
static_assert(__builtin_offsetof(IndexEntry, timeStamp) == 8);
static_assert(__builtin_offsetof(IndexEntry, zero) == 12);

// Header fields as the recorder takes them from the client.
struct RecordFileHeader {
  uint8_t videoCodec = 0;
  uint8_t audioCodec = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint8_t deviceGeneration = 0;
  uint8_t frameRate = 0;  // 1..30
};

struct RecordUnitHeader {
  uint32_t kind = 0;    // UnitKind
  uint32_t type = 0;    // 4 bits
  uint32_t length = 0;  // 20 bits
  uint16_t width = 0;
  uint16_t height = 0;
  uint32_t timeStamp = 0;
};

inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t GetLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t GetLe64(const uint8_t* p) {
  return static_cast<uint64_t>(GetLe32(p)) | (static_cast<uint64_t>(GetLe32(p + 4)) << 32);
}

// The frame-rate byte of a header: the low byte of rate, with 0 and more than 30 as 30.
inline uint8_t HeaderFrameRate(int32_t rate) {
  const uint8_t low = static_cast<uint8_t>(rate & 0xFF);
  return (low == 0 || low > 30) ? 30 : low;
}

// The 39-byte file header.
inline void EncodeFileHeader(const RecordFileHeader& h, uint8_t out[kRecordHeaderSize]) {
  std::memset(out, 0, kRecordHeaderSize);
  std::memcpy(out, kRecordMaker, kRecordMakerLength);
  out[11] = h.videoCodec;
  out[12] = h.audioCodec;
  PutLe16(out + 13, h.width);
  PutLe16(out + 15, h.height);
  out[17] = h.deviceGeneration;
  out[38] = h.frameRate;
}

inline uint32_t PackUnitWord(uint32_t kind, uint32_t type, uint32_t length) {
  return (kind & 0x3u) | ((type & 0xFu) << 2) | ((length & kMaxUnitLength) << 12);
}

inline void EncodeUnitHeader(const RecordUnitHeader& h, uint8_t out[kUnitHeaderSize]) {
  PutLe32(out, PackUnitWord(h.kind, h.type, h.length));
  PutLe16(out + 4, h.width);
  PutLe16(out + 6, h.height);
  PutLe32(out + 8, h.timeStamp);
}

inline RecordUnitHeader DecodeUnitHeader(const uint8_t in[kUnitHeaderSize]) {
  const uint32_t word = GetLe32(in);
  RecordUnitHeader h;
  h.kind = word & 0x3u;
  h.type = (word >> 2) & 0xFu;
  h.length = word >> 12;
  h.width = GetLe16(in + 4);
  h.height = GetLe16(in + 6);
  h.timeStamp = GetLe32(in + 8);
  return h;
}

// The index trailer: "BEGININDEX", the entries (offset 64-bit, time stamp, 0), their count
// and "ENDINDEX".
inline std::vector<uint8_t> EncodeIndexTrailer(const std::vector<IndexEntry>& entries) {
  const uint32_t count = static_cast<uint32_t>(entries.size());
  std::vector<uint8_t> trailer(kIndexTrailerFixedSize + kIndexEntrySize * entries.size());
  uint8_t* p = trailer.data();
  std::memcpy(p, kIndexBegin, kIndexBeginLength);
  p += kIndexBeginLength;
  for (const IndexEntry& e : entries) {
    PutLe64(p, e.offset);
    PutLe32(p + 8, e.timeStamp);
    PutLe32(p + 12, 0);
    p += kIndexEntrySize;
  }
  PutLe32(p, count);
  std::memcpy(p + 4, kIndexEnd, kIndexEndLength);
  return trailer;
}

}  // namespace kv
