// Wave-in devices: the device's own thread fills queued headers from its backend in slices
// of 20 ms, and carries out start, stop, reset and close on request.
#include "sdk/platform/wave_in.h"

#include <algorithm>
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
namespace {

enum class Command { kNone, kStart, kStop, kReset, kQuit };

}  // namespace

struct WaveInDevice {
  std::unique_ptr<wave::InBackend> backend;
  WaveCallback callback;
  uint32_t sliceBytes = 320;
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<WaveHeader*> queue;  // guarded by mutex
  std::atomic<Command> command{Command::kNone};
  MmResult commandResult = MMSYSERR_NOERROR;  // guarded by mutex
  bool capturing = false;                     // device thread only
  std::mutex controlMutex;                    // one command at a time
  std::thread thread;

  void run();
  // Hands back the front header when full or when forced with what it holds.
  void returnFront(bool force);
  void returnAll();
  void execute(Command c);
  MmResult request(Command c);
  bool onDeviceThread() const { return std::this_thread::get_id() == thread.get_id(); }
};

void WaveInDevice::run() {
  const wave::CancelFn cancelled = [this] { return command.load() != Command::kNone; };
  std::unique_lock lock(mutex);
  for (;;) {
    cv.wait(lock, [&] { return command != Command::kNone || (capturing && !queue.empty()); });
    const Command c = command.load();
    if (c != Command::kNone) {
      lock.unlock();
      execute(c);
      lock.lock();
      command = Command::kNone;
      cv.notify_all();
      if (c == Command::kQuit) return;
      continue;
    }
    WaveHeader* header = queue.front();
    const uint32_t room = header->bufferLength - header->bytesRecorded;
    lock.unlock();
    int64_t got = 0;
    if (room > 0) {
      got = backend->Read(header->data + header->bytesRecorded, std::min(room, sliceBytes),
                          cancelled);
    }
    if (got < 0) {
      // The device is lost: capture ends; buffers stay queued until reset.
      backend->Stop();
      capturing = false;
    } else {
      header->bytesRecorded += static_cast<uint32_t>(got);
      if (header->bytesRecorded == header->bufferLength) returnFront(false);
    }
    lock.lock();
  }
}

void WaveInDevice::returnFront(bool force) {
  WaveHeader* header = nullptr;
  {
    std::lock_guard lock(mutex);
    if (queue.empty()) return;
    header = queue.front();
    if (!force && header->bytesRecorded < header->bufferLength) return;
    if (force && header->bytesRecorded == 0) return;
    queue.pop_front();
    header->flags = (header->flags & ~WHDR_INQUEUE) | WHDR_DONE;
  }
  wave::Notify(callback, this, MM_WIM_DATA, reinterpret_cast<uintptr_t>(header));
}

void WaveInDevice::returnAll() {
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
    wave::Notify(callback, this, MM_WIM_DATA, reinterpret_cast<uintptr_t>(header));
  }
}

void WaveInDevice::execute(Command c) {
  MmResult result = MMSYSERR_NOERROR;
  switch (c) {
    case Command::kStart:
      if (!capturing) {
        capturing = backend->Start();
        if (!capturing) result = MMSYSERR_ERROR;
      }
      break;
    case Command::kStop:
      if (capturing) backend->Stop();
      capturing = false;
      returnFront(true);
      break;
    case Command::kReset:
      if (capturing) backend->Stop();
      capturing = false;
      returnAll();
      break;
    case Command::kQuit:
      if (capturing) backend->Stop();
      capturing = false;
      break;
    case Command::kNone:
      break;
  }
  std::lock_guard lock(mutex);
  commandResult = result;
}

MmResult WaveInDevice::request(Command c) {
  std::lock_guard control(controlMutex);
  std::unique_lock lock(mutex);
  if (c == Command::kQuit && !queue.empty()) return WAVERR_STILLPLAYING;
  command = c;
  cv.notify_all();
  cv.wait(lock, [&] { return command == Command::kNone; });
  return commandResult;
}

MmResult waveInOpen(HWaveIn* device, const char* deviceName, const WaveFormat& format,
                    const WaveCallback& callback) {
  if (device == nullptr) return MMSYSERR_INVALPARAM;
  *device = nullptr;
  if (!wave::IsSupportedFormat(format)) return WAVERR_BADFORMAT;
  MmResult error = MMSYSERR_NOERROR;
  std::unique_ptr<wave::InBackend> backend = wave::OpenInBackend(deviceName, format, &error);
  if (!backend) return error != MMSYSERR_NOERROR ? error : MMSYSERR_ERROR;
  auto opened = std::make_unique<WaveInDevice>();
  opened->backend = std::move(backend);
  opened->callback = callback;
  // 20 ms slices, whole frames.
  opened->sliceBytes = std::max<uint32_t>(
      format.blockAlign, format.avgBytesPerSec / 50 / format.blockAlign * format.blockAlign);
  try {
    opened->thread = std::thread(&WaveInDevice::run, opened.get());
  } catch (const std::system_error&) {
    return MMSYSERR_NOMEM;
  }
  *device = opened.release();
  wave::Notify(callback, *device, MM_WIM_OPEN, 0);
  return MMSYSERR_NOERROR;
}

MmResult waveInPrepareHeader(HWaveIn device, WaveHeader* header) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  return wave::PrepareHeader(device->mutex, header);
}

MmResult waveInUnprepareHeader(HWaveIn device, WaveHeader* header) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  return wave::UnprepareHeader(device->mutex, header);
}

MmResult waveInAddBuffer(HWaveIn device, WaveHeader* header) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr || header->bufferLength == 0) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(device->mutex);
  if (!(header->flags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (header->flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  header->flags = (header->flags & ~WHDR_DONE) | WHDR_INQUEUE;
  header->bytesRecorded = 0;
  device->queue.push_back(header);
  device->cv.notify_all();
  return MMSYSERR_NOERROR;
}

MmResult waveInStart(HWaveIn device) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  if (device->onDeviceThread()) return MMSYSERR_ERROR;
  return device->request(Command::kStart);
}

MmResult waveInStop(HWaveIn device) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  if (device->onDeviceThread()) return MMSYSERR_ERROR;
  return device->request(Command::kStop);
}

MmResult waveInReset(HWaveIn device) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  if (device->onDeviceThread()) return MMSYSERR_ERROR;
  return device->request(Command::kReset);
}

MmResult waveInClose(HWaveIn device) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  if (device->onDeviceThread()) return MMSYSERR_ERROR;
  const MmResult result = device->request(Command::kQuit);
  if (result != MMSYSERR_NOERROR) return result;
  device->thread.join();
  std::unique_ptr<WaveInDevice> owned(device);
  owned->backend.reset();
  wave::Notify(owned->callback, device, MM_WIM_CLOSE, 0);
  return MMSYSERR_NOERROR;
}

}  // namespace kv::platform
