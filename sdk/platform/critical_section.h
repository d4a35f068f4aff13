// A recursive lock in place of the kernel critical section, and the "initialised" flag
// pattern: a lock that is not initialised is skipped by Enter and Leave.
#pragma once

#include <atomic>
#include <mutex>

namespace kv::platform {

class CriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  bool TryEnter() { return mutex_.try_lock(); }

  // BasicLockable, so std::lock_guard works.
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  std::recursive_mutex mutex_;
};

// A critical section with the flag telling whether it was initialised. Initialise sets it
// once; Enter/Leave do nothing while it is clear.
class FlaggedCriticalSection {
 public:
  // Returns true when this call initialised the lock (false when it already was).
  bool Initialise();
  bool IsInitialised() const { return initialised_.load(); }
  void Enter();
  void Leave();
  void Delete() { initialised_.store(false); }
  // Enters only when initialised and tells whether it did, so the matching LeaveEntered
  // stays paired even if the flag changes in between.
  bool EnterIfInitialised();
  void LeaveEntered();

 private:
  CriticalSection cs_;
  std::atomic<bool> initialised_{false};
};

// Scoped Enter/Leave of a flagged lock.
class FlaggedLock {
 public:
  explicit FlaggedLock(FlaggedCriticalSection& cs) : cs_(cs), entered_(cs.EnterIfInitialised()) {}
  ~FlaggedLock() {
    if (entered_) cs_.LeaveEntered();
  }
  FlaggedLock(const FlaggedLock&) = delete;
  FlaggedLock& operator=(const FlaggedLock&) = delete;

 private:
  FlaggedCriticalSection& cs_;
  const bool entered_;
};

}  // namespace kv::platform
