// JThread: the base class of every worker thread.
//
// Protocol: Start() creates the thread and returns only after the thread body has called
// ThreadStarted() (the start lock is released by the body, not by the creator). The body is
// ThreadMain(); its return value is the exit value. WaitForEnd() waits for the body to
// return; CloseHandle() joins the thread. The owner must stop and join before destruction.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "sdk/platform/event.h"
#include "sdk/platform/thread_messages.h"
#include "sdk/platform/wait.h"

namespace kv::platform {

class JThread {
 public:
  JThread();
  virtual ~JThread();
  JThread(const JThread&) = delete;
  JThread& operator=(const JThread&) = delete;

  // 0 on success; -1 when already running, -2 when the thread cannot be created.
  int Start();
  bool IsRunning() const { return m_running.load(); }
  // Waits up to timeoutMs for the body to return: kWaitObject0 or kWaitTimeout
  // (kWaitObject0 at once when no thread was started).
  uint32_t WaitForEnd(uint32_t timeoutMs = kInfinite);
  // Joins the thread (waiting without limit) and forgets it. Safe to call twice.
  void CloseHandle();
  bool HasHandle() const { return m_thread.joinable(); }
  int GetExitValue() const { return m_exitValue.load(); }
  // Identifier for PostThreadMessage; 0 before the body runs.
  ThreadId GetThreadId() const { return m_threadId.load(); }

 protected:
  virtual int ThreadMain() = 0;
  // Called by the body once it is ready; releases Start().
  void ThreadStarted();

 private:
  void body();

  std::thread m_thread;
  std::atomic<bool> m_running{false};
  std::atomic<int> m_exitValue{0};
  std::atomic<ThreadId> m_threadId{0};
  Event m_started{true, false};
  Event m_ended{true, true};
};

}  // namespace kv::platform
