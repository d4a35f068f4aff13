// The frame conduit interface: a byte ring between one writer thread and one reader thread,
// optionally indexing complete frames.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv {

// One complete frame as indexed by a frame-mode conduit and handed to the reader.
struct FrameEntry {
  // First byte of the frame inside the ring when the frame began. Informational only: the
  // reader always takes the bytes from the read position.
  const uint8_t* data;
  int32_t length;     // all pieces since the previous frame closed, the closing piece included
  int32_t timestamp;  // first caller value of the closing Write or EndFrame
  int32_t tag;        // second caller value of the closing Write or EndFrame
};
static_assert(offsetof(FrameEntry, data) == 0);
static_assert(offsetof(FrameEntry, length) == sizeof(void*));
static_assert(offsetof(FrameEntry, timestamp) == sizeof(void*) + 4);
static_assert(offsetof(FrameEntry, tag) == sizeof(void*) + 8);
static_assert(sizeof(FrameEntry) == (sizeof(void*) == 8 ? 24 : 16));

// Operations in their fixed slot order. Sizes and counts are signed 32-bit; time-outs are
// milliseconds (kv::platform::kInfinite waits without limit).
class CIConduit {
 public:
  virtual ~CIConduit() = default;

  // Allocates the ring, the lock and the events. False when already created or when the
  // ring or an event cannot be made.
  virtual bool Create(int32_t capacity, bool flowControl, int32_t lowWater, bool frameMode) = 0;
  // Frees the ring and the frame index; the lock and events stay.
  virtual void Release() = 0;
  // Empties the conduit and lifts an earlier Abort.
  virtual void Clear() = 0;
  // Switches writer back-pressure on or off.
  virtual void SetFlowControl(bool on) = 0;
  // Byte mode: reads exactly length bytes or nothing. Returns length or 0; remainingOut (may
  // be null) receives the bytes still held after a successful read.
  virtual int32_t Read(void* buffer, int32_t length, int32_t* remainingOut, uint32_t timeoutMs) = 0;
  // Appends length bytes; endOfFrame == 1 closes the frame being assembled (frame mode).
  // False when stopped, when flow control times out, or when the bytes do not fit.
  virtual bool Write(const void* data, int32_t length, int32_t endOfFrame, int32_t timestamp,
                     int32_t tag) = 0;
  // Bytes held.
  virtual int32_t GetDataSize() = 0;
  // Complete frames held.
  virtual int32_t GetFrameCount() = 0;
  // Closes the frame being assembled without adding bytes (frame mode, pending bytes only).
  virtual void EndFrame(int32_t timestamp, int32_t tag) = 0;
  // Frame mode: takes the oldest whole frame into buffer. Returns its length or 0. entryOut
  // (may be null) receives the frame's entry even when buffer is too small; framesLeftOut (may
  // be null) receives the frames still indexed after a successful read.
  virtual int32_t ReadFrame(void* buffer, int32_t bufferLength, int32_t* framesLeftOut,
                            FrameEntry* entryOut, uint32_t timeoutMs) = 0;
  // Marks the conduit stopped and wakes both sides; reads and writes fail at once until Clear.
  virtual void Abort() = 0;
};

}  // namespace kv
