// Fuzz target for record-file replay: the replay source opens the input as KVNET_OpenFile
// opens a file (layout recognition, description, index from the trailer or by scanning, codec
// recognition), without its threads and reading the bytes in place; then its read loop runs on
// this thread through the whole input with a seek, into conduits that keep nothing. The pure
// readers also run on the bytes directly.
#include <cstdint>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/media/conduit.h"
#include "sdk/record/avi_reader.h"
#include "sdk/record/record_reader.h"
#include "sdk/sources/av_source_file.h"

namespace {

// Takes everything and holds nothing, so the reader never waits.
class DiscardConduit : public kv::CIConduit {
 public:
  bool Create(int32_t, bool, int32_t, bool) override { return true; }
  void Release() override {}
  void Clear() override {}
  void SetFlowControl(bool) override {}
  int32_t Read(void*, int32_t, int32_t*, uint32_t) override { return 0; }
  bool Write(const void* data, int32_t length, int32_t, int32_t, int32_t) override {
    return data != nullptr && length >= 0;
  }
  int32_t GetDataSize() override { return 0; }
  int32_t GetFrameCount() override { return 0; }
  void EndFrame(int32_t, int32_t) override {}
  int32_t ReadFrame(void*, int32_t, int32_t*, kv::FrameEntry*, uint32_t) override { return 0; }
  void Abort() override {}
};

// Units or index entries read per input at most (each step is one; inputs are small).
constexpr size_t kMaxSteps = 1 << 16;

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

void RunSource(const uint8_t* data, size_t size) {
  static DiscardConduit video, audio;
  // Made once, so its read buffer is not allocated per input.
  static kv::CAVSource_File* source = new kv::CAVSource_File();
  kv::MemoryRecordInput input(data, size);
  kv::CNetClient client;
  if (!client.InitReplay("fuzz-input", 0)) return;
  source->Attach(&client, &video, &audio);
  if (source->OpenReader(input) != 1) return;
  source->ReadSteps(kMaxSteps);
  // A seek from wherever the read stopped, as KVNET_ReplaySeek asks for it.
  client.m_seekTarget = 1;
  client.m_seekPending = 1;
  source->ReadSteps(kMaxSteps);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunReaders(data, size);
  RunSource(data, size);
  return 0;
}
