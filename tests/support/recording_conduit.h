// A conduit double for driving sources on the test's own thread: it keeps what is written,
// reports no whole frame queued (so a writer never waits for a reader) and counts clears.
#pragma once

#include <cstdint>
#include <vector>

#include "sdk/media/conduit.h"

namespace kv::test {

class RecordingConduit : public CIConduit {
 public:
  struct Frame {
    std::vector<uint8_t> bytes;
    int32_t timestamp = 0;
  };

  bool Create(int32_t, bool, int32_t, bool frameMode) override;
  void Release() override {}
  // Forgets the frame being assembled; `sinceClear` starts again.
  void Clear() override;
  void SetFlowControl(bool) override {}
  int32_t Read(void*, int32_t, int32_t*, uint32_t) override { return 0; }
  bool Write(const void* data, int32_t length, int32_t endOfFrame, int32_t timestamp,
             int32_t tag) override;
  int32_t GetDataSize() override { return 0; }
  int32_t GetFrameCount() override { return 0; }
  void EndFrame(int32_t timestamp, int32_t tag) override;
  int32_t ReadFrame(void*, int32_t, int32_t*, FrameEntry*, uint32_t) override { return 0; }
  void Abort() override {}

  bool frameMode = true;
  std::vector<Frame> frames;        // closed frames (frame mode)
  std::vector<uint8_t> pending;     // the frame being assembled
  std::vector<uint8_t> bytes;       // everything written
  std::vector<uint8_t> sinceClear;  // everything written since the last Clear
  int clears = 0;
};

}  // namespace kv::test
