// CBitRate: the once-per-period rate computation.
#include "sdk/media/bit_rate.h"

#include "sdk/platform/wait.h"

namespace kv {

CBitRate::CBitRate(StreamCounters* counters, uint32_t periodMs)
    : m_counters(counters), m_periodMs(periodMs) {}

CBitRate::~CBitRate() {
  if (HasHandle()) Stop();
}

bool CBitRate::CreateStopEvent() {
  if (m_stopEvent) return false;
  m_stopEvent = std::make_unique<platform::Event>(/*manualReset=*/false, /*signalled=*/false);
  return true;
}

void CBitRate::SignalStop() {
  if (m_stopEvent) m_stopEvent->Set();
}

void CBitRate::Stop() {
  SignalStop();
  WaitForEnd(platform::kInfinite);
  CloseHandle();
}

int CBitRate::ThreadMain() {
  ThreadStarted();
  // Without a stop event nobody could end the thread, so it does not run.
  if (!m_stopEvent || m_counters == nullptr) return -1;
  uint32_t previousBytes = 0;
  uint32_t previousPictures = 0;
  while (m_stopEvent->Wait(m_periodMs) != platform::kWaitObject0) {
    const uint32_t bytes = m_counters->byteCount.load(std::memory_order_relaxed);
    const uint32_t pictures = m_counters->frameCount.load(std::memory_order_relaxed);
    m_counters->bitRate.store(KbitFromBytes(bytes, previousBytes), std::memory_order_relaxed);
    m_counters->frameRate.store(pictures - previousPictures, std::memory_order_relaxed);
    previousBytes = bytes;
    previousPictures = pictures;
  }
  return kExitStopped;
}

}  // namespace kv
