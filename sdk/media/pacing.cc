// Picture pacing arithmetic.
#include "sdk/media/pacing.h"

#include <atomic>
#include <cmath>

#include "sdk/platform/clock.h"

namespace kv {

uint32_t PaceFrameDelay(int speed, PacingClock& clock, uint32_t nowMs) {
  if (clock.frameRate == 0) return 0;
  if (speed != clock.lastSpeed) {
    clock.lastSpeed = speed;
    clock.count = 0;
    clock.startTime = nowMs;
  }
  ++clock.count;
  const int64_t elapsed = static_cast<uint32_t>(nowMs - clock.startTime);
  const double factor = speed >= 0 ? std::pow(0.5, speed) : std::pow(2.0, -speed);
  const int64_t target =
      static_cast<int64_t>(factor * static_cast<double>(clock.count) * 1000.0 / clock.frameRate);
  const int64_t delay = target - elapsed;
  if (clock.count >= 200) {
    clock.count = 0;
    clock.startTime = nowMs + static_cast<uint32_t>(delay > 0 ? delay : 0);
  }
  return delay > 0 ? static_cast<uint32_t>(delay) : 0;
}

namespace {
std::atomic<PacingTimer*> gPacingTimer{nullptr};
}  // namespace

void SetPacingTimerForTest(PacingTimer* timer) { gPacingTimer.store(timer); }

uint32_t PacingNow() {
  PacingTimer* timer = gPacingTimer.load();
  return timer != nullptr ? timer->Now() : platform::timeGetTime();
}

void PaceFrame(int speed, PacingClock& clock) {
  PacingTimer* timer = gPacingTimer.load();
  const uint32_t now = timer != nullptr ? timer->Now() : platform::timeGetTime();
  const uint32_t delay = PaceFrameDelay(speed, clock, now);
  if (delay == 0) return;
  if (timer != nullptr) {
    timer->Sleep(delay);
  } else {
    platform::Sleep(delay);
  }
}

uint32_t LiveCatchUpSleepMs(uint32_t now, uint32_t last, uint32_t waiting) {
  const uint32_t gap = now - last;
  if (gap == 0) {
    if (waiting < 5) return 20;
    if (waiting < 15) return 10;
    return 1;
  }
  if (gap < 10) {
    if (waiting < 2) return 20;
    if (waiting == 2) return 15;
    if (waiting == 3) return 10;
    if (waiting < 8) return 1;
    return 0;
  }
  if (gap < 20) return waiting < 3 ? 1 : 0;
  return 0;
}

bool DepthPacer::ShouldRead(int32_t waiting, int32_t preBufferDepth) {
  if (waiting - preBufferDepth > 0 || static_cast<uint32_t>(waiting) >= m_holdThreshold) {
    m_holdThreshold = 2;
    return true;
  }
  if (preBufferDepth > 9) m_holdThreshold = static_cast<uint32_t>(preBufferDepth / 2);
  return false;
}

}  // namespace kv
