// What a client asks of its audio player: buffers prepared before its thread starts,
// a thread started before the source's, and a stop that returns once playback ended.
#pragma once

namespace kv {

class IAudioPlayer {
 public:
  virtual ~IAudioPlayer() = default;
  // 1 when every buffer could be allocated, else 0.
  virtual int PrepareBuffers() = 0;
  virtual void FreeBuffers() = 0;
  // 0 when the player thread runs.
  virtual int StartThread() = 0;
  // Ends playback and waits for the thread.
  virtual void Stop() = 0;
};

}  // namespace kv
