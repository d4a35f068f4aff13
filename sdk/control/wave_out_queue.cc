// WaveOutQueue over the platform's wave-out devices.
#include "sdk/control/wave_out_queue.h"

#include <cstring>

namespace kv {

using namespace kv::platform;

WaveOutQueue::WaveOutQueue() : blocks_(std::make_unique<Block[]>(kBlocks)) {}

WaveOutQueue::~WaveOutQueue() { Close(); }

bool WaveOutQueue::Open(const std::string& deviceName) {
  if (device_ != nullptr) return true;
  const char* name = deviceName.empty() ? WAVE_MAPPER : deviceName.c_str();
  if (waveOutOpen(&device_, name, kPcm8kMono16,
                  WaveCallback::Function(&WaveOutQueue::Callback,
                                         reinterpret_cast<uintptr_t>(this))) != MMSYSERR_NOERROR) {
    device_ = nullptr;
    return false;
  }
  std::lock_guard lock(mutex_);
  free_.clear();
  all_.clear();
  for (int i = 0; i < kBlocks; ++i) {
    Block& block = blocks_[i];
    block.header = WaveHeader{};
    block.header.data = block.data;
    block.header.bufferLength = kBlockBytes;
    block.header.user = reinterpret_cast<uintptr_t>(&block);
    if (waveOutPrepareHeader(device_, &block.header) != MMSYSERR_NOERROR) continue;
    free_.push_back(&block);
    all_.push_back(&block);
  }
  return true;
}

int WaveOutQueue::Write(const uint8_t* data, int n) {
  if (device_ == nullptr || data == nullptr || n <= 0) return 0;
  int queued = 0;
  while (queued < n) {
    const uint32_t length = static_cast<uint32_t>(n - queued) < kBlockBytes
                                ? static_cast<uint32_t>(n - queued)
                                : kBlockBytes;
    Block* block = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (free_.empty()) break;
      block = free_.front();
      free_.pop_front();
    }
    std::memcpy(block->data, data + queued, length);
    block->header.bufferLength = length;
    if (waveOutWrite(device_, &block->header) != MMSYSERR_NOERROR) {
      std::lock_guard lock(mutex_);
      free_.push_back(block);
      break;
    }
    queued += static_cast<int>(length);
  }
  return queued;
}

void WaveOutQueue::Callback(void*, uint32_t message, uintptr_t instance, uintptr_t param1,
                            uintptr_t) {
  if (message != MM_WOM_DONE) return;
  auto* self = reinterpret_cast<WaveOutQueue*>(instance);
  auto* block = reinterpret_cast<Block*>(reinterpret_cast<WaveHeader*>(param1)->user);
  std::lock_guard lock(self->mutex_);
  self->free_.push_back(block);
}

void WaveOutQueue::Close() {
  if (device_ == nullptr) return;
  waveOutReset(device_);
  for (Block* block : all_) waveOutUnprepareHeader(device_, &block->header);
  all_.clear();
  waveOutClose(device_);
  device_ = nullptr;
  std::lock_guard lock(mutex_);
  free_.clear();
}

}  // namespace kv
