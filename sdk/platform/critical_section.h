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

  void Enter() { m_mutex.lock(); }
  void Leave() { m_mutex.unlock(); }
  bool TryEnter() { return m_mutex.try_lock(); }

  // BasicLockable, so std::lock_guard works.
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  std::recursive_mutex m_mutex;
};

// A critical section with the flag telling whether it was initialised. Initialise sets it
// once; Enter/Leave do nothing while it is clear.
class FlaggedCriticalSection {
 public:
  // Returns true when this call initialised the lock (false when it already was).
  bool Initialise();
  bool IsInitialised() const { return m_initialised.load(); }
  void Enter();
  void Leave();
  void Delete() { m_initialised.store(false); }
  // Enters only when initialised and tells whether it did, so the matching LeaveEntered
  // stays paired even if the flag changes in between.
  bool EnterIfInitialised();
  void LeaveEntered();

 private:
  CriticalSection m_cs;
  std::atomic<bool> m_initialised{false};
};

// Scoped Enter/Leave of a flagged lock.
class FlaggedLock {
 public:
  explicit FlaggedLock(FlaggedCriticalSection& cs) : m_cs(cs), m_entered(cs.EnterIfInitialised()) {}
  ~FlaggedLock() {
    if (m_entered) m_cs.LeaveEntered();
  }
  FlaggedLock(const FlaggedLock&) = delete;
  FlaggedLock& operator=(const FlaggedLock&) = delete;

 private:
  FlaggedCriticalSection& m_cs;
  const bool m_entered;
};

}  // namespace kv::platform
