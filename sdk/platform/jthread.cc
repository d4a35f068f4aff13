// JThread: start protocol, running state, end wait and join of a worker thread.
#include "sdk/platform/jthread.h"

#include <system_error>

namespace kv::platform {

JThread::JThread() = default;

// The owner should have stopped and joined the thread; joining here keeps a forgotten
// thread from terminating the process.
JThread::~JThread() {
  CloseHandle();
  // Only when the body itself destroys its object: std::thread must not be left joinable.
  if (m_thread.joinable()) m_thread.detach();
}

int JThread::Start() {
  if (m_running.load()) return -1;
  // A previous body has ended but was not joined yet: join it before reusing the object.
  CloseHandle();
  m_started.Reset();
  m_ended.Reset();
  m_exitValue.store(0);
  m_threadId.store(0);
  m_running.store(true);
  try {
    m_thread = std::thread(&JThread::body, this);
  } catch (const std::system_error&) {
    m_running.store(false);
    m_ended.Set();
    return -2;
  }
  // Released by the body's ThreadStarted(), or by the body's end if it never called it.
  m_started.Wait(kInfinite);
  return 0;
}

void JThread::ThreadStarted() { m_started.Set(); }

void JThread::body() {
  m_threadId.store(CurrentThreadId());
  EnsureMessageQueue();
  int exitValue = -1;
  try {
    exitValue = ThreadMain();
  } catch (...) {
    // An escaping exception would terminate the process; the thread just ends with -1.
  }
  DestroyMessageQueue();
  m_exitValue.store(exitValue);
  m_running.store(false);
  m_started.Set();
  m_ended.Set();
}

uint32_t JThread::WaitForEnd(uint32_t timeoutMs) {
  if (!m_thread.joinable()) return kWaitObject0;
  return m_ended.Wait(timeoutMs) == kWaitObject0 ? kWaitObject0 : kWaitTimeout;
}

void JThread::CloseHandle() {
  if (!m_thread.joinable()) return;
  // A thread cannot join itself; its owner joins it later.
  if (m_thread.get_id() == std::this_thread::get_id()) return;
  m_thread.join();
}

}  // namespace kv::platform
