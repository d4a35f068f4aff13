// The reordering store.
#include "sdk/sources/reorder_store.h"

#include <cstring>
#include <new>

namespace kv {

ReorderStore::ReorderStore() : m_pool(new (std::nothrow) uint8_t[kSlotCount * kSlotSize]) {
  if (!m_pool) return;
  for (size_t i = 0; i < kSlotCount; ++i) m_slots[i].bytes = m_pool.get() + i * kSlotSize;
}

ReorderStore::PutResult ReorderStore::Put(uint32_t sequence, const uint8_t* bytes, size_t length,
                                          uint32_t tick) {
  if (length > kSlotSize) return PutResult::kTooLong;
  Slot* free = nullptr;
  for (Slot& s : m_slots) {
    if (s.inUse) {
      if (s.sequence == sequence) return PutResult::kDuplicate;
    } else if (free == nullptr) {
      free = &s;
    }
  }
  if (free == nullptr || !m_pool) return PutResult::kFull;
  free->tick = tick;
  free->inUse = 1;
  free->length = static_cast<uint32_t>(length);
  free->sequence = sequence;
  std::memcpy(free->bytes, bytes, length);
  ++m_count;
  return PutResult::kStored;
}

const uint8_t* ReorderStore::Take(uint32_t sequence, size_t* length) {
  if (m_count == 0) return nullptr;
  for (Slot& s : m_slots) {
    if (s.inUse && s.sequence == sequence) {
      s.inUse = 0;
      --m_count;
      *length = s.length;
      return s.bytes;
    }
  }
  return nullptr;
}

const uint8_t* ReorderStore::Peek(uint32_t sequence, size_t* length) const {
  if (m_count == 0) return nullptr;
  for (const Slot& s : m_slots) {
    if (s.inUse && s.sequence == sequence) {
      *length = s.length;
      return s.bytes;
    }
  }
  return nullptr;
}

void ReorderStore::DropBefore(uint32_t sequence) {
  for (Slot& s : m_slots) {
    if (s.inUse && static_cast<int32_t>(s.sequence - sequence) < 0) {
      s.inUse = 0;
      --m_count;
    }
  }
}

void ReorderStore::Empty() {
  for (Slot& s : m_slots) s.inUse = 0;
  m_count = 0;
}

uint32_t ReorderStore::OldestAge(uint32_t now) const {
  uint32_t oldest = 0;
  if (m_count == 0) return 0;
  for (const Slot& s : m_slots) {
    if (s.inUse && now - s.tick > oldest) oldest = now - s.tick;
  }
  return oldest;
}

}  // namespace kv
