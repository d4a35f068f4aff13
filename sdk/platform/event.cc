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
    : manualReset_(manualReset), signalled_(initiallySignalled) {}

Event::~Event() = default;

bool Event::tryConsumeLocked() {
  if (!signalled_) return false;
  if (!manualReset_) signalled_ = false;
  return true;
}

void Event::notifyLocked() {
  // Notifying while holding the lock lets a woken waiter destroy the event right after.
  if (manualReset_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
  for (Waiter* waiter : waiters_) {
    std::lock_guard<std::mutex> lock(waiter->mutex);
    waiter->notified = true;
    waiter->cv.notify_one();
  }
}

void Event::Set() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = true;
  notifyLocked();
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

bool Event::IsSignalled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return signalled_;
}

uint32_t Event::Wait(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (timeoutMs == kInfinite) {
    cv_.wait(lock, [this] { return signalled_; });
  } else if (!cv_.wait_until(lock, deadlineFor(timeoutMs), [this] { return signalled_; })) {
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
    std::lock_guard<std::mutex> lock(event->mutex_);
    event->waiters_.push_back(&waiter);
  }

  auto tryTake = [&]() -> long {
    if (!waitAll) {
      for (size_t i = 0; i < count; ++i) {
        std::lock_guard<std::mutex> lock(events[i]->mutex_);
        if (events[i]->tryConsumeLocked()) return static_cast<long>(i);
      }
      return -1;
    }
    std::vector<std::unique_lock<std::mutex>> locks;
    locks.reserve(distinct.size());
    for (Event* event : distinct) locks.emplace_back(event->mutex_);
    for (Event* event : distinct) {
      if (!event->signalled_) return -1;
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
    std::lock_guard<std::mutex> lock(event->mutex_);
    auto& list = event->waiters_;
    list.erase(std::remove(list.begin(), list.end(), &waiter), list.end());
  }
  return taken >= 0 ? kWaitObject0 + static_cast<uint32_t>(taken) : kWaitTimeout;
}

}  // namespace kv::platform
