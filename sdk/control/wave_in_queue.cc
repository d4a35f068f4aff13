// WaveInQueue over the platform's wave-in devices.
#include "sdk/control/wave_in_queue.h"

#include <cstring>

namespace kv {

using namespace kv::platform;

WaveInQueue::WaveInQueue()
    : m_blocks(std::make_unique<Block[]>(kBlocks)),
      m_slots(std::make_unique<uint8_t[][kSlotBytes]>(kBlocks)) {}

WaveInQueue::~WaveInQueue() { Close(); }

bool WaveInQueue::Open(const std::string& deviceName) {
  if (m_device != nullptr) return true;
  m_stopping = false;
  m_dataReady.Reset();
  {
    std::lock_guard lock(m_mutex);
    m_free.clear();
    m_filled.clear();
    for (int i = 0; i < kBlocks; ++i) m_free.push_back(m_slots[i]);
  }
  const char* name = deviceName.empty() ? WAVE_MAPPER_IN : deviceName.c_str();
  if (waveInOpen(&m_device, name, kPcm8kMono16,
                 WaveCallback::Function(&WaveInQueue::Callback,
                                        reinterpret_cast<uintptr_t>(this))) != MMSYSERR_NOERROR) {
    m_device = nullptr;
    return false;
  }
  m_held = 0;
  for (int i = 0; i < kBlocks; ++i) {
    WaveHeader& header = m_blocks[i].header;
    header = WaveHeader{};
    header.data = m_blocks[i].data;
    header.bufferLength = kBlockBytes;
    if (waveInPrepareHeader(m_device, &header) != MMSYSERR_NOERROR) continue;
    m_prepared.push_back(&header);
    if (waveInAddBuffer(m_device, &header) == MMSYSERR_NOERROR) ++m_held;
  }
  if (waveInStart(m_device) != MMSYSERR_NOERROR) {
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
    std::lock_guard lock(m_mutex);
    uint8_t* slot = nullptr;
    if (!m_free.empty()) {
      slot = m_free.back();
      m_free.pop_back();
    } else if (!m_filled.empty()) {
      slot = m_filled.back();  // the newest queued audio is overwritten
      m_filled.pop_back();
    }
    if (slot != nullptr) {
      const uint32_t n = header->bytesRecorded < kBlockBytes ? header->bytesRecorded : kBlockBytes;
      std::memcpy(slot, header->data, n);
      std::memset(slot + n, 0, kBlockBytes - n);
      m_filled.push_back(slot);
    }
    --m_held;
    m_dataReady.Set();
    if (m_stopping) return;
  }
  header->bufferLength = kBlockBytes;
  if (waveInAddBuffer(m_device, header) == MMSYSERR_NOERROR) {
    std::lock_guard lock(m_mutex);
    ++m_held;
  }
}

bool WaveInQueue::Take(uint8_t* out, uint32_t waitMs) {
  {
    std::lock_guard lock(m_mutex);
    if (m_filled.empty()) m_dataReady.Reset();
  }
  if (m_dataReady.Wait(waitMs) != kWaitObject0) return false;
  std::lock_guard lock(m_mutex);
  if (m_filled.empty()) {
    m_dataReady.Reset();
    return false;
  }
  uint8_t* slot = m_filled.front();
  m_filled.pop_front();
  std::memcpy(out, slot, kBlockBytes);
  m_free.push_back(slot);
  if (m_filled.empty()) m_dataReady.Reset();
  return true;
}

void WaveInQueue::Close() {
  if (m_device == nullptr) return;
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  waveInReset(m_device);
  for (WaveHeader* header : m_prepared) waveInUnprepareHeader(m_device, header);
  m_prepared.clear();
  waveInClose(m_device);
  m_device = nullptr;
}

}  // namespace kv
