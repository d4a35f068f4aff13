// The reordering store of the proprietary stream: datagrams that arrive ahead of their turn
// wait in a fixed pool of slots, found by sequence number. No allocation after construction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "sdk/sources/udp_datagram.h"

namespace kv {

class ReorderStore {
 public:
  static constexpr size_t kSlotCount = 256;
  // A slot holds any datagram the source accepts, so an early datagram never has to be
  // refused for its size (which would leave a gap that only a resynchronisation closes).
  static constexpr size_t kSlotSize = kUdpMaxDatagram;

  enum class PutResult { kStored, kTooLong, kDuplicate, kFull };

  ReorderStore();
  // False when the pool could not be allocated.
  bool IsValid() const { return m_pool != nullptr; }

  PutResult Put(uint32_t sequence, const uint8_t* bytes, size_t length, uint32_t tick);
  // The bytes stored under sequence (valid until the slot is reused), or null.
  const uint8_t* Take(uint32_t sequence, size_t* length);
  // The bytes stored under sequence, left in the store; null when absent.
  const uint8_t* Peek(uint32_t sequence, size_t* length) const;
  // Frees every datagram whose sequence number comes before `sequence` (serial order).
  void DropBefore(uint32_t sequence);
  void Empty();
  size_t Count() const { return m_count; }
  // How long the longest-waiting datagram has waited at tick `now` (0 when none waits).
  uint32_t OldestAge(uint32_t now) const;

  // Calls f(sequence, bytes, length) for every stored datagram, in slot order.
  template <typename F>
  void ForEach(F&& f) const {
    for (const Slot& s : m_slots) {
      if (s.inUse) f(s.sequence, static_cast<const uint8_t*>(s.bytes), size_t{s.length});
    }
  }

 private:
  struct Slot {
    uint32_t tick = 0;
    uint32_t inUse = 0;
    uint32_t length = 0;
    uint32_t sequence = 0;
    uint8_t* bytes = nullptr;
  };
  std::unique_ptr<uint8_t[]> m_pool;
  Slot m_slots[kSlotCount];
  size_t m_count = 0;
};

}  // namespace kv
