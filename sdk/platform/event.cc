// Kernel-style events built on mutexes and condition variables. A thread waiting on several
// events registers a Waiter with each of them; Set wakes the event's own waiters and every
// registered Waiter, which then re-checks its events under their locks.
#include "sdk/platform/event.h"

#include <algorithm>
#include <chrono>

namespace kv::platform {

struct Event::Waiter {
  std::mutex mutex;
  std::condition_variable cv;
  bool notified = false;
};

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineFor(uint32_t timeoutMs) {
  return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace

Event::Event(bool manualReset, bool initiallySignalled)
    : m_manualReset(manualReset), m_signalled(initiallySignalled) {}

Event::~Event() = default;

bool Event::tryConsumeLocked() {
  if (!m_signalled) return false;
  if (!m_manualReset) m_signalled = false;
  return true;
}

void Event::notifyLocked() {
  // Notifying while holding the lock lets a woken waiter destroy the event right after.
  if (m_manualReset) {
    m_cv.notify_all();
  } else {
    m_cv.notify_one();
  }
  for (Waiter* waiter : m_waiters) {
    std::lock_guard<std::mutex> lock(waiter->mutex);
    waiter->notified = true;
    waiter->cv.notify_one();
  }
}

void Event::Set() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_signalled = true;
  notifyLocked();
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_signalled = false;
}

bool Event::IsSignalled() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_signalled;
}

uint32_t Event::Wait(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (timeoutMs == kInfinite) {
    m_cv.wait(lock, [this] { return m_signalled; });
  } else if (!m_cv.wait_until(lock, deadlineFor(timeoutMs), [this] { return m_signalled; })) {
    return kWaitTimeout;
  }
  tryConsumeLocked();
  return kWaitObject0;
}

uint32_t WaitForMultipleEvents(Event* const* events, size_t count, bool waitAll,
                               uint32_t timeoutMs) {
  if (events == nullptr || count == 0) return kWaitFailed;
  for (size_t i = 0; i < count; ++i) {
    if (events[i] == nullptr) return kWaitFailed;
  }
  // Distinct events in address order: the lock order for wait-all, and one registration each.
  std::vector<Event*> distinct(events, events + count);
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());

  Event::Waiter waiter;
  for (Event* event : distinct) {
    std::lock_guard<std::mutex> lock(event->m_mutex);
    event->m_waiters.push_back(&waiter);
  }

  auto tryTake = [&]() -> long {
    if (!waitAll) {
      for (size_t i = 0; i < count; ++i) {
        std::lock_guard<std::mutex> lock(events[i]->m_mutex);
        if (events[i]->tryConsumeLocked()) return static_cast<long>(i);
      }
      return -1;
    }
    std::vector<std::unique_lock<std::mutex>> locks;
    locks.reserve(distinct.size());
    for (Event* event : distinct) locks.emplace_back(event->m_mutex);
    for (Event* event : distinct) {
      if (!event->m_signalled) return -1;
    }
    for (Event* event : distinct) event->tryConsumeLocked();
    return 0;
  };

  const bool infinite = timeoutMs == kInfinite;
  const Clock::time_point deadline = infinite ? Clock::time_point::max() : deadlineFor(timeoutMs);
  long taken = -1;
  for (;;) {
    taken = tryTake();
    if (taken >= 0) break;
    std::unique_lock<std::mutex> lock(waiter.mutex);
    if (infinite) {
      waiter.cv.wait(lock, [&] { return waiter.notified; });
    } else if (!waiter.cv.wait_until(lock, deadline, [&] { return waiter.notified; })) {
      lock.unlock();
      taken = tryTake();  // a last look, so a Set racing with the time-out is not lost
      break;
    }
    waiter.notified = false;
  }

  for (Event* event : distinct) {
    std::lock_guard<std::mutex> lock(event->m_mutex);
    auto& list = event->m_waiters;
    list.erase(std::remove(list.begin(), list.end(), &waiter), list.end());
  }
  return taken >= 0 ? kWaitObject0 + static_cast<uint32_t>(taken) : kWaitTimeout;
}

}  // namespace kv::platform
