// Per-thread message queues, kept in a process-wide table keyed by thread identifier.
#include "sdk/platform/thread_messages.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "sdk/platform/wait.h"

namespace kv::platform {
namespace {

// Like the kernel, a queue holds a bounded number of messages; posting to a full one fails.
constexpr size_t kMaxQueuedMessages = 10000;

struct MessageQueue {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<ThreadMessage> messages;
};

struct QueueTable {
  std::mutex mutex;
  std::unordered_map<ThreadId, std::shared_ptr<MessageQueue>> queues;
};

// Never destroyed, so threads ending during process exit can still remove their queues.
QueueTable& table() {
  static QueueTable* instance = new QueueTable;
  return *instance;
}

std::atomic<ThreadId> nextThreadId{1};

// Owns the calling thread's queue and removes it from the table when the thread ends.
struct ThreadQueueSlot {
  std::shared_ptr<MessageQueue> queue;
  ~ThreadQueueSlot() { DestroyMessageQueue(); }
};

thread_local ThreadQueueSlot threadQueue;

MessageQueue& ownQueue() {
  EnsureMessageQueue();
  return *threadQueue.queue;
}

}  // namespace

ThreadId CurrentThreadId() {
  thread_local const ThreadId id = nextThreadId.fetch_add(1);
  return id;
}

void EnsureMessageQueue() {
  if (threadQueue.queue) return;
  auto queue = std::make_shared<MessageQueue>();
  QueueTable& t = table();
  std::lock_guard<std::mutex> lock(t.mutex);
  t.queues[CurrentThreadId()] = queue;
  threadQueue.queue = std::move(queue);
}

void DestroyMessageQueue() {
  if (!threadQueue.queue) return;
  {
    QueueTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.queues.erase(CurrentThreadId());
  }
  threadQueue.queue.reset();
}

bool PostThreadMessage(ThreadId thread, uint32_t message, uintptr_t wParam, uintptr_t lParam) {
  std::shared_ptr<MessageQueue> queue;
  {
    QueueTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.queues.find(thread);
    if (it == t.queues.end()) return false;
    queue = it->second;
  }
  std::lock_guard<std::mutex> lock(queue->mutex);
  if (queue->messages.size() >= kMaxQueuedMessages) return false;
  queue->messages.push_back(ThreadMessage{message, wParam, lParam});
  queue->cv.notify_one();
  return true;
}

bool GetThreadMessage(ThreadMessage* out, uint32_t timeoutMs) {
  MessageQueue& queue = ownQueue();
  std::unique_lock<std::mutex> lock(queue.mutex);
  auto ready = [&] { return !queue.messages.empty(); };
  if (timeoutMs == kInfinite) {
    queue.cv.wait(lock, ready);
  } else if (!queue.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
    return false;
  }
  if (out != nullptr) *out = queue.messages.front();
  queue.messages.pop_front();
  return true;
}

bool PeekThreadMessage(ThreadMessage* out, bool remove) {
  MessageQueue& queue = ownQueue();
  std::lock_guard<std::mutex> lock(queue.mutex);
  if (queue.messages.empty()) return false;
  if (out != nullptr) *out = queue.messages.front();
  if (remove) queue.messages.pop_front();
  return true;
}

}  // namespace kv::platform
