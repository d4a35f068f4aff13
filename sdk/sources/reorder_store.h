// The reordering store of the proprietary stream: datagrams that arrive ahead of their turn
// wait in a fixed pool of slots, found by sequence number. No allocation after construction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kv {

class ReorderStore {
 public:
  static constexpr size_t kSlotCount = 256;
  static constexpr size_t kSlotSize = 3072;

  enum class PutResult { kStored, kTooLong, kDuplicate, kFull };

  ReorderStore();
  // False when the pool could not be allocated.
  bool IsValid() const { return pool_ != nullptr; }

  PutResult Put(uint32_t sequence, const uint8_t* bytes, size_t length, uint32_t tick);
  // The bytes stored under sequence (valid until the slot is reused), or null.
  const uint8_t* Take(uint32_t sequence, size_t* length);
  void Empty();
  size_t Count() const { return count_; }

 private:
  struct Slot {
    uint32_t tick = 0;
    uint32_t inUse = 0;
    uint32_t length = 0;
    uint32_t sequence = 0;
    uint8_t* bytes = nullptr;
  };
  std::unique_ptr<uint8_t[]> pool_;
  Slot slots_[kSlotCount];
  size_t count_ = 0;
};

}  // namespace kv
