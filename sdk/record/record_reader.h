// Reading the record files a replay client plays: recognising the layout (legacy native, AVI,
// native, native MJPEG), the description, the key-frame index from the trailer or by
// scanning, and unit headers. Everything read is checked against the file's size, so damaged
// files give a clear result instead of reads out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "sdk/record/irecord.h"

namespace kv {

// Random-access bytes of a record file.
class RecordInput {
 public:
  virtual ~RecordInput() = default;
  virtual uint64_t Size() const = 0;
  // Reads up to length bytes at offset; returns the number read (short at the end).
  virtual size_t ReadAt(uint64_t offset, void* buffer, size_t length) = 0;
  // True when exactly length bytes could be read at offset.
  bool ReadExact(uint64_t offset, void* buffer, size_t length) {
    return length <= Size() && offset <= Size() - length &&
           ReadAt(offset, buffer, length) == length;
  }
};

// A record file in memory (tests, fuzzing).
class MemoryRecordInput : public RecordInput {
 public:
  MemoryRecordInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  uint64_t Size() const override { return m_size; }
  size_t ReadAt(uint64_t offset, void* buffer, size_t length) override;

 private:
  const uint8_t* m_data;
  size_t m_size;
};

// A record file on disk, read through a buffered stream opened with mode "rb".
class FileRecordInput : public RecordInput {
 public:
  FileRecordInput() = default;
  ~FileRecordInput() override { Close(); }
  FileRecordInput(const FileRecordInput&) = delete;
  FileRecordInput& operator=(const FileRecordInput&) = delete;
  bool Open(const char* path);
  void Close();
  bool IsOpen() const { return m_file != nullptr; }
  uint64_t Size() const override { return m_size; }
  size_t ReadAt(uint64_t offset, void* buffer, size_t length) override;

 private:
  std::FILE* m_file = nullptr;
  uint64_t m_size = 0;
  uint64_t m_position = 0;  // where the stream stands, to avoid needless seeks
};

// The layouts, numbered as the replay source keeps them.
enum RecordLayout : int {
  kLayoutLegacy = 0,
  kLayoutAvi = 1,
  kLayoutNative = 2,
  kLayoutNativeMjpeg = 3,
};

constexpr size_t kLegacyTextLength = 38;
constexpr size_t kLegacyUnitHeaderSize = 8;
constexpr size_t kLegacyIndexEntrySize = 8;
constexpr uint64_t kFirstUnitOffset = 39;

// What the beginning of a file says about it.
struct RecordDescription {
  int layout = -1;
  uint8_t videoCodec = 0;  // 0 when the layout carries none (legacy) or it is not recognised
  uint8_t audioCodec = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint8_t deviceGeneration = 0;
  uint8_t frameRateByte = 0;  // native and legacy layouts
  uint32_t aviFrames = 0;     // AVI: total frame count
  uint32_t aviRate = 0;       // AVI: frames per second
  uint8_t aviFourCc[4] = {};  // AVI: the video stream's compression code
  uint16_t aviWidth = 0;
  uint16_t aviHeight = 0;
};

// Recognises the layout; false for a file that is none of the four or is cut short.
bool ReadRecordDescription(RecordInput& in, RecordDescription* out);

// The client's frame rate for a frame-rate byte: 1..30 as it is, anything else 30.
int32_t ReplayFrameRate(uint8_t frameRateByte);

// The key-frame index and where the units end.
struct IndexReadResult {
  std::vector<IndexEntry> entries;
  uint64_t dataEnd = 0;  // offset of the trailer, or the file size without one
  bool fromTrailer = false;
  bool scanned = false;
  bool failed = false;  // a trailer that names zero entries
};

// Reads the trailer of a native (entry size 16) or legacy (entry size 8) file, or scans the
// units when there is no usable trailer. Entries pointing outside the units are left out.
IndexReadResult ReadRecordIndex(RecordInput& in, int layout);

// Scans units from the first unit offset to dataEnd; a unit reaching past dataEnd ends the
// scan. Entries for video units of type 7.
std::vector<IndexEntry> ScanRecordUnits(RecordInput& in, int layout, uint64_t dataEnd);

// One unit header as the loops read it (width and height absent in the legacy layout).
struct UnitHead {
  uint32_t kind = 0;
  uint32_t type = 0;
  uint32_t length = 0;
  uint32_t timeStamp = 0;
};
size_t UnitHeaderSize(int layout);
// Decodes a header of UnitHeaderSize(layout) bytes.
UnitHead DecodeUnitHead(const uint8_t* bytes, int layout);

// Whole seconds between the first and the last index entry (unsigned difference).
uint32_t IndexTotalSeconds(const std::vector<IndexEntry>& entries);

// The first entry whose time stamp is greater than base + seconds x 1000; null when none.
const IndexEntry* FindSeekEntry(const std::vector<IndexEntry>& entries, uint32_t base,
                                uint32_t seconds);

}  // namespace kv
