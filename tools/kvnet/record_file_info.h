// Reads what a finished record file says about itself: its size and the index-point count in its
// trailer ("BEGININDEX", N 16-byte entries, N, "ENDINDEX").
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kvnet {

struct RecordFileInfo {
  uint64_t size = 0;
  uint32_t indexPoints = 0;
  uint8_t videoCodec = 0;
  uint8_t audioCodec = 0;
  uint16_t width = 0;
  uint16_t height = 0;
};

// Nullopt with *error set when the file is missing, too short, or has no complete trailer.
std::optional<RecordFileInfo> ReadRecordFileInfo(const std::string& path, std::string* error);

}  // namespace kvnet
