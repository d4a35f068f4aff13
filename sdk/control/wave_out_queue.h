// WaveOutQueue: talk's playback side, 16 blocks of 320 bytes (20 ms of 8 kHz 16-bit mono)
// queued to the wave-out device as free blocks allow; audio that finds no free block is
// dropped, so a slow device never holds up the network.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/platform/wave_out.h"

namespace kv {

class WaveOutQueue {
 public:
  static constexpr int kBlocks = 16;
  static constexpr uint32_t kBlockBytes = 320;

  WaveOutQueue();
  ~WaveOutQueue();
  WaveOutQueue(const WaveOutQueue&) = delete;
  WaveOutQueue& operator=(const WaveOutQueue&) = delete;

  // Opens the playback device (empty name: the default device). True when already open.
  bool Open(const std::string& deviceName = {});
  // Queues n bytes of PCM, a block of at most kBlockBytes at a time; what finds no free
  // block is dropped. Returns the bytes queued.
  int Write(const uint8_t* data, int n);
  void Close();
  bool IsOpen() const { return m_device != nullptr; }

 private:
  struct Block {
    platform::WaveHeader header;
    uint8_t data[kBlockBytes];
  };
  static void Callback(void* device, uint32_t message, uintptr_t instance, uintptr_t param1,
                       uintptr_t param2);

  platform::HWaveOut m_device = nullptr;
  std::unique_ptr<Block[]> m_blocks;
  std::deque<Block*> m_free;  // guarded by m_mutex
  std::vector<Block*> m_all;
  std::mutex m_mutex;
};

}  // namespace kv
