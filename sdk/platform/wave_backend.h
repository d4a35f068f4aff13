// Inside the wave audio layer: the backend seam (ALSA, null, WAV file, tone), the choice of
// backend from a device name, real-time pacing and notification delivery.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "sdk/platform/wave_audio.h"

namespace kv::platform::wave {

// Asked between the steps of a blocking backend call; true makes the call return early.
using CancelFn = std::function<bool()>;

// A playback device. Called only from the device's own thread.
class OutBackend {
 public:
  virtual ~OutBackend() = default;
  // Hands length bytes to the device, waiting as the device does. Returns the bytes taken
  // (fewer when cancelled) or -1 on a device error that cannot be recovered.
  virtual int64_t Write(const uint8_t* data, uint32_t length, const CancelFn& cancelled) = 0;
  // Drops whatever the device still holds (reset).
  virtual void Discard() = 0;
};

// A capture device. Called only from the device's own thread.
class InBackend {
 public:
  virtual ~InBackend() = default;
  virtual bool Start() = 0;
  virtual void Stop() = 0;
  // Delivers up to length bytes of captured audio, waiting as the device does. Returns the
  // bytes delivered (fewer when cancelled) or -1 on an unrecoverable device error.
  virtual int64_t Read(uint8_t* data, uint32_t length, const CancelFn& cancelled) = 0;
};

// "kind[:argument]" split at the first colon.
struct DeviceName {
  std::string kind;
  std::string argument;
};
DeviceName ParseDeviceName(const std::string& text);

// The backend named by name, or by the environment variable when name is null or empty.
// On failure the result is null and *error says why.
std::unique_ptr<OutBackend> OpenOutBackend(const char* name, const WaveFormat& format,
                                           MmResult* error);
std::unique_ptr<InBackend> OpenInBackend(const char* name, const WaveFormat& format,
                                         MmResult* error);

std::unique_ptr<OutBackend> OpenAlsaOut(const std::string& pcm, const WaveFormat& format,
                                        MmResult* error);
std::unique_ptr<InBackend> OpenAlsaIn(const std::string& pcm, const WaveFormat& format,
                                      MmResult* error);
std::unique_ptr<OutBackend> OpenNullOut(const WaveFormat& format);
std::unique_ptr<InBackend> OpenSilenceIn(const WaveFormat& format);
std::unique_ptr<OutBackend> OpenWavOut(const std::string& path, bool realTime,
                                       const WaveFormat& format, MmResult* error);
std::unique_ptr<InBackend> OpenWavIn(const std::string& path, bool realTime,
                                     const WaveFormat& format, MmResult* error);
std::unique_ptr<InBackend> OpenToneIn(double hz, bool realTime, const WaveFormat& format);

// Holds a stream to the real-time rate: each Pace(bytes) returns when those bytes' playing
// time has passed since the previous one ended (or since now, after a gap).
class RealTimePacer {
 public:
  RealTimePacer(bool enabled, uint32_t bytesPerSecond)
      : m_enabled(enabled), m_bytesPerSecond(bytesPerSecond == 0 ? 1 : bytesPerSecond) {}
  // False when cancelled before the time was up.
  bool Pace(uint32_t bytes, const CancelFn& cancelled);
  void Restart() { m_started = false; }

 private:
  bool m_enabled;
  uint32_t m_bytesPerSecond;
  bool m_started = false;
  std::chrono::steady_clock::time_point m_next;
};

// Sends one notification as the callback asks: posted to a thread or a function call.
void Notify(const WaveCallback& callback, void* device, uint32_t message, uintptr_t param1);

// Checks a format the backends can serve: 16-bit PCM, one or two channels, consistent sizes.
bool IsSupportedFormat(const WaveFormat& format);

// Header preparation, the same for playback and capture devices: under the device's lock,
// mark a header prepared, or unprepared unless it is still queued.
MmResult PrepareHeader(std::mutex& deviceMutex, WaveHeader* header);
MmResult UnprepareHeader(std::mutex& deviceMutex, WaveHeader* header);

}  // namespace kv::platform::wave
