// Layout recognition, trailer reading and unit scanning for record files.
#include "sdk/record/record_reader.h"

#include <algorithm>
#include <cstring>

#include "KvNetClient.h"
#include "sdk/record/record_format.h"

namespace kv {
namespace {

constexpr char kLegacyText[] = "Morvalinder video server record format";
constexpr char kAviMaker[] = "MorvaLinder";
constexpr uint64_t kAviMakerOffset = 336;

}  // namespace

size_t MemoryRecordInput::ReadAt(uint64_t offset, void* buffer, size_t length) {
  if (offset >= m_size) return 0;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(length, m_size - offset));
  if (n != 0) std::memcpy(buffer, m_data + offset, n);
  return n;
}

bool FileRecordInput::Open(const char* path) {
  Close();
  if (path == nullptr || path[0] == '\0') return false;
  m_file = std::fopen(path, "rb");
  if (m_file == nullptr) return false;
  if (std::fseek(m_file, 0, SEEK_END) != 0) {
    Close();
    return false;
  }
  const long end = std::ftell(m_file);
  if (end < 0 || std::fseek(m_file, 0, SEEK_SET) != 0) {
    Close();
    return false;
  }
  m_size = static_cast<uint64_t>(end);
  m_position = 0;
  return true;
}

void FileRecordInput::Close() {
  if (m_file != nullptr) std::fclose(m_file);
  m_file = nullptr;
  m_size = 0;
  m_position = 0;
}

size_t FileRecordInput::ReadAt(uint64_t offset, void* buffer, size_t length) {
  if (m_file == nullptr || offset >= m_size || length == 0) return 0;
  if (offset != m_position) {
    if (std::fseek(m_file, static_cast<long>(offset), SEEK_SET) != 0) {
      m_position = UINT64_MAX;
      return 0;
    }
    m_position = offset;
  }
  const size_t n = std::fread(buffer, 1, length, m_file);
  m_position += n;
  if (n < length) {
    std::clearerr(m_file);
    m_position = UINT64_MAX;  // position unknown after a failure: seek next time
  }
  return n;
}

bool ReadRecordDescription(RecordInput& in, RecordDescription* out) {
  *out = RecordDescription{};
  uint8_t b[kLegacyTextLength];
  // AVI carrying the maker text.
  if (in.ReadExact(0, b, 4) && std::memcmp(b, "RIFF", 4) == 0) {
    uint8_t maker[11];
    if (in.ReadExact(kAviMakerOffset, maker, sizeof maker) &&
        std::memcmp(maker, kAviMaker, sizeof maker) == 0) {
      uint8_t v[4];
      if (!in.ReadExact(48, v, 4)) return false;
      out->aviFrames = GetLe32(v);
      if (!in.ReadExact(132, v, 4)) return false;
      out->aviRate = GetLe32(v);
      out->layout = kLayoutAvi;
      // The main header's size, and the video stream's handler and compression codes.
      uint8_t size[8];
      if (in.ReadExact(64, size, 8)) {
        out->aviWidth = static_cast<uint16_t>(std::min<uint32_t>(GetLe32(size), 0xFFFF));
        out->aviHeight = static_cast<uint16_t>(std::min<uint32_t>(GetLe32(size + 4), 0xFFFF));
      }
      uint8_t compression[4];
      uint8_t handler[4];
      const bool hasCompression = in.ReadExact(188, compression, 4);
      const bool hasHandler = in.ReadExact(112, handler, 4);
      if (hasCompression) std::memcpy(out->aviFourCc, compression, 4);
      if ((!hasCompression || std::memcmp(compression, "\0\0\0\0", 4) == 0) && hasHandler) {
        std::memcpy(out->aviFourCc, handler, 4);
      }
      return true;
    }
  }
  if (!in.ReadExact(0, b, kLegacyTextLength)) return false;
  if (std::memcmp(b, kLegacyText, kLegacyTextLength) == 0) {
    uint8_t rate;
    if (!in.ReadExact(kLegacyTextLength, &rate, 1)) return false;
    out->layout = kLayoutLegacy;
    out->frameRateByte = rate;
    return true;
  }
  if (std::memcmp(b, kRecordMaker, kRecordMakerLength) != 0) return false;
  uint8_t d[kRecordDescriptorSize];
  if (!in.ReadExact(kRecordMakerLength, d, sizeof d)) return false;
  out->videoCodec = d[0];
  out->audioCodec = d[1];
  out->width = GetLe16(d + 2);
  out->height = GetLe16(d + 4);
  out->deviceGeneration = d[6];
  out->frameRateByte = d[27];
  out->layout = out->videoCodec == VCODEC_MJPEG ? kLayoutNativeMjpeg : kLayoutNative;
  return true;
}

int32_t ReplayFrameRate(uint8_t frameRateByte) {
  return (frameRateByte >= 1 && frameRateByte <= 30) ? frameRateByte : 30;
}

size_t UnitHeaderSize(int layout) {
  return layout == kLayoutLegacy ? kLegacyUnitHeaderSize : kUnitHeaderSize;
}

UnitHead DecodeUnitHead(const uint8_t* bytes, int layout) {
  const uint32_t word = GetLe32(bytes);
  UnitHead h;
  h.kind = word & 0x3u;
  h.type = (word >> 2) & 0xFu;
  h.length = word >> 12;
  h.timeStamp = GetLe32(bytes + (layout == kLayoutLegacy ? 4 : 8));
  return h;
}

std::vector<IndexEntry> ScanRecordUnits(RecordInput& in, int layout, uint64_t dataEnd) {
  std::vector<IndexEntry> entries;
  const size_t headerSize = UnitHeaderSize(layout);
  dataEnd = std::min(dataEnd, in.Size());
  uint64_t pos = kFirstUnitOffset;
  uint8_t bytes[kUnitHeaderSize];
  while (pos <= dataEnd && dataEnd - pos >= headerSize && in.ReadExact(pos, bytes, headerSize)) {
    const UnitHead h = DecodeUnitHead(bytes, layout);
    const uint64_t next = pos + headerSize + h.length;
    if (next > dataEnd) break;  // cut short: the unit never finished
    if (h.kind == kUnitVideo && h.type == 7) entries.push_back(IndexEntry{pos, h.timeStamp, 0});
    pos = next;
  }
  return entries;
}

IndexReadResult ReadRecordIndex(RecordInput& in, int layout) {
  IndexReadResult index;
  const uint64_t size = in.Size();
  index.dataEnd = size;
  const size_t entrySize = layout == kLayoutLegacy ? kLegacyIndexEntrySize : kIndexEntrySize;
  const size_t headerSize = UnitHeaderSize(layout);
  uint8_t tail[12];
  if (size >= kFirstUnitOffset + kIndexTrailerFixedSize &&
      in.ReadExact(size - sizeof tail, tail, sizeof tail) &&
      std::memcmp(tail + 4, kIndexEnd, kIndexEndLength) == 0) {
    const uint32_t n = GetLe32(tail);
    if (n == 0) {
      index.failed = true;
      return index;
    }
    // The entries must fit between the file header and the end marks.
    const uint64_t room = size - kFirstUnitOffset - kIndexTrailerFixedSize;
    if (uint64_t{n} <= room / entrySize) {
      const uint64_t begin = size - kIndexTrailerFixedSize - uint64_t{n} * entrySize;
      uint8_t mark[kIndexBeginLength];
      if (in.ReadExact(begin, mark, sizeof mark) &&
          std::memcmp(mark, kIndexBegin, kIndexBeginLength) == 0) {
        std::vector<uint8_t> raw(static_cast<size_t>(n) * entrySize);
        if (in.ReadExact(begin + kIndexBeginLength, raw.data(), raw.size())) {
          index.fromTrailer = true;
          index.dataEnd = begin;
          index.entries.reserve(n);
          for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* e = raw.data() + size_t{i} * entrySize;
            const uint64_t offset = layout == kLayoutLegacy ? GetLe32(e) : GetLe64(e);
            const uint32_t stamp = GetLe32(e + (layout == kLayoutLegacy ? 4 : 8));
            // An entry must point at a whole unit header inside the units.
            if (offset < kFirstUnitOffset || offset > begin || begin - offset < headerSize) {
              continue;
            }
            index.entries.push_back(IndexEntry{offset, stamp, 0});
          }
          return index;
        }
      }
    }
  }
  index.scanned = true;
  index.entries = ScanRecordUnits(in, layout, size);
  return index;
}

uint32_t IndexTotalSeconds(const std::vector<IndexEntry>& entries) {
  if (entries.empty()) return 0;
  return (entries.back().timeStamp - entries.front().timeStamp) / 1000u;
}

const IndexEntry* FindSeekEntry(const std::vector<IndexEntry>& entries, uint32_t base,
                                uint32_t seconds) {
  const uint64_t target = uint64_t{seconds} * 1000u;
  for (const IndexEntry& e : entries) {
    if (uint64_t{static_cast<uint32_t>(e.timeStamp - base)} > target) return &e;
  }
  return nullptr;
}

}  // namespace kv
