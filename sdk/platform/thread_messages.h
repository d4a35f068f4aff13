// Per-thread message queues in place of the kernel's thread messages: a thread gets a queue
// when it first asks for one (EnsureMessageQueue, or any Get/Peek); posting to a thread
// without a queue fails, as it does for a thread that has not yet started its loop.
#pragma once

#include <cstdint>

namespace kv::platform {

using ThreadId = uint64_t;

struct ThreadMessage {
  uint32_t message = 0;
  uintptr_t wParam = 0;
  uintptr_t lParam = 0;
};

// The calling thread's identifier (unique for the process's life, never 0).
ThreadId CurrentThreadId();

// Creates the calling thread's queue if it has none.
void EnsureMessageQueue();

// Removes the calling thread's queue (pending messages are dropped). Called when a
// thread body ends.
void DestroyMessageQueue();

// Appends a message to the queue of the given thread; false when it has no queue.
bool PostThreadMessage(ThreadId thread, uint32_t message, uintptr_t wParam, uintptr_t lParam);

// Waits for the next message of the calling thread. Returns false on time-out.
bool GetThreadMessage(ThreadMessage* out, uint32_t timeoutMs);

// Takes the next message if one is queued (remove true) or only looks at it.
bool PeekThreadMessage(ThreadMessage* out, bool remove);

}  // namespace kv::platform
