// The reordering store.
#include "sdk/sources/reorder_store.h"

#include <cstring>
#include <new>

namespace kv {

ReorderStore::ReorderStore() : pool_(new (std::nothrow) uint8_t[kSlotCount * kSlotSize]) {
  if (!pool_) return;
  for (size_t i = 0; i < kSlotCount; ++i) slots_[i].bytes = pool_.get() + i * kSlotSize;
}

ReorderStore::PutResult ReorderStore::Put(uint32_t sequence, const uint8_t* bytes, size_t length,
                                          uint32_t tick) {
  if (length > kSlotSize) return PutResult::kTooLong;
  Slot* free = nullptr;
  for (Slot& s : slots_) {
    if (s.inUse) {
      if (s.sequence == sequence) return PutResult::kDuplicate;
    } else if (free == nullptr) {
      free = &s;
    }
  }
  if (free == nullptr || !pool_) return PutResult::kFull;
  free->tick = tick;
  free->inUse = 1;
  free->length = static_cast<uint32_t>(length);
  free->sequence = sequence;
  std::memcpy(free->bytes, bytes, length);
  ++count_;
  return PutResult::kStored;
}

const uint8_t* ReorderStore::Take(uint32_t sequence, size_t* length) {
  if (count_ == 0) return nullptr;
  for (Slot& s : slots_) {
    if (s.inUse && s.sequence == sequence) {
      s.inUse = 0;
      --count_;
      *length = s.length;
      return s.bytes;
    }
  }
  return nullptr;
}

const uint8_t* ReorderStore::Peek(uint32_t sequence, size_t* length) const {
  if (count_ == 0) return nullptr;
  for (const Slot& s : slots_) {
    if (s.inUse && s.sequence == sequence) {
      *length = s.length;
      return s.bytes;
    }
  }
  return nullptr;
}

void ReorderStore::DropBefore(uint32_t sequence) {
  for (Slot& s : slots_) {
    if (s.inUse && static_cast<int32_t>(s.sequence - sequence) < 0) {
      s.inUse = 0;
      --count_;
    }
  }
}

void ReorderStore::Empty() {
  for (Slot& s : slots_) s.inUse = 0;
  count_ = 0;
}

uint32_t ReorderStore::OldestAge(uint32_t now) const {
  uint32_t oldest = 0;
  if (count_ == 0) return 0;
  for (const Slot& s : slots_) {
    if (s.inUse && now - s.tick > oldest) oldest = now - s.tick;
  }
  return oldest;
}

}  // namespace kv
