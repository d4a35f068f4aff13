// CAVSound: the client's audio player, a thread that plays 8 kHz 16-bit mono PCM from the
// audio conduit through the wave-out device with sixteen recycled 50 ms buffers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "sdk/media/audio_player.h"
#include "sdk/platform/event.h"
#include "sdk/platform/jthread.h"
#include "sdk/platform/wave_out.h"

namespace kv {

struct SoundState;

class CIConduit;

// Posted to the player thread by Stop; no parameters.
constexpr uint32_t WM_SOUND_STOP = 1034;

class CAVSound : public platform::JThread, public IAudioPlayer {
 public:
  static constexpr int kBufferCount = 16;
  static constexpr uint32_t kBlockBytes = 1024;
  static constexpr uint32_t kPlayBytes = 800;  // 400 samples, 50 ms
  static constexpr uint32_t kReadTimeoutMs = 60;
  static constexpr int kStopPostRetries = 5;
  static constexpr uint32_t kStopPostIntervalMs = 50;
  // How long the message loop waits before it looks at the stop flag by itself.
  static constexpr uint32_t kStopWatchMs = 100;

  // Neither is owned; both must outlive the player's thread.
  CAVSound(SoundState* sound, CIConduit* audioConduit);
  // Stops a thread that is still running, then frees the buffers.
  ~CAVSound() override;

  // 1 when all sixteen 1024-byte blocks were allocated; clears the stop flag.
  int PrepareBuffers() override;
  void FreeBuffers() override;
  // 0 when the thread runs.
  int StartThread() override { return Start(); }
  // Sets the stop flag, posts WM_SOUND_STOP (up to five more tries 50 ms apart while posting
  // fails) and waits for the thread. Returns once playback has ended, even when the message
  // could not be posted: the thread then notices the stop flag itself.
  void Stop() override;

 protected:
  int ThreadMain() override;
  // Posts WM_SOUND_STOP to the player thread; false when it cannot be posted.
  virtual bool PostStopMessage(platform::ThreadId thread);

 private:
  // Reads exactly 800 bytes into header; false when the stop flag ended the wait.
  bool fillBuffer(platform::WaveHeader* header);
  // Takes device messages until the device is closed; outstanding is the number queued.
  void messageLoop(int outstanding);
  // Enters closing; true when the loop is to be left.
  bool beginClosing(int outstanding);
  // Unprepares the prepared headers and closes the device, retrying every millisecond.
  void closeDevice();
  bool isOwnHeader(const platform::WaveHeader* header) const;

  SoundState* m_sound;
  CIConduit* m_audioConduit;
  platform::WaveHeader m_headers[kBufferCount]{};
  std::unique_ptr<uint8_t[]> m_blocks[kBufferCount];
  platform::HWaveOut m_device = nullptr;
  std::atomic<int32_t> m_closing{0};
  std::atomic<int32_t> m_stop{0};
  // Set with the stop flag; cuts short the pause after a read that failed at once.
  platform::Event m_stopEvent{true, false};
};

}  // namespace kv
