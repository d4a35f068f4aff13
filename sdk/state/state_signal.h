// StateSignal: wakes the threads that wait for a change of some of a client's flags. Whoever
// changes such a flag stores it first and then calls Notify; a waiter checks its condition
// under the signal's lock, so a change made between its check and its sleep is never missed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kv {

class StateSignal {
 public:
  void Notify() {
    { std::lock_guard<std::mutex> lock(m_mutex); }
    m_changed.notify_all();
  }
  // Waits until done() holds; done is called with the lock held.
  template <typename Done>
  void Wait(Done done) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, done);
  }
  // Waits until done() holds or timeoutMs have passed; true when done() holds.
  template <typename Done>
  bool WaitFor(uint32_t timeoutMs, Done done) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
};

}  // namespace kv
