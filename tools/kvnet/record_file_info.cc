// Record file header and trailer reader.
#include "kvnet/record_file_info.h"

#include <cstring>
#include <fstream>

namespace kvnet {
namespace {

constexpr uint64_t kHeaderSize = 39;
constexpr uint64_t kEntrySize = 16;
constexpr char kMaker[] = "Morvalinder";
constexpr char kBegin[] = "BEGININDEX";
constexpr char kEnd[] = "ENDINDEX";

uint32_t Le32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

uint16_t Le16(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint16_t>(b[0] | b[1] << 8);
}

}  // namespace

std::optional<RecordFileInfo> ReadRecordFileInfo(const std::string& path, std::string* error) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) {
    *error = "cannot open " + path;
    return std::nullopt;
  }
  RecordFileInfo info;
  info.size = static_cast<uint64_t>(file.tellg());
  if (info.size < kHeaderSize + 10 + 4 + 8) {
    *error = path + " is too short for a record file";
    return std::nullopt;
  }
  char header[kHeaderSize];
  file.seekg(0);
  if (!file.read(header, sizeof header) || std::memcmp(header, kMaker, 11) != 0) {
    *error = path + " does not start with the record file header";
    return std::nullopt;
  }
  info.videoCodec = static_cast<uint8_t>(header[11]);
  info.audioCodec = static_cast<uint8_t>(header[12]);
  info.width = Le16(header + 13);
  info.height = Le16(header + 15);

  char tail[12];
  file.seekg(static_cast<std::streamoff>(info.size - sizeof tail));
  if (!file.read(tail, sizeof tail) || std::memcmp(tail + 4, kEnd, 8) != 0) {
    *error = path + " has no index trailer (ENDINDEX missing)";
    return std::nullopt;
  }
  const uint32_t count = Le32(tail);
  const uint64_t trailer = 10 + kEntrySize * count + 4 + 8;
  if (trailer > info.size - kHeaderSize) {
    *error = path + ": index count " + std::to_string(count) + " does not fit the file";
    return std::nullopt;
  }
  char begin[10];
  file.seekg(static_cast<std::streamoff>(info.size - trailer));
  if (!file.read(begin, sizeof begin) || std::memcmp(begin, kBegin, 10) != 0) {
    *error = path + ": BEGININDEX is not where the index count puts it";
    return std::nullopt;
  }
  info.indexPoints = count;
  return info;
}

}  // namespace kvnet
