// The in-process headless window system: a table of windows with rectangles, visibility and a
// queue of posted messages each, guarded by one lock.
#include "sdk/platform/headless_window.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

namespace kv::platform {

namespace {

// A window's queue holds at most this many unread messages; further posts fail, as they do
// on a desktop whose message queue is full.
constexpr size_t kMaxQueuedMessages = 10000;

struct HeadlessWindow {
  Rect rect;
  bool visible = false;
  std::deque<PostedMessage> queue;
};

}  // namespace

struct HeadlessWindowSystem::Impl {
  std::mutex mutex;
  // Signalled on every post and every destruction, so waiting readers re-check their window.
  std::condition_variable changed;
  std::map<WindowId, HeadlessWindow> windows;
  WindowId nextId = 1;

  HeadlessWindow* find(WindowId window) {
    auto it = windows.find(window);
    return it == windows.end() ? nullptr : &it->second;
  }
};

HeadlessWindowSystem::HeadlessWindowSystem() : m_impl(std::make_unique<Impl>()) {}

HeadlessWindowSystem::~HeadlessWindowSystem() = default;

bool HeadlessWindowSystem::GetWindowRect(WindowId window, Rect* out) {
  if (out == nullptr) return false;
  std::lock_guard lock(m_impl->mutex);
  HeadlessWindow* w = m_impl->find(window);
  if (w == nullptr) return false;
  *out = w->rect;
  return true;
}

bool HeadlessWindowSystem::IsWindowVisible(WindowId window) {
  std::lock_guard lock(m_impl->mutex);
  HeadlessWindow* w = m_impl->find(window);
  return w != nullptr && w->visible;
}

bool HeadlessWindowSystem::PostMessage(WindowId window, uint32_t message, uint32_t wParam,
                                       uint32_t lParam) {
  {
    std::lock_guard lock(m_impl->mutex);
    HeadlessWindow* w = m_impl->find(window);
    if (w == nullptr || w->queue.size() >= kMaxQueuedMessages) return false;
    w->queue.push_back(PostedMessage{message, wParam, lParam});
  }
  m_impl->changed.notify_all();
  return true;
}

WindowId HeadlessWindowSystem::CreateWindow(int32_t x, int32_t y, int32_t width, int32_t height,
                                            bool visible) {
  if (width < 0 || height < 0) return 0;
  std::lock_guard lock(m_impl->mutex);
  if (m_impl->nextId == 0) return 0;  // all ids used once; ids are never reused
  WindowId id = m_impl->nextId++;
  HeadlessWindow& w = m_impl->windows[id];
  w.rect = Rect{x, y, x + width, y + height};
  w.visible = visible;
  return id;
}

bool HeadlessWindowSystem::DestroyWindow(WindowId window) {
  {
    std::lock_guard lock(m_impl->mutex);
    if (m_impl->windows.erase(window) == 0) return false;
  }
  m_impl->changed.notify_all();
  return true;
}

bool HeadlessWindowSystem::MoveWindow(WindowId window, int32_t x, int32_t y, int32_t width,
                                      int32_t height) {
  if (width < 0 || height < 0) return false;
  std::lock_guard lock(m_impl->mutex);
  HeadlessWindow* w = m_impl->find(window);
  if (w == nullptr) return false;
  w->rect = Rect{x, y, x + width, y + height};
  return true;
}

bool HeadlessWindowSystem::ShowWindow(WindowId window, bool visible) {
  std::lock_guard lock(m_impl->mutex);
  HeadlessWindow* w = m_impl->find(window);
  if (w == nullptr) return false;
  w->visible = visible;
  return true;
}

bool HeadlessWindowSystem::TakeMessage(WindowId window, PostedMessage* out, uint32_t timeoutMs) {
  if (out == nullptr) return false;
  std::unique_lock lock(m_impl->mutex);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    HeadlessWindow* w = m_impl->find(window);
    if (w == nullptr) return false;  // unknown, or destroyed while waiting
    if (!w->queue.empty()) {
      *out = w->queue.front();
      w->queue.pop_front();
      return true;
    }
    if (m_impl->changed.wait_until(lock, deadline) == std::cv_status::timeout) {
      // One last look: a post may have landed just as the time ran out.
      w = m_impl->find(window);
      if (w == nullptr || w->queue.empty()) return false;
    }
  }
}

size_t HeadlessWindowSystem::PendingMessages(WindowId window) {
  std::lock_guard lock(m_impl->mutex);
  HeadlessWindow* w = m_impl->find(window);
  return w == nullptr ? 0 : w->queue.size();
}

HeadlessWindowSystem* GetHeadlessWindowSystem() {
  return dynamic_cast<HeadlessWindowSystem*>(&GetWindowSystem());
}

}  // namespace kv::platform
