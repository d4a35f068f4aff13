// Rewrites a record file (any of the four layouts) into Matroska or MP4 with libavformat: the
// video as it was coded, with its time stamps (starting at 0, always increasing) and key marks;
// the sound as stored (Matroska) or as AAC (MP4). Damaged or cut files are exported as far as
// they can be read, with warnings; a file that cannot be read leaves no output file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sdk/record/record_reader.h"

namespace kvnet {

struct ExportSummary {
  std::string container;  // "matroska" or "mp4"
  uint8_t videoCodec = 0;
  int width = 0, height = 0;
  int64_t pictures = 0;
  int64_t keyPictures = 0;
  int64_t audioPackets = 0;
  int64_t durationMs = 0;  // of the video: last picture's time plus one frame interval
  std::vector<std::string> warnings;
};

// Called now and then with the bytes read so far and the total.
using ExportProgress = std::function<void(uint64_t done, uint64_t total)>;

// The container for an output name: "matroska" for .mkv, "mp4" for .mp4, empty otherwise.
std::string ContainerForPath(const std::string& path);

// Exports in to output (written beside it under a temporary name and renamed when complete).
// False with *error, and no file at output, when nothing could be exported.
bool ExportRecord(kv::RecordInput& in, const std::string& output, const ExportProgress& progress,
                  ExportSummary* summary, std::string* error);
bool ExportRecordFile(const std::string& input, const std::string& output,
                      const ExportProgress& progress, ExportSummary* summary, std::string* error);

}  // namespace kvnet
