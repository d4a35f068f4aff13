// Fuzz target for record-file replay: the input is written to a file and opened through
// KVNET_OpenFile (layout recognition, index, codec recognition), then played at the highest
// speed for a short while with a seek, and closed. The pure readers are also run on the bytes
// directly.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "KvNetClient.h"
#include "sdk/record/avi_reader.h"
#include "sdk/record/record_reader.h"

namespace {

const std::string& InputPath() {
  static const std::string path = [] {
    setenv("KVNET_AUDIO_OUT", "null", 0);
    KVNET_Startup(0, 0, nullptr, 0);
    return (std::filesystem::temp_directory_path() /
            ("kvnet-replay-fuzz-" + std::to_string(getpid()) + ".bin"))
        .string();
  }();
  return path;
}

void RunReaders(const uint8_t* data, size_t size) {
  kv::MemoryRecordInput in(data, size);
  kv::RecordDescription d;
  if (!kv::ReadRecordDescription(in, &d)) return;
  if (d.layout == kv::kLayoutAvi) {
    kv::AviIndexLocation loc;
    if (kv::LocateAviIndex(in, &loc)) kv::FindAviSeekEntry(in, loc, 3, 0);
  } else {
    kv::ReadRecordIndex(in, d.layout);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunReaders(data, size);
  const std::string& path = InputPath();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  KVNET_HANDLE h = KVNET_OpenFile(path.c_str(), 0, 0);
  if (h != nullptr) {
    while (KVNET_SpeedFast(h) == 1) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    KVNET_ReplaySeek(h, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    KVNET_CloseFile(h);
  }
  std::remove(path.c_str());
  return 0;
}
