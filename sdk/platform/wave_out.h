// Wave-out: playback devices that take queued buffers and hand each back with a DONE
// notification once the device has taken its bytes. Each open device owns one thread,
// stopped and joined by waveOutClose.
#pragma once

#include "sdk/platform/wave_audio.h"

namespace kv::platform {

struct WaveOutDevice;
using HWaveOut = WaveOutDevice*;

// The default device name: KVNET_AUDIO_OUT, else "alsa:default".
constexpr const char* WAVE_MAPPER = nullptr;

// Opens the named device (see wave_audio.h) for format. Notifications: MM_WOM_OPEN now,
// MM_WOM_DONE per buffer (param1 = the header), MM_WOM_CLOSE at close.
MmResult waveOutOpen(HWaveOut* device, const char* deviceName, const WaveFormat& format,
                     const WaveCallback& callback);
// Marks a header usable with the device; its data must stay valid until unprepared.
MmResult waveOutPrepareHeader(HWaveOut device, WaveHeader* header);
// WAVERR_STILLPLAYING while the header is queued.
MmResult waveOutUnprepareHeader(HWaveOut device, WaveHeader* header);
// Queues a prepared header (bufferLength bytes from data) behind the ones already queued.
MmResult waveOutWrite(HWaveOut device, WaveHeader* header);
// Stops playback and hands back every queued header as done, in order, before returning.
// Not allowed from a notification function.
MmResult waveOutReset(HWaveOut device);
// WAVERR_STILLPLAYING while headers are queued; otherwise stops the device's thread,
// releases the device, sends MM_WOM_CLOSE and invalidates the handle.
// Not allowed from a notification function.
MmResult waveOutClose(HWaveOut device);

}  // namespace kv::platform
