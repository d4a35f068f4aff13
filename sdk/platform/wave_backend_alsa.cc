// ALSA wave backends: a PCM opened non-blocking, written and read in the device's own thread
// with short waits so that a reset or close is noticed, recovering from under- and overruns.
#include <alsa/asoundlib.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "sdk/platform/debug_output.h"
#include "sdk/platform/wave_backend.h"

namespace kv::platform::wave {
namespace {

constexpr int kWaitSliceMs = 10;
constexpr unsigned kLatencyUs = 200000;
constexpr int kDrainPolls = 100;

// libasound prints its errors to stderr; route them to the debugger output instead.
void quietAlsaErrors(const char* file, int line, const char* function, int err, const char* fmt,
                     ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof(text), fmt, args);
  va_end(args);
  DebugPrintf("ALSA %s:%d (%s) %s%s%s\n", file, line, function, text, err != 0 ? ": " : "",
              err != 0 ? snd_strerror(err) : "");
}

snd_pcm_t* openPcm(const std::string& name, snd_pcm_stream_t stream, const WaveFormat& format,
                   MmResult* error) {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(quietAlsaErrors); });
  snd_pcm_t* pcm = nullptr;
  int rc = snd_pcm_open(&pcm, name.c_str(), stream, SND_PCM_NONBLOCK);
  if (rc < 0) {
    DebugPrintf("KvNetClient: ALSA PCM \"%s\" cannot be opened: %s\n", name.c_str(),
                snd_strerror(rc));
    *error = MMSYSERR_NODRIVER;
    return nullptr;
  }
  rc = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                          format.channels, format.samplesPerSec, 1, kLatencyUs);
  if (rc < 0) {
    DebugPrintf("KvNetClient: ALSA PCM \"%s\" refuses the format: %s\n", name.c_str(),
                snd_strerror(rc));
    snd_pcm_close(pcm);
    *error = WAVERR_BADFORMAT;
    return nullptr;
  }
  return pcm;
}

// After an error from a transfer or a wait: recovers under- and overruns and suspends.
// False when the device is lost.
bool recover(snd_pcm_t* pcm, int err) {
  if (err == -EAGAIN) return true;
  return snd_pcm_recover(pcm, err, 1) >= 0;
}

class AlsaOut : public OutBackend {
 public:
  AlsaOut(snd_pcm_t* pcm, const WaveFormat& format) : m_pcm(pcm), m_frameBytes(format.blockAlign) {}
  ~AlsaOut() override {
    // Let what was handed over play out (bounded, a stuck device must not hold the close),
    // then release the device.
    if (snd_pcm_drain(m_pcm) == -EAGAIN) {
      for (int i = 0; i < kDrainPolls && snd_pcm_state(m_pcm) == SND_PCM_STATE_DRAINING; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kWaitSliceMs));
      }
    }
    snd_pcm_close(m_pcm);
  }
  int64_t Write(const uint8_t* data, uint32_t length, const CancelFn& cancelled) override {
    const snd_pcm_uframes_t total = length / m_frameBytes;
    snd_pcm_uframes_t done = 0;
    while (done < total) {
      if (cancelled()) break;
      const snd_pcm_sframes_t n = snd_pcm_writei(m_pcm, data + done * m_frameBytes, total - done);
      if (n > 0) {
        done += static_cast<snd_pcm_uframes_t>(n);
        continue;
      }
      if (n == -EAGAIN || n == 0) {
        const int rc = snd_pcm_wait(m_pcm, kWaitSliceMs);
        if (rc < 0 && !recover(m_pcm, rc)) return -1;
        continue;
      }
      if (!recover(m_pcm, static_cast<int>(n))) return -1;
    }
    return static_cast<int64_t>(done * m_frameBytes);
  }
  void Discard() override {
    snd_pcm_drop(m_pcm);
    snd_pcm_prepare(m_pcm);
  }

 private:
  snd_pcm_t* m_pcm;
  uint32_t m_frameBytes;
};

class AlsaIn : public InBackend {
 public:
  AlsaIn(snd_pcm_t* pcm, const WaveFormat& format) : m_pcm(pcm), m_frameBytes(format.blockAlign) {}
  ~AlsaIn() override { snd_pcm_close(m_pcm); }
  bool Start() override {
    snd_pcm_drop(m_pcm);
    if (snd_pcm_prepare(m_pcm) < 0) return false;
    const int rc = snd_pcm_start(m_pcm);
    return rc >= 0 || rc == -EBADFD;  // some plugins start on the first read
  }
  void Stop() override { snd_pcm_drop(m_pcm); }
  int64_t Read(uint8_t* data, uint32_t length, const CancelFn& cancelled) override {
    const snd_pcm_uframes_t total = length / m_frameBytes;
    snd_pcm_uframes_t done = 0;
    while (done < total) {
      if (cancelled()) break;
      const snd_pcm_sframes_t n = snd_pcm_readi(m_pcm, data + done * m_frameBytes, total - done);
      if (n > 0) {
        done += static_cast<snd_pcm_uframes_t>(n);
        continue;
      }
      if (n == -EAGAIN || n == 0) {
        const int rc = snd_pcm_wait(m_pcm, kWaitSliceMs);
        if (rc < 0 && !recover(m_pcm, rc)) return -1;
        continue;
      }
      if (!recover(m_pcm, static_cast<int>(n))) return -1;
      snd_pcm_start(m_pcm);
    }
    return static_cast<int64_t>(done * m_frameBytes);
  }

 private:
  snd_pcm_t* m_pcm;
  uint32_t m_frameBytes;
};

}  // namespace

std::unique_ptr<OutBackend> OpenAlsaOut(const std::string& name, const WaveFormat& format,
                                        MmResult* error) {
  snd_pcm_t* pcm = openPcm(name, SND_PCM_STREAM_PLAYBACK, format, error);
  if (pcm == nullptr) return nullptr;
  return std::make_unique<AlsaOut>(pcm, format);
}

std::unique_ptr<InBackend> OpenAlsaIn(const std::string& name, const WaveFormat& format,
                                      MmResult* error) {
  snd_pcm_t* pcm = openPcm(name, SND_PCM_STREAM_CAPTURE, format, error);
  if (pcm == nullptr) return nullptr;
  return std::make_unique<AlsaIn>(pcm, format);
}

}  // namespace kv::platform::wave
