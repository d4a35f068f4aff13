// Picture pacing: the frame-rate clock scaled by a speed level, and the live sleep table that
// shrinks the pause after a picture as frames queue up.
#pragma once

#include <cstdint>

#include "sdk/state/pacing_clock.h"

namespace kv {

// Advances the clock by one picture at speed level speed (2^speed times the frame rate) and
// returns how many milliseconds to sleep now (0 when none). nowMs is timeGetTime().
uint32_t PaceFrameDelay(int speed, PacingClock& clock, uint32_t nowMs);

// PaceFrameDelay with the pacing time (below), sleeping the delay.
void PaceFrame(int speed, PacingClock& clock);

// The clock and the sleep of picture pacing: timeGetTime and Sleep, unless a test installed a
// timer of its own (a virtual one lets tests check the pacing of every picture exactly, free
// of the machine's load).
class PacingTimer {
 public:
  virtual ~PacingTimer() = default;
  virtual uint32_t Now() = 0;  // milliseconds, wrapping like timeGetTime
  virtual void Sleep(uint32_t milliseconds) = 0;
};

// Installs timer for all pacing (null: the real clock again). The caller keeps it alive until
// it is replaced and no decode worker runs any more.
void SetPacingTimerForTest(PacingTimer* timer);

// The time the pacing clocks run on: timeGetTime, or the installed timer's.
uint32_t PacingNow();

// Sleep after a live picture shown in catch-up mode, from the tick counts now and last (taken
// after the previous picture) and the frames waiting.
uint32_t LiveCatchUpSleepMs(uint32_t now, uint32_t last, uint32_t waiting);

// Depth pacing of a live stream: decides before each read whether a frame is taken now.
class DepthPacer {
 public:
  // True: read now. False: keep the frames back (the caller sleeps and tries again).
  bool ShouldRead(int32_t waiting, int32_t preBufferDepth);
  uint32_t holdThreshold() const { return m_holdThreshold; }

 private:
  uint32_t m_holdThreshold = 2;
};

// A client frame rate outside 1..30 counts as 30.
inline int32_t GuardedFrameRate(int32_t rate) { return (rate < 1 || rate > 30) ? 30 : rate; }

}  // namespace kv
