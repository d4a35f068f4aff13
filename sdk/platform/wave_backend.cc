// Wave backend choice from a device name or the environment, real-time pacing and the
// delivery of device notifications.
#include "sdk/platform/wave_backend.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "sdk/platform/debug_output.h"

namespace kv::platform::wave {
namespace {

constexpr const char* kDefaultDevice = "alsa:default";
// Longest single sleep while pacing, so that a reset or close is noticed quickly.
constexpr auto kPaceSlice = std::chrono::milliseconds(5);

std::string chosenName(const char* name, const char* variable) {
  if (name != nullptr && *name != '\0') return name;
  const char* fromEnv = std::getenv(variable);
  if (fromEnv != nullptr && *fromEnv != '\0') return fromEnv;
  return kDefaultDevice;
}

double toneFrequency(const std::string& argument) {
  if (argument.empty()) return 440.0;
  char* end = nullptr;
  const double hz = std::strtod(argument.c_str(), &end);
  return (end != nullptr && *end == '\0' && hz > 0.0) ? hz : -1.0;
}

}  // namespace

DeviceName ParseDeviceName(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return {text, ""};
  return {text.substr(0, colon), text.substr(colon + 1)};
}

bool IsSupportedFormat(const WaveFormat& f) {
  return f.formatTag == WAVE_FORMAT_PCM && f.bitsPerSample == 16 &&
         (f.channels == 1 || f.channels == 2) && f.samplesPerSec >= 1000 &&
         f.samplesPerSec <= 192000 && f.blockAlign == f.channels * 2 &&
         f.avgBytesPerSec == f.samplesPerSec * f.blockAlign;
}

std::unique_ptr<OutBackend> OpenOutBackend(const char* name, const WaveFormat& format,
                                           MmResult* error) {
  const std::string text = chosenName(name, "KVNET_AUDIO_OUT");
  const DeviceName device = ParseDeviceName(text);
  *error = MMSYSERR_NOERROR;
  if (device.kind == "alsa") {
    return OpenAlsaOut(device.argument.empty() ? "default" : device.argument, format, error);
  }
  if (device.kind == "null") return OpenNullOut(format);
  if (device.kind == "wav" || device.kind == "wavfast") {
    return OpenWavOut(device.argument, device.kind == "wav", format, error);
  }
  DebugPrintf("KvNetClient: unknown wave-out device \"%s\"\n", text.c_str());
  *error = MMSYSERR_BADDEVICEID;
  return nullptr;
}

std::unique_ptr<InBackend> OpenInBackend(const char* name, const WaveFormat& format,
                                         MmResult* error) {
  const std::string text = chosenName(name, "KVNET_AUDIO_IN");
  const DeviceName device = ParseDeviceName(text);
  *error = MMSYSERR_NOERROR;
  if (device.kind == "alsa") {
    return OpenAlsaIn(device.argument.empty() ? "default" : device.argument, format, error);
  }
  if (device.kind == "null") return OpenSilenceIn(format);
  if (device.kind == "wav" || device.kind == "wavfast") {
    return OpenWavIn(device.argument, device.kind == "wav", format, error);
  }
  if (device.kind == "tone" || device.kind == "tonefast") {
    const double hz = toneFrequency(device.argument);
    if (hz > 0.0 && hz < format.samplesPerSec / 2.0) {
      return OpenToneIn(hz, device.kind == "tone", format);
    }
  }
  DebugPrintf("KvNetClient: unknown wave-in device \"%s\"\n", text.c_str());
  *error = MMSYSERR_BADDEVICEID;
  return nullptr;
}

bool RealTimePacer::Pace(uint32_t bytes, const CancelFn& cancelled) {
  if (!m_enabled) return !cancelled();
  const auto now = std::chrono::steady_clock::now();
  if (!m_started || m_next < now) {
    m_next = now;
    m_started = true;
  }
  m_next += std::chrono::microseconds(uint64_t{bytes} * 1000000u / m_bytesPerSecond);
  for (;;) {
    if (cancelled()) return false;
    const auto left = m_next - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return true;
    const std::chrono::steady_clock::duration slice = kPaceSlice;
    std::this_thread::sleep_for(std::min(left, slice));
  }
}

void Notify(const WaveCallback& callback, void* device, uint32_t message, uintptr_t param1) {
  switch (callback.kind) {
    case WaveCallback::Kind::kThread:
      if (!PostThreadMessage(callback.thread, message, reinterpret_cast<uintptr_t>(device),
                             param1)) {
        DebugPrintf("KvNetClient: wave notification %u could not be posted\n", message);
      }
      break;
    case WaveCallback::Kind::kFunction:
      if (callback.function != nullptr) {
        callback.function(device, message, callback.instance, param1, 0);
      }
      break;
    case WaveCallback::Kind::kNone:
      break;
  }
}

MmResult PrepareHeader(std::mutex& deviceMutex, WaveHeader* header) {
  if (header == nullptr || (header->data == nullptr && header->bufferLength != 0)) {
    return MMSYSERR_INVALPARAM;
  }
  std::lock_guard lock(deviceMutex);
  header->flags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MmResult UnprepareHeader(std::mutex& deviceMutex, WaveHeader* header) {
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(deviceMutex);
  if (header->flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  header->flags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

}  // namespace kv::platform::wave
