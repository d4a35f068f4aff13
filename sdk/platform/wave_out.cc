// Wave-out devices: a queue of headers played in order by the device's own thread through
// its backend, with reset and close carried out by that thread on request.
#include "sdk/platform/wave_out.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "sdk/platform/wave_backend.h"

namespace kv::platform {

struct WaveOutDevice {
  std::unique_ptr<wave::OutBackend> backend;
  WaveCallback callback;
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<WaveHeader*> queue;  // guarded by mutex
  std::atomic<bool> resetRequested{false};
  std::atomic<bool> quit{false};
  bool resetDone = false;   // guarded by mutex
  std::mutex controlMutex;  // one reset or close at a time
  std::thread thread;

  void run();
  // Hands back every queued header, in order. Called by the device thread without the lock.
  void returnAll();
  bool onDeviceThread() const { return std::this_thread::get_id() == thread.get_id(); }
};

void WaveOutDevice::run() {
  const wave::CancelFn cancelled = [this] { return resetRequested.load() || quit.load(); };
  std::unique_lock lock(mutex);
  for (;;) {
    cv.wait(lock, [&] { return quit || resetRequested || !queue.empty(); });
    if (resetRequested) {
      lock.unlock();
      backend->Discard();
      returnAll();
      lock.lock();
      resetRequested = false;
      resetDone = true;
      cv.notify_all();
      continue;
    }
    if (quit) return;
    WaveHeader* header = queue.front();
    lock.unlock();
    const int64_t taken = backend->Write(header->data, header->bufferLength, cancelled);
    lock.lock();
    // A cancelled buffer stays at the front: the reset hands it back with the rest.
    if (resetRequested || (quit && taken < static_cast<int64_t>(header->bufferLength))) continue;
    queue.pop_front();
    header->flags = (header->flags & ~WHDR_INQUEUE) | WHDR_DONE;
    lock.unlock();
    wave::Notify(callback, this, MM_WOM_DONE, reinterpret_cast<uintptr_t>(header));
    lock.lock();
  }
}

void WaveOutDevice::returnAll() {
  std::vector<WaveHeader*> returned;
  {
    std::lock_guard lock(mutex);
    for (WaveHeader* header : queue) {
      header->flags = (header->flags & ~WHDR_INQUEUE) | WHDR_DONE;
      returned.push_back(header);
    }
    queue.clear();
  }
  for (WaveHeader* header : returned) {
    wave::Notify(callback, this, MM_WOM_DONE, reinterpret_cast<uintptr_t>(header));
  }
}

MmResult waveOutOpen(HWaveOut* device, const char* deviceName, const WaveFormat& format,
                     const WaveCallback& callback) {
  if (device == nullptr) return MMSYSERR_INVALPARAM;
  *device = nullptr;
  if (!wave::IsSupportedFormat(format)) return WAVERR_BADFORMAT;
  MmResult error = MMSYSERR_NOERROR;
  std::unique_ptr<wave::OutBackend> backend = wave::OpenOutBackend(deviceName, format, &error);
  if (!backend) return error != MMSYSERR_NOERROR ? error : MMSYSERR_ERROR;
  auto opened = std::make_unique<WaveOutDevice>();
  opened->backend = std::move(backend);
  opened->callback = callback;
  try {
    opened->thread = std::thread(&WaveOutDevice::run, opened.get());
  } catch (const std::system_error&) {
    return MMSYSERR_NOMEM;
  }
  *device = opened.release();
  wave::Notify(callback, *device, MM_WOM_OPEN, 0);
  return MMSYSERR_NOERROR;
}

MmResult waveOutPrepareHeader(HWaveOut device, WaveHeader* header) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  return wave::PrepareHeader(device->mutex, header);
}

MmResult waveOutUnprepareHeader(HWaveOut device, WaveHeader* header) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  return wave::UnprepareHeader(device->mutex, header);
}

MmResult waveOutWrite(HWaveOut device, WaveHeader* header) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(device->mutex);
  if (!(header->flags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (header->flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  if (device->quit) return MMSYSERR_ERROR;
  header->flags = (header->flags & ~WHDR_DONE) | WHDR_INQUEUE;
  device->queue.push_back(header);
  device->cv.notify_all();
  return MMSYSERR_NOERROR;
}

MmResult waveOutReset(HWaveOut device) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  if (device->onDeviceThread()) return MMSYSERR_ERROR;
  std::lock_guard control(device->controlMutex);
  std::unique_lock lock(device->mutex);
  device->resetDone = false;
  device->resetRequested = true;
  device->cv.notify_all();
  device->cv.wait(lock, [&] { return device->resetDone; });
  return MMSYSERR_NOERROR;
}

MmResult waveOutClose(HWaveOut device) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  if (device->onDeviceThread()) return MMSYSERR_ERROR;
  {
    std::lock_guard control(device->controlMutex);
    std::lock_guard lock(device->mutex);
    if (!device->queue.empty()) return WAVERR_STILLPLAYING;
    device->quit = true;
    device->cv.notify_all();
  }
  device->thread.join();
  std::unique_ptr<WaveOutDevice> owned(device);
  owned->backend.reset();  // finishes the output (drain, WAV sizes)
  wave::Notify(owned->callback, device, MM_WOM_CLOSE, 0);
  return MMSYSERR_NOERROR;
}

}  // namespace kv::platform
