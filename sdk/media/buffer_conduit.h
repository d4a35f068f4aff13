// CBufferConduit: the fixed-size byte ring that carries frames (or plain bytes) from one
// writer thread to one reader thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

#include "sdk/media/conduit.h"
#include "sdk/platform/critical_section.h"
#include "sdk/platform/event.h"

namespace kv {

// One lock guards positions, the fill level, the frame index, pending and the frame count.
// The data event (manual reset) tells the reader that bytes arrived; the space event (auto
// reset) paces the writer when flow control is on. Readers never wait while holding the lock,
// so a writer is never held up by a reader that waits for data.
class CBufferConduit : public CIConduit {
 public:
  CBufferConduit() = default;
  ~CBufferConduit() override;
  CBufferConduit(const CBufferConduit&) = delete;
  CBufferConduit& operator=(const CBufferConduit&) = delete;

  bool Create(int32_t capacity, bool flowControl, int32_t lowWater, bool frameMode) override;
  void Release() override;
  void Clear() override;
  void SetFlowControl(bool on) override;
  int32_t Read(void* buffer, int32_t length, int32_t* remainingOut, uint32_t timeoutMs) override;
  bool Write(const void* data, int32_t length, int32_t endOfFrame, int32_t timestamp,
             int32_t tag) override;
  int32_t GetDataSize() override;
  int32_t GetFrameCount() override;
  void EndFrame(int32_t timestamp, int32_t tag) override;
  int32_t ReadFrame(void* buffer, int32_t bufferLength, int32_t* framesLeftOut,
                    FrameEntry* entryOut, uint32_t timeoutMs) override;
  void Abort() override;

 private:
  // Both called with the lock held and with the caller having checked the sizes.
  void copyIn(const uint8_t* src, int32_t length);
  void copyOut(uint8_t* dst, int32_t length);
  void closeFrameLocked(int32_t timestamp, int32_t tag);
  void signalSpaceIfBelow(int32_t level);

  platform::FlaggedCriticalSection m_lock;
  std::unique_ptr<platform::Event> m_dataEvent;
  std::unique_ptr<platform::Event> m_spaceEvent;
  int32_t m_capacity = 0;
  int32_t m_used = 0;
  std::unique_ptr<uint8_t[]> m_buffer;
  const uint8_t* m_frameStart = nullptr;
  int32_t m_readPos = 0;
  int32_t m_writePos = 0;
  std::atomic<bool> m_stopped{false};
  int32_t m_lowWater = 0;
  std::atomic<bool> m_flowControl{false};
  std::deque<FrameEntry> m_index;
  int32_t m_pending = 0;
  std::atomic<int32_t> m_frameCount{0};  // read without the lock by GetFrameCount
  bool m_frameMode = false;
};

}  // namespace kv
