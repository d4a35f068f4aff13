// Wave-in: capture devices that fill queued buffers in order and hand each back with a DATA
// notification carrying the recorded byte count. Each open device owns one thread, stopped
// and joined by waveInClose.
#pragma once

#include "sdk/platform/wave_audio.h"

namespace kv::platform {

struct WaveInDevice;
using HWaveIn = WaveInDevice*;

// The default capture device name: KVNET_AUDIO_IN, else "alsa:default".
constexpr const char* WAVE_MAPPER_IN = nullptr;

// Opens the named device (see wave_audio.h) for format, not yet capturing. Notifications:
// MM_WIM_OPEN now, MM_WIM_DATA per buffer (param1 = the header, bytesRecorded set),
// MM_WIM_CLOSE at close.
MmResult waveInOpen(HWaveIn* device, const char* deviceName, const WaveFormat& format,
                    const WaveCallback& callback);
MmResult waveInPrepareHeader(HWaveIn device, WaveHeader* header);
// WAVERR_STILLPLAYING while the header is queued.
MmResult waveInUnprepareHeader(HWaveIn device, WaveHeader* header);
// Queues a prepared header to be filled (bufferLength bytes) after the ones already queued.
MmResult waveInAddBuffer(HWaveIn device, WaveHeader* header);
// Starts capturing into the queued buffers (and any added later).
MmResult waveInStart(HWaveIn device);
// Stops capturing; a partly filled buffer is handed back, the others stay queued.
// Not allowed from a notification function.
MmResult waveInStop(HWaveIn device);
// Stops capturing and hands back every queued buffer, in order, before returning.
// Not allowed from a notification function.
MmResult waveInReset(HWaveIn device);
// WAVERR_STILLPLAYING while buffers are queued; otherwise stops the device's thread, releases
// the device, sends MM_WIM_CLOSE and invalidates the handle. Not allowed from a notification.
MmResult waveInClose(HWaveIn device);

}  // namespace kv::platform
