// WaveInQueue: talk's capture side. The wave-in device fills 16 blocks of 20 ms (320 bytes of
// 8 kHz 16-bit mono); its callback copies each into one of 16 queue slots, overwriting the
// newest queued slot when all are taken, and the send worker takes them oldest first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/platform/event.h"
#include "sdk/platform/wave_in.h"

namespace kv {

class WaveInQueue {
 public:
  static constexpr int kBlocks = 16;
  static constexpr uint32_t kBlockBytes = 320;
  static constexpr size_t kSlotBytes = 352;

  WaveInQueue();
  ~WaveInQueue();
  WaveInQueue(const WaveInQueue&) = delete;
  WaveInQueue& operator=(const WaveInQueue&) = delete;

  // Opens the capture device (empty name: the default device) and starts capturing. True when
  // already open.
  bool Open(const std::string& deviceName = {});
  // Takes the oldest captured block into out (kBlockBytes), waiting at most waitMs for one.
  bool Take(uint8_t* out, uint32_t waitMs = 10);
  void Close();
  bool IsOpen() const { return m_device != nullptr; }

 private:
  struct Block {
    platform::WaveHeader header;
    uint8_t data[kBlockBytes];
  };
  static void Callback(void* device, uint32_t message, uintptr_t instance, uintptr_t param1,
                       uintptr_t param2);
  void onData(platform::WaveHeader* header);

  platform::HWaveIn m_device = nullptr;
  std::unique_ptr<Block[]> m_blocks;
  std::unique_ptr<uint8_t[][kSlotBytes]> m_slots;
  std::deque<uint8_t*> m_free;    // guarded by m_mutex
  std::deque<uint8_t*> m_filled;  // guarded by m_mutex
  std::vector<platform::WaveHeader*> m_prepared;
  int m_held = 0;           // blocks the device holds; callback thread only after open
  bool m_stopping = false;  // set before the device is reset, so returned blocks stay out
  platform::Event m_dataReady{true, false};
  std::mutex m_mutex;
};

}  // namespace kv
