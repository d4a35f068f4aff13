// CBitRate: the session's meter thread that turns the running byte and picture counters into
// a bit rate and a picture rate once per period.
#pragma once

#include <cstdint>
#include <memory>

#include "sdk/platform/event.h"
#include "sdk/platform/jthread.h"
#include "sdk/state/stream_counters.h"

namespace kv {

class CBitRate : public platform::JThread {
 public:
  // Exit value of the thread when it ends on its stop event.
  static constexpr int kExitStopped = 2990;
  static constexpr uint32_t kDefaultPeriodMs = 1000;

  // counters must outlive the meter. periodMs is the reporting period (tests shorten it).
  explicit CBitRate(StreamCounters* counters, uint32_t periodMs = kDefaultPeriodMs);
  // Stops and joins the thread if the owner has not done so.
  ~CBitRate() override;

  // Creates the stop event (auto-reset, not signalled). Call once, before Start().
  bool CreateStopEvent();
  // Tells the thread to end; it returns kExitStopped.
  void SignalStop();
  // SignalStop, wait without limit for the thread, join it.
  void Stop();

  // Bit rate in kbit (1024 bits) for a byte counter that moved from bytesBefore to bytesNow,
  // in wrapping 32-bit arithmetic as the counters themselves wrap.
  static uint32_t KbitFromBytes(uint32_t bytesNow, uint32_t bytesBefore) {
    return ((bytesNow - bytesBefore) * 8u) >> 10;
  }

 protected:
  int ThreadMain() override;

 private:
  StreamCounters* m_counters;
  uint32_t m_periodMs;
  std::unique_ptr<platform::Event> m_stopEvent;
};

}  // namespace kv
