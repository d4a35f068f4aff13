// Wave audio types shared by playback (wave-out) and capture (wave-in): the PCM format, the
// buffer header, result codes, notification messages and where notifications go.
//
// Devices are named by a backend text, "kind[:argument]":
//   alsa[:NAME]     ALSA PCM NAME ("default" when omitted), real time
//   null            playback discards at the real-time rate; capture delivers silence
//   wav:PATH        playback writes a RIFF WAV file at the real-time rate; capture reads one
//                   (silence after its end)
//   wavfast:PATH    the same as fast as possible (tests)
//   tone[:HZ]       capture only: a sine tone (440 Hz when omitted), real time
//   tonefast[:HZ]   the same as fast as possible
// The default device (a null name) is taken from KVNET_AUDIO_OUT / KVNET_AUDIO_IN at every
// open, else "alsa:default".
#pragma once

#include <cstdint>

#include "sdk/platform/thread_messages.h"

namespace kv::platform {

using MmResult = uint32_t;
constexpr MmResult MMSYSERR_NOERROR = 0;
constexpr MmResult MMSYSERR_ERROR = 1;
constexpr MmResult MMSYSERR_BADDEVICEID = 2;
constexpr MmResult MMSYSERR_INVALHANDLE = 5;
constexpr MmResult MMSYSERR_NODRIVER = 6;
constexpr MmResult MMSYSERR_NOMEM = 7;
constexpr MmResult MMSYSERR_INVALFLAG = 10;
constexpr MmResult MMSYSERR_INVALPARAM = 11;
constexpr MmResult WAVERR_BADFORMAT = 32;
constexpr MmResult WAVERR_STILLPLAYING = 33;
constexpr MmResult WAVERR_UNPREPARED = 34;

// Notifications; lParam (param1) is the WaveHeader* for DONE and DATA.
constexpr uint32_t MM_WOM_OPEN = 955;
constexpr uint32_t MM_WOM_CLOSE = 956;
constexpr uint32_t MM_WOM_DONE = 957;
constexpr uint32_t MM_WIM_OPEN = 958;
constexpr uint32_t MM_WIM_CLOSE = 959;
constexpr uint32_t MM_WIM_DATA = 960;

// WaveHeader::flags
constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_INQUEUE = 0x10;

constexpr uint16_t WAVE_FORMAT_PCM = 1;

struct WaveFormat {
  uint16_t formatTag = WAVE_FORMAT_PCM;
  uint16_t channels = 1;
  uint32_t samplesPerSec = 8000;
  uint32_t avgBytesPerSec = 16000;
  uint16_t blockAlign = 2;
  uint16_t bitsPerSample = 16;
};

// The 8 kHz, 16-bit, mono PCM format the library plays and captures.
constexpr WaveFormat kPcm8kMono16{};

// One buffer handed to a device. The caller owns the header and its data; the device owns
// the header between write (or add) and its DONE/DATA notification. A buffer is played once:
// loops is kept for the caller but not acted on.
struct WaveHeader {
  uint8_t* data = nullptr;
  uint32_t bufferLength = 0;
  uint32_t bytesRecorded = 0;
  uintptr_t user = 0;
  uint32_t flags = 0;
  uint32_t loops = 0;
};

// A notification function: (device, message, instance, param1, param2). It runs on the
// device's own thread and may queue or add buffers, but must not reset or close the device.
using WaveProc = void (*)(void* device, uint32_t message, uintptr_t instance, uintptr_t param1,
                          uintptr_t param2);

// Where notifications go: nowhere, posted to a thread's message queue (wParam = device,
// lParam = param1), or a function.
struct WaveCallback {
  enum class Kind { kNone, kThread, kFunction };
  Kind kind = Kind::kNone;
  ThreadId thread = 0;
  WaveProc function = nullptr;
  uintptr_t instance = 0;

  static WaveCallback None() { return {}; }
  static WaveCallback Thread(ThreadId id) { return {Kind::kThread, id, nullptr, 0}; }
  static WaveCallback Function(WaveProc fn, uintptr_t instance) {
    return {Kind::kFunction, 0, fn, instance};
  }
};

}  // namespace kv::platform
