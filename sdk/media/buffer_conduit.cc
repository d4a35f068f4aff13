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
  index_.clear();
  dataEvent_.reset();
  spaceEvent_.reset();
  if (lock_.IsInitialised()) lock_.Delete();
}

bool CBufferConduit::Create(int32_t capacity, bool flowControl, int32_t lowWater, bool frameMode) {
  // A conduit is created once; a second call changes nothing.
  if (!lock_.Initialise()) return false;
  dataEvent_ = std::make_unique<platform::Event>(/*manualReset=*/true, /*signalled=*/false);
  spaceEvent_ = std::make_unique<platform::Event>(/*manualReset=*/false, /*signalled=*/true);
  if (capacity < 0) return false;
  if (capacity != 0) {
    capacity_ = capacity;
    buffer_.reset(new (std::nothrow) uint8_t[static_cast<size_t>(capacity)]);
    if (!buffer_) capacity_ = 0;
  }
  lowWater_ = lowWater;
  flowControl_ = flowControl;
  frameMode_ = frameMode;
  used_ = 0;
  readPos_ = 0;
  writePos_ = 0;
  stopped_ = false;
  pending_ = 0;
  frameCount_ = 0;
  frameStart_ = buffer_.get();
  return buffer_ != nullptr;
}

void CBufferConduit::Release() {
  platform::FlaggedLock guard(lock_);
  if (!buffer_) return;
  buffer_.reset();
  frameStart_ = nullptr;
  capacity_ = 0;
  used_ = 0;
  readPos_ = 0;
  writePos_ = 0;
  index_.clear();
  pending_ = 0;
  // The index is gone, so no frame may still be counted.
  frameCount_ = 0;
}

void CBufferConduit::Clear() {
  platform::FlaggedLock guard(lock_);
  readPos_ = 0;
  writePos_ = 0;
  used_ = 0;
  stopped_ = false;
  if (spaceEvent_) spaceEvent_->Set();
  index_.clear();
  pending_ = 0;
  frameCount_ = 0;
}

void CBufferConduit::SetFlowControl(bool on) { flowControl_ = on; }

void CBufferConduit::signalSpaceIfBelow(int32_t level) {
  if (flowControl_ && used_ < level && spaceEvent_) spaceEvent_->Set();
}

void CBufferConduit::copyIn(const uint8_t* src, int32_t length) {
  const int32_t first = std::min(length, capacity_ - writePos_);
  std::memcpy(buffer_.get() + writePos_, src, static_cast<size_t>(first));
  if (length > first) {
    std::memcpy(buffer_.get(), src + first, static_cast<size_t>(length - first));
    writePos_ = length - first;
  } else {
    writePos_ += first;
    if (writePos_ == capacity_) writePos_ = 0;
  }
}

void CBufferConduit::copyOut(uint8_t* dst, int32_t length) {
  const int32_t first = std::min(length, capacity_ - readPos_);
  std::memcpy(dst, buffer_.get() + readPos_, static_cast<size_t>(first));
  if (length > first) {
    std::memcpy(dst + first, buffer_.get(), static_cast<size_t>(length - first));
    readPos_ = length - first;
  } else {
    readPos_ += first;
    if (readPos_ == capacity_) readPos_ = 0;
  }
}

int32_t CBufferConduit::Read(void* buffer, int32_t length, int32_t* remainingOut,
                             uint32_t timeoutMs) {
  if (stopped_ || buffer == nullptr || length <= 0 || !dataEvent_) return 0;
  {
    platform::FlaggedLock guard(lock_);
    signalSpaceIfBelow(lowWater_);
  }
  if (dataEvent_->Wait(timeoutMs) != platform::kWaitObject0) {
    if (flowControl_) spaceEvent_->Set();
    return 0;
  }
  platform::FlaggedLock guard(lock_);
  if (stopped_) return 0;
  if (used_ == 0 || used_ < length || !buffer_) {
    // All or nothing: leave the bytes for a later, satisfiable read. Resetting under the
    // lock cannot lose a writer's signal, since writers set the event under the same lock.
    dataEvent_->Reset();
    if (flowControl_) spaceEvent_->Set();
    return 0;
  }
  copyOut(static_cast<uint8_t*>(buffer), length);
  used_ -= length;
  signalSpaceIfBelow(kRefillLevel);
  if (remainingOut) *remainingOut = used_;
  return length;
}

void CBufferConduit::closeFrameLocked(int32_t timestamp, int32_t tag) {
  index_.push_back(FrameEntry{frameStart_, pending_, timestamp, tag});
  frameCount_.fetch_add(1);
  pending_ = 0;
  frameStart_ = buffer_.get() + writePos_;
}

bool CBufferConduit::Write(const void* data, int32_t length, int32_t endOfFrame, int32_t timestamp,
                           int32_t tag) {
  if (stopped_ || !spaceEvent_ || length < 0 || (data == nullptr && length != 0)) return false;
  if (flowControl_) {
    if (spaceEvent_->Wait(kWriterWaitMs) != platform::kWaitObject0) return false;
    if (stopped_) return false;
  }
  platform::FlaggedLock guard(lock_);
  if (!buffer_) return false;
  if (static_cast<int64_t>(used_) + length > capacity_) {
    // Refuse the whole piece; what is already queued stays intact. Wake the reader so it
    // drains the ring.
    dataEvent_->Set();
    return false;
  }
  if (length > 0) copyIn(static_cast<const uint8_t*>(data), length);
  if (frameMode_) {
    pending_ += length;
    // An empty frame would sit in the index with no bytes behind it, so none is recorded.
    if (endOfFrame == 1 && pending_ != 0) closeFrameLocked(timestamp, tag);
  }
  used_ += length;
  dataEvent_->Set();
  return true;
}

int32_t CBufferConduit::GetDataSize() {
  platform::FlaggedLock guard(lock_);
  return used_;
}

int32_t CBufferConduit::GetFrameCount() { return frameCount_.load(); }

void CBufferConduit::EndFrame(int32_t timestamp, int32_t tag) {
  platform::FlaggedLock guard(lock_);
  if (!frameMode_ || pending_ == 0 || !buffer_) return;
  closeFrameLocked(timestamp, tag);
  // A reader that drained the ring before this frame was closed has reset the data event;
  // without the signal the frame would wait for the next write, which may never come.
  dataEvent_->Set();
}

int32_t CBufferConduit::ReadFrame(void* buffer, int32_t bufferLength, int32_t* framesLeftOut,
                                  FrameEntry* entryOut, uint32_t timeoutMs) {
  if (stopped_ || buffer == nullptr || !frameMode_ || !dataEvent_) return 0;
  {
    platform::FlaggedLock guard(lock_);
    signalSpaceIfBelow(lowWater_);
  }
  // Wait without the lock so the writer can keep filling the ring meanwhile. A time-out still
  // looks at the index: a frame closed without a signal is taken now, not left behind.
  const bool signalled = dataEvent_->Wait(timeoutMs) == platform::kWaitObject0;
  platform::FlaggedLock guard(lock_);
  if (stopped_) return 0;
  if (used_ == 0 || index_.empty() || !buffer_) {
    if (signalled) {
      dataEvent_->Reset();
    } else if (flowControl_) {
      spaceEvent_->Set();
    }
    return 0;
  }
  const FrameEntry entry = index_.front();
  if (entryOut) *entryOut = entry;
  if (bufferLength < entry.length) return 0;  // the frame stays queued
  index_.pop_front();
  frameCount_.fetch_sub(1);
  copyOut(static_cast<uint8_t*>(buffer), entry.length);
  used_ -= entry.length;
  signalSpaceIfBelow(kRefillLevel);
  if (framesLeftOut) *framesLeftOut = static_cast<int32_t>(index_.size());
  return entry.length;
}

void CBufferConduit::Abort() {
  stopped_ = true;
  if (dataEvent_) dataEvent_->Set();
  if (spaceEvent_) spaceEvent_->Set();
}

}  // namespace kv
