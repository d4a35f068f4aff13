// Kernel-style events: manual- or auto-reset, waited on alone or several at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "sdk/platform/wait.h"

namespace kv::platform {

class Event {
 public:
  Event(bool manualReset, bool initiallySignalled);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // kWaitObject0 when signalled (an auto-reset event is then reset), kWaitTimeout otherwise.
  uint32_t Wait(uint32_t timeoutMs);
  bool IsSignalled() const;

 private:
  friend uint32_t WaitForMultipleEvents(Event* const* events, size_t count, bool waitAll,
                                        uint32_t timeoutMs);
  struct Waiter;
  bool tryConsumeLocked();
  void notifyLocked();

  const bool m_manualReset;
  bool m_signalled;
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<Waiter*> m_waiters;
};

// Waits for any (waitAll false) or all of count events. Returns kWaitObject0 + index of the
// signalled event (the lowest when several are), kWaitObject0 when all were taken, or
// kWaitTimeout. Auto-reset events that satisfy the wait are reset.
uint32_t WaitForMultipleEvents(Event* const* events, size_t count, bool waitAll,
                               uint32_t timeoutMs);

}  // namespace kv::platform
