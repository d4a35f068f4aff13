// WaveOutQueue over the platform's wave-out devices.
#include "sdk/control/wave_out_queue.h"

#include <cstring>

namespace kv {

using namespace kv::platform;

WaveOutQueue::WaveOutQueue() : m_blocks(std::make_unique<Block[]>(kBlocks)) {}

WaveOutQueue::~WaveOutQueue() { Close(); }

bool WaveOutQueue::Open(const std::string& deviceName) {
  if (m_device != nullptr) return true;
  const char* name = deviceName.empty() ? WAVE_MAPPER : deviceName.c_str();
  if (waveOutOpen(&m_device, name, kPcm8kMono16,
                  WaveCallback::Function(&WaveOutQueue::Callback,
                                         reinterpret_cast<uintptr_t>(this))) != MMSYSERR_NOERROR) {
    m_device = nullptr;
    return false;
  }
  std::lock_guard lock(m_mutex);
  m_free.clear();
  m_all.clear();
  for (int i = 0; i < kBlocks; ++i) {
    Block& block = m_blocks[i];
    block.header = WaveHeader{};
    block.header.data = block.data;
    block.header.bufferLength = kBlockBytes;
    block.header.user = reinterpret_cast<uintptr_t>(&block);
    if (waveOutPrepareHeader(m_device, &block.header) != MMSYSERR_NOERROR) continue;
    m_free.push_back(&block);
    m_all.push_back(&block);
  }
  return true;
}

int WaveOutQueue::Write(const uint8_t* data, int n) {
  if (m_device == nullptr || data == nullptr || n <= 0) return 0;
  int queued = 0;
  while (queued < n) {
    const uint32_t length = static_cast<uint32_t>(n - queued) < kBlockBytes
                                ? static_cast<uint32_t>(n - queued)
                                : kBlockBytes;
    Block* block = nullptr;
    {
      std::lock_guard lock(m_mutex);
      if (m_free.empty()) break;
      block = m_free.front();
      m_free.pop_front();
    }
    std::memcpy(block->data, data + queued, length);
    block->header.bufferLength = length;
    if (waveOutWrite(m_device, &block->header) != MMSYSERR_NOERROR) {
      std::lock_guard lock(m_mutex);
      m_free.push_back(block);
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
  std::lock_guard lock(self->m_mutex);
  self->m_free.push_back(block);
}

void WaveOutQueue::Close() {
  if (m_device == nullptr) return;
  waveOutReset(m_device);
  for (Block* block : m_all) waveOutUnprepareHeader(m_device, &block->header);
  m_all.clear();
  waveOutClose(m_device);
  m_device = nullptr;
  std::lock_guard lock(m_mutex);
  m_free.clear();
}

}  // namespace kv
