// CBufferConduit: ring arithmetic, frame assembly and the reader/writer handshake.
#include "sdk/media/buffer_conduit.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "sdk/platform/wait.h"

namespace kv {

namespace {

// With flow control on, a writer waits this long for room before giving up.
constexpr uint32_t kWriterWaitMs = 1000;
// With flow control on, a successful read wakes the writer once the fill drops below this.
constexpr int32_t kRefillLevel = 1024;

}  // namespace

CBufferConduit::~CBufferConduit() {
  Release();
  m_index.clear();
  m_dataEvent.reset();
  m_spaceEvent.reset();
  if (m_lock.IsInitialised()) m_lock.Delete();
}

bool CBufferConduit::Create(int32_t capacity, bool flowControl, int32_t lowWater, bool frameMode) {
  // A conduit is created once; a second call changes nothing.
  if (!m_lock.Initialise()) return false;
  m_dataEvent = std::make_unique<platform::Event>(/*manualReset=*/true, /*signalled=*/false);
  m_spaceEvent = std::make_unique<platform::Event>(/*manualReset=*/false, /*signalled=*/true);
  if (capacity < 0) return false;
  if (capacity != 0) {
    m_capacity = capacity;
    m_buffer.reset(new (std::nothrow) uint8_t[static_cast<size_t>(capacity)]);
    if (!m_buffer) m_capacity = 0;
  }
  m_lowWater = lowWater;
  m_flowControl = flowControl;
  m_frameMode = frameMode;
  m_used = 0;
  m_readPos = 0;
  m_writePos = 0;
  m_stopped = false;
  m_pending = 0;
  m_frameCount = 0;
  m_frameStart = m_buffer.get();
  return m_buffer != nullptr;
}

void CBufferConduit::Release() {
  platform::FlaggedLock guard(m_lock);
  if (!m_buffer) return;
  m_buffer.reset();
  m_frameStart = nullptr;
  m_capacity = 0;
  m_used = 0;
  m_readPos = 0;
  m_writePos = 0;
  m_index.clear();
  m_pending = 0;
  // The index is gone, so no frame may still be counted.
  m_frameCount = 0;
}

void CBufferConduit::Clear() {
  platform::FlaggedLock guard(m_lock);
  m_readPos = 0;
  m_writePos = 0;
  m_used = 0;
  m_stopped = false;
  if (m_spaceEvent) m_spaceEvent->Set();
  m_index.clear();
  m_pending = 0;
  m_frameCount = 0;
}

void CBufferConduit::SetFlowControl(bool on) { m_flowControl = on; }

void CBufferConduit::signalSpaceIfBelow(int32_t level) {
  if (m_flowControl && m_used < level && m_spaceEvent) m_spaceEvent->Set();
}

void CBufferConduit::copyIn(const uint8_t* src, int32_t length) {
  const int32_t first = std::min(length, m_capacity - m_writePos);
  std::memcpy(m_buffer.get() + m_writePos, src, static_cast<size_t>(first));
  if (length > first) {
    std::memcpy(m_buffer.get(), src + first, static_cast<size_t>(length - first));
    m_writePos = length - first;
  } else {
    m_writePos += first;
    if (m_writePos == m_capacity) m_writePos = 0;
  }
}

void CBufferConduit::copyOut(uint8_t* dst, int32_t length) {
  const int32_t first = std::min(length, m_capacity - m_readPos);
  std::memcpy(dst, m_buffer.get() + m_readPos, static_cast<size_t>(first));
  if (length > first) {
    std::memcpy(dst + first, m_buffer.get(), static_cast<size_t>(length - first));
    m_readPos = length - first;
  } else {
    m_readPos += first;
    if (m_readPos == m_capacity) m_readPos = 0;
  }
}

int32_t CBufferConduit::Read(void* buffer, int32_t length, int32_t* remainingOut,
                             uint32_t timeoutMs) {
  if (m_stopped || buffer == nullptr || length <= 0 || !m_dataEvent) return 0;
  {
    platform::FlaggedLock guard(m_lock);
    signalSpaceIfBelow(m_lowWater);
  }
  if (m_dataEvent->Wait(timeoutMs) != platform::kWaitObject0) {
    if (m_flowControl) m_spaceEvent->Set();
    return 0;
  }
  platform::FlaggedLock guard(m_lock);
  if (m_stopped) return 0;
  if (m_used == 0 || m_used < length || !m_buffer) {
    // All or nothing: leave the bytes for a later, satisfiable read. Resetting under the
    // lock cannot lose a writer's signal, since writers set the event under the same lock.
    m_dataEvent->Reset();
    if (m_flowControl) m_spaceEvent->Set();
    return 0;
  }
  copyOut(static_cast<uint8_t*>(buffer), length);
  m_used -= length;
  signalSpaceIfBelow(kRefillLevel);
  if (remainingOut) *remainingOut = m_used;
  return length;
}

void CBufferConduit::closeFrameLocked(int32_t timestamp, int32_t tag) {
  m_index.push_back(FrameEntry{m_frameStart, m_pending, timestamp, tag});
  m_frameCount.fetch_add(1);
  m_pending = 0;
  m_frameStart = m_buffer.get() + m_writePos;
}

bool CBufferConduit::Write(const void* data, int32_t length, int32_t endOfFrame, int32_t timestamp,
                           int32_t tag) {
  if (m_stopped || !m_spaceEvent || length < 0 || (data == nullptr && length != 0)) return false;
  if (m_flowControl) {
    if (m_spaceEvent->Wait(kWriterWaitMs) != platform::kWaitObject0) return false;
    if (m_stopped) return false;
  }
  platform::FlaggedLock guard(m_lock);
  if (!m_buffer) return false;
  if (static_cast<int64_t>(m_used) + length > m_capacity) {
    // Refuse the whole piece; what is already queued stays intact. Wake the reader so it
    // drains the ring.
    m_dataEvent->Set();
    return false;
  }
  if (length > 0) copyIn(static_cast<const uint8_t*>(data), length);
  if (m_frameMode) {
    m_pending += length;
    // An empty frame would sit in the index with no bytes behind it, so none is recorded.
    if (endOfFrame == 1 && m_pending != 0) closeFrameLocked(timestamp, tag);
  }
  m_used += length;
  m_dataEvent->Set();
  return true;
}

int32_t CBufferConduit::GetDataSize() {
  platform::FlaggedLock guard(m_lock);
  return m_used;
}

int32_t CBufferConduit::GetFrameCount() { return m_frameCount.load(); }

void CBufferConduit::EndFrame(int32_t timestamp, int32_t tag) {
  platform::FlaggedLock guard(m_lock);
  if (!m_frameMode || m_pending == 0 || !m_buffer) return;
  closeFrameLocked(timestamp, tag);
  // A reader that drained the ring before this frame was closed has reset the data event;
  // without the signal the frame would wait for the next write, which may never come.
  m_dataEvent->Set();
}

int32_t CBufferConduit::ReadFrame(void* buffer, int32_t bufferLength, int32_t* framesLeftOut,
                                  FrameEntry* entryOut, uint32_t timeoutMs) {
  if (m_stopped || buffer == nullptr || !m_frameMode || !m_dataEvent) return 0;
  {
    platform::FlaggedLock guard(m_lock);
    signalSpaceIfBelow(m_lowWater);
  }
  // Wait without the lock so the writer can keep filling the ring meanwhile. A time-out still
  // looks at the index: a frame closed without a signal is taken now, not left behind.
  const bool signalled = m_dataEvent->Wait(timeoutMs) == platform::kWaitObject0;
  platform::FlaggedLock guard(m_lock);
  if (m_stopped) return 0;
  if (m_used == 0 || m_index.empty() || !m_buffer) {
    if (signalled) {
      m_dataEvent->Reset();
    } else if (m_flowControl) {
      m_spaceEvent->Set();
    }
    return 0;
  }
  const FrameEntry entry = m_index.front();
  if (entryOut) *entryOut = entry;
  if (bufferLength < entry.length) return 0;  // the frame stays queued
  m_index.pop_front();
  m_frameCount.fetch_sub(1);
  copyOut(static_cast<uint8_t*>(buffer), entry.length);
  m_used -= entry.length;
  signalSpaceIfBelow(kRefillLevel);
  if (framesLeftOut) *framesLeftOut = static_cast<int32_t>(m_index.size());
  return entry.length;
}

void CBufferConduit::Abort() {
  m_stopped = true;
  if (m_dataEvent) m_dataEvent->Set();
  if (m_spaceEvent) m_spaceEvent->Set();
}

}  // namespace kv
