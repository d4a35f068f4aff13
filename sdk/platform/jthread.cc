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
  if (thread_.joinable()) thread_.detach();
}

int JThread::Start() {
  if (running_.load()) return -1;
  // A previous body has ended but was not joined yet: join it before reusing the object.
  CloseHandle();
  started_.Reset();
  ended_.Reset();
  exitValue_.store(0);
  threadId_.store(0);
  running_.store(true);
  try {
    thread_ = std::thread(&JThread::body, this);
  } catch (const std::system_error&) {
    running_.store(false);
    ended_.Set();
    return -2;
  }
  // Released by the body's ThreadStarted(), or by the body's end if it never called it.
  started_.Wait(kInfinite);
  return 0;
}

void JThread::ThreadStarted() { started_.Set(); }

void JThread::body() {
  threadId_.store(CurrentThreadId());
  EnsureMessageQueue();
  int exitValue = -1;
  try {
    exitValue = ThreadMain();
  } catch (...) {
    // An escaping exception would terminate the process; the thread just ends with -1.
  }
  DestroyMessageQueue();
  exitValue_.store(exitValue);
  running_.store(false);
  started_.Set();
  ended_.Set();
}

uint32_t JThread::WaitForEnd(uint32_t timeoutMs) {
  if (!thread_.joinable()) return kWaitObject0;
  return ended_.Wait(timeoutMs) == kWaitObject0 ? kWaitObject0 : kWaitTimeout;
}

void JThread::CloseHandle() {
  if (!thread_.joinable()) return;
  // A thread cannot join itself; its owner joins it later.
  if (thread_.get_id() == std::this_thread::get_id()) return;
  thread_.join();
}

}  // namespace kv::platform
