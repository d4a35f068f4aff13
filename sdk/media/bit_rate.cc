// CBitRate: the once-per-period rate computation.
#include "sdk/media/bit_rate.h"

#include "sdk/platform/wait.h"

namespace kv {

CBitRate::CBitRate(StreamCounters* counters, uint32_t periodMs)
    : counters_(counters), periodMs_(periodMs) {}

CBitRate::~CBitRate() {
  if (HasHandle()) Stop();
}

bool CBitRate::CreateStopEvent() {
  if (stopEvent_) return false;
  stopEvent_ = std::make_unique<platform::Event>(/*manualReset=*/false, /*signalled=*/false);
  return true;
}

void CBitRate::SignalStop() {
  if (stopEvent_) stopEvent_->Set();
}

void CBitRate::Stop() {
  SignalStop();
  WaitForEnd(platform::kInfinite);
  CloseHandle();
}

int CBitRate::ThreadMain() {
  ThreadStarted();
  // Without a stop event nobody could end the thread, so it does not run.
  if (!stopEvent_ || counters_ == nullptr) return -1;
  uint32_t previousBytes = 0;
  uint32_t previousPictures = 0;
  while (stopEvent_->Wait(periodMs_) != platform::kWaitObject0) {
    const uint32_t bytes = counters_->byteCount.load(std::memory_order_relaxed);
    const uint32_t pictures = counters_->frameCount.load(std::memory_order_relaxed);
    counters_->bitRate.store(KbitFromBytes(bytes, previousBytes), std::memory_order_relaxed);
    counters_->frameRate.store(pictures - previousPictures, std::memory_order_relaxed);
    previousBytes = bytes;
    previousPictures = pictures;
  }
  return kExitStopped;
}

}  // namespace kv
