// WaveInQueue over the platform's wave-in devices.
#include "sdk/control/wave_in_queue.h"

#include <cstring>

namespace kv {

using namespace kv::platform;

WaveInQueue::WaveInQueue()
    : blocks_(std::make_unique<Block[]>(kBlocks)),
      slots_(std::make_unique<uint8_t[][kSlotBytes]>(kBlocks)) {}

WaveInQueue::~WaveInQueue() { Close(); }

bool WaveInQueue::Open(const std::string& deviceName) {
  if (device_ != nullptr) return true;
  stopping_ = false;
  dataReady_.Reset();
  {
    std::lock_guard lock(mutex_);
    free_.clear();
    filled_.clear();
    for (int i = 0; i < kBlocks; ++i) free_.push_back(slots_[i]);
  }
  const char* name = deviceName.empty() ? WAVE_MAPPER_IN : deviceName.c_str();
  if (waveInOpen(&device_, name, kPcm8kMono16,
                 WaveCallback::Function(&WaveInQueue::Callback,
                                        reinterpret_cast<uintptr_t>(this))) != MMSYSERR_NOERROR) {
    device_ = nullptr;
    return false;
  }
  held_ = 0;
  for (int i = 0; i < kBlocks; ++i) {
    WaveHeader& header = blocks_[i].header;
    header = WaveHeader{};
    header.data = blocks_[i].data;
    header.bufferLength = kBlockBytes;
    if (waveInPrepareHeader(device_, &header) != MMSYSERR_NOERROR) continue;
    prepared_.push_back(&header);
    if (waveInAddBuffer(device_, &header) == MMSYSERR_NOERROR) ++held_;
  }
  if (waveInStart(device_) != MMSYSERR_NOERROR) {
    Close();
    return false;
  }
  return true;
}

void WaveInQueue::Callback(void*, uint32_t message, uintptr_t instance, uintptr_t param1,
                           uintptr_t) {
  if (message != MM_WIM_DATA) return;
  reinterpret_cast<WaveInQueue*>(instance)->onData(reinterpret_cast<WaveHeader*>(param1));
}

void WaveInQueue::onData(WaveHeader* header) {
  {
    std::lock_guard lock(mutex_);
    uint8_t* slot = nullptr;
    if (!free_.empty()) {
      slot = free_.back();
      free_.pop_back();
    } else if (!filled_.empty()) {
      slot = filled_.back();  // the newest queued audio is overwritten
      filled_.pop_back();
    }
    if (slot != nullptr) {
      const uint32_t n = header->bytesRecorded < kBlockBytes ? header->bytesRecorded : kBlockBytes;
      std::memcpy(slot, header->data, n);
      std::memset(slot + n, 0, kBlockBytes - n);
      filled_.push_back(slot);
    }
    --held_;
    dataReady_.Set();
    if (stopping_) return;
  }
  header->bufferLength = kBlockBytes;
  if (waveInAddBuffer(device_, header) == MMSYSERR_NOERROR) {
    std::lock_guard lock(mutex_);
    ++held_;
  }
}

bool WaveInQueue::Take(uint8_t* out, uint32_t waitMs) {
  {
    std::lock_guard lock(mutex_);
    if (filled_.empty()) dataReady_.Reset();
  }
  if (dataReady_.Wait(waitMs) != kWaitObject0) return false;
  std::lock_guard lock(mutex_);
  if (filled_.empty()) {
    dataReady_.Reset();
    return false;
  }
  uint8_t* slot = filled_.front();
  filled_.pop_front();
  std::memcpy(out, slot, kBlockBytes);
  free_.push_back(slot);
  if (filled_.empty()) dataReady_.Reset();
  return true;
}

void WaveInQueue::Close() {
  if (device_ == nullptr) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  waveInReset(device_);
  for (WaveHeader* header : prepared_) waveInUnprepareHeader(device_, header);
  prepared_.clear();
  waveInClose(device_);
  device_ = nullptr;
}

}  // namespace kv
