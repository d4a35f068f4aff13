// CAVSound: priming, the message loop that recycles finished buffers, and the stop sequence
// that closes the device only after every buffer came back.
#include "sdk/media/av_sound.h"

#include <cstring>
#include <new>

#include "sdk/media/conduit.h"
#include "sdk/platform/clock.h"
#include "sdk/state/client_state.h"

namespace kv {
namespace {

// After a read that failed before its time-out (conduit aborted, or too few bytes yet),
// pause this long so that the fill loop cannot spin.
constexpr uint32_t kFailedReadPauseMs = 5;

}  // namespace

CAVSound::CAVSound(SoundState* sound, CIConduit* audioConduit)
    : m_sound(sound), m_audioConduit(audioConduit) {}

CAVSound::~CAVSound() {
  if (HasHandle()) Stop();
  FreeBuffers();
}

int CAVSound::PrepareBuffers() {
  m_stop = 0;
  m_stopEvent.Reset();
  for (int i = 0; i < kBufferCount; ++i) {
    m_headers[i] = platform::WaveHeader{};
    m_blocks[i].reset(new (std::nothrow) uint8_t[kBlockBytes]);
    if (!m_blocks[i]) return 0;
    m_headers[i].data = m_blocks[i].get();
    m_headers[i].bufferLength = kBlockBytes;
  }
  return 1;
}

void CAVSound::FreeBuffers() {
  for (int i = 0; i < kBufferCount; ++i) {
    m_blocks[i].reset();
    m_headers[i] = platform::WaveHeader{};
  }
}

bool CAVSound::PostStopMessage(platform::ThreadId thread) {
  return platform::PostThreadMessage(thread, WM_SOUND_STOP, 0, 0);
}

void CAVSound::Stop() {
  m_stop = 1;
  m_stopEvent.Set();
  if (!HasHandle()) return;
  const platform::ThreadId thread = GetThreadId();
  // A thread that already ended (no device) needs no message.
  bool posted = !IsRunning() || PostStopMessage(thread);
  for (int retry = 0; !posted && retry < kStopPostRetries; ++retry) {
    platform::Sleep(kStopPostIntervalMs);
    posted = !IsRunning() || PostStopMessage(thread);
  }
  WaitForEnd(platform::kInfinite);
  CloseHandle();
}

bool CAVSound::fillBuffer(platform::WaveHeader* header) {
  for (;;) {
    if (m_stop) return false;
    if (m_audioConduit == nullptr) {
      m_stopEvent.Wait(kReadTimeoutMs);
      continue;
    }
    const uint32_t started = platform::GetTickCount();
    if (m_audioConduit->Read(header->data, kPlayBytes, nullptr, kReadTimeoutMs) ==
        static_cast<int32_t>(kPlayBytes)) {
      return true;
    }
    if (platform::GetTickCount() - started < kReadTimeoutMs) m_stopEvent.Wait(kFailedReadPauseMs);
  }
}

bool CAVSound::isOwnHeader(const platform::WaveHeader* header) const {
  for (const platform::WaveHeader& own : m_headers) {
    if (&own == header) return true;
  }
  return false;
}

void CAVSound::closeDevice() {
  for (platform::WaveHeader& header : m_headers) {
    if (header.flags & platform::WHDR_PREPARED) platform::waveOutUnprepareHeader(m_device, &header);
  }
  for (;;) {
    const platform::MmResult result = platform::waveOutClose(m_device);
    if (result == platform::MMSYSERR_NOERROR || result == platform::MMSYSERR_INVALHANDLE) break;
    // Buffers still queued cannot be waited for here: hand them back first.
    if (result == platform::WAVERR_STILLPLAYING) platform::waveOutReset(m_device);
    platform::Sleep(1);
  }
  m_device = nullptr;
}

bool CAVSound::beginClosing(int outstanding) {
  m_closing = 1;
  if (m_device == nullptr) return true;
  if (outstanding > 0) {
    // Every queued buffer comes back as MM_WOM_DONE; the last one closes the device.
    while (platform::waveOutReset(m_device) != platform::MMSYSERR_NOERROR) platform::Sleep(1);
    return false;
  }
  closeDevice();
  return true;
}

void CAVSound::messageLoop(int outstanding) {
  for (;;) {
    platform::ThreadMessage msg;
    if (!platform::GetThreadMessage(&msg, kStopWatchMs)) {
      // The stop message may never come (it could not be posted): act on the flag alone.
      if (m_stop && !m_closing && beginClosing(outstanding)) return;
      continue;
    }
    switch (msg.message) {
      case platform::MM_WOM_DONE: {
        auto* header = reinterpret_cast<platform::WaveHeader*>(msg.lParam);
        if (!isOwnHeader(header)) break;
        --outstanding;
        if (m_closing) {
          if (outstanding <= 0) {
            closeDevice();
            return;
          }
          break;
        }
        if (!fillBuffer(header)) break;  // stopping: the buffer is not resubmitted
        header->bufferLength = kPlayBytes;
        if (platform::waveOutPrepareHeader(m_device, header) == platform::MMSYSERR_NOERROR &&
            platform::waveOutWrite(m_device, header) == platform::MMSYSERR_NOERROR) {
          ++outstanding;
        }
        break;
      }
      case platform::MM_WOM_CLOSE:
        m_device = nullptr;
        return;
      case WM_SOUND_STOP:
        if (beginClosing(outstanding)) return;
        break;
      default:
        break;
    }
  }
}

int CAVSound::ThreadMain() {
  ThreadStarted();
  m_closing = 0;
  m_device = nullptr;
  const platform::MmResult opened =
      platform::waveOutOpen(&m_device, platform::WAVE_MAPPER, platform::kPcm8kMono16,
                            platform::WaveCallback::Thread(platform::CurrentThreadId()));
  if (opened == platform::MMSYSERR_NOERROR) {
    int outstanding = 0;
    for (platform::WaveHeader& header : m_headers) {
      header.bufferLength = kPlayBytes;
      header.loops = 1;
      header.flags = 0;
      if (platform::waveOutPrepareHeader(m_device, &header) != platform::MMSYSERR_NOERROR) break;
      if (!fillBuffer(&header)) break;
      if (platform::waveOutWrite(m_device, &header) == platform::MMSYSERR_NOERROR) ++outstanding;
    }
    if (outstanding > 0) messageLoop(outstanding);
    if (m_device != nullptr) closeDevice();
  } else {
    m_device = nullptr;
  }
  if (m_sound != nullptr) m_sound->ended = 1;
  if (m_audioConduit != nullptr) m_audioConduit->Clear();
  return 0;
}

}  // namespace kv
