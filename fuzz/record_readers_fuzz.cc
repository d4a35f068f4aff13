// Fuzz target for the record-file readers alone, without a client or threads, so it runs
// thousands of inputs a second: layout recognition, the stream description, the key-frame
// index (or the scan that stands in for it) and the AVI seek index.
#include <cstdint>
#include <vector>

#include "sdk/record/avi_reader.h"
#include "sdk/record/record_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::MemoryRecordInput in(data, size);
  kv::RecordDescription d;
  if (!kv::ReadRecordDescription(in, &d)) return 0;
  if (d.layout == kv::kLayoutAvi) {
    kv::AviIndexLocation location;
    if (kv::LocateAviIndex(in, &location)) {
      for (uint32_t second : {0u, 1u, 3u, 60u}) {
        kv::FindAviSeekEntry(in, location, second, d.videoCodec);
      }
    }
  } else {
    const kv::IndexReadResult index = kv::ReadRecordIndex(in, d.layout);
    if (!index.entries.empty()) {
      const uint32_t total = kv::IndexTotalSeconds(index.entries);
      for (uint32_t second : {0u, total / 2, total}) {
        kv::FindSeekEntry(index.entries, index.entries.front().timeStamp, second);
      }
    }
  }
  return 0;
}
