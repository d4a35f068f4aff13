// The ordering of the proprietary stream.
//
// Why a key picture must be found by its beginning: a device marks every piece of a key
// picture as key. Synchronising at whichever key piece arrives first would start in the middle
// of a picture whenever its first piece was overtaken, and the first piece, arriving after,
// would be dropped as late: the decoder would then see slices without their parameter sets
// until the next key picture. So while not synchronised, key pieces and what follows them wait
// in the store until one is known to begin a key picture: by its own bytes, or because the
// datagram just before it is not a key piece.
#include "sdk/sources/udp_sequencer.h"

#include <algorithm>
#include <iterator>

namespace kv {
namespace {

// Serial order of 32-bit sequence numbers: a comes before b.
bool Before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

}  // namespace

UdpSequencer::UdpSequencer(IUdpSequenceSink& sink, uint32_t lossWaitMs)
    : m_sink(sink), m_lossWaitMs(lossWaitMs) {}

UdpParseResult UdpSequencer::Receive(const uint8_t* raw, size_t length, uint32_t now) {
  UdpDatagram d;
  const UdpParseResult result = ParseUdpDatagram(raw, length, &d);
  if (result != UdpParseResult::kOk || !m_store.IsValid()) return result;
  onDatagram(d, raw, length, now);
  checkAge(now);
  return result;
}

void UdpSequencer::Poll(uint32_t now) { checkAge(now); }

void UdpSequencer::Reset() {
  track(0);
  m_tracking = false;
}

void UdpSequencer::discardAll() {
  m_counters.discarded += m_store.Count();
  m_store.Empty();
  m_hasCandidate = false;
}

void UdpSequencer::discardBefore(uint32_t sequence) {
  const size_t count = m_store.Count();
  m_store.DropBefore(sequence);
  m_counters.discarded += count - m_store.Count();
}

void UdpSequencer::track(uint32_t streamId) {
  discardAll();
  m_tracking = true;
  m_synchronised = false;
  m_streamId = streamId;
  m_last = 0;
  m_hasCandidate = false;
  m_refused = false;
  std::fill(std::begin(m_seen), std::end(m_seen), Seen{});
}

void UdpSequencer::note(const UdpDatagram& d) {
  Seen& s = m_seen[d.sequence % kSeenSize];
  s.sequence = d.sequence;
  s.known = 1;
  s.video = d.mediaKind == kUdpVideo ? 1 : 0;
  s.key = IsKeyVideo(d) ? 1 : 0;
}

void UdpSequencer::onDatagram(const UdpDatagram& d, const uint8_t* raw, size_t length,
                              uint32_t now) {
  if (m_synchronised && d.streamId == m_streamId) {
    onInSequence(d, raw, length, now);
    return;
  }
  // A key piece of another stream means a new stream; anything else of another stream is
  // dropped.
  if (!m_tracking || (d.streamId != m_streamId && IsKeyVideo(d))) {
    track(d.streamId);
  } else if (d.streamId != m_streamId) {
    ++m_counters.unsynchronised;
    return;
  }
  onUnsynchronised(d, raw, length, now);
}

void UdpSequencer::onInSequence(const UdpDatagram& d, const uint8_t* raw, size_t length,
                                uint32_t now) {
  note(d);
  const int32_t ahead = static_cast<int32_t>(d.sequence - m_last);
  if (ahead == 1) {
    deliver(d);
    m_last = d.sequence;
    drain();
  } else if (ahead <= 0) {
    ++m_counters.late;
  } else {
    store(d, raw, length, now);
    if (m_store.Count() >= kGiveUpCount) giveUp();
  }
}

void UdpSequencer::onUnsynchronised(const UdpDatagram& d, const uint8_t* raw, size_t length,
                                    uint32_t now) {
  note(d);
  if (IsKeyVideo(d)) {
    // After a refused start only a known beginning is taken: the rest of the refused key
    // picture must not hold up the next one.
    if (m_refused && !begins(d)) {
      ++m_counters.unsynchronised;
      return;
    }
    if (!store(d, raw, length, now)) return;
    if (!m_hasCandidate || Before(d.sequence, m_candidate)) {
      m_candidate = d.sequence;
      m_candidateTick = now;
      m_hasCandidate = true;
    }
  } else if (m_hasCandidate && Before(m_candidate - kGiveUpCount / 2, d.sequence)) {
    // What follows a waiting key piece is kept for when its picture is found to begin, and
    // so is what comes a little before it: an earlier piece may yet turn out to begin the
    // picture, with these between.
    store(d, raw, length, now);
  } else {
    ++m_counters.unsynchronised;
  }
  // The earliest waiting key piece goes first: a later key picture that is known to begin
  // waits while the earlier one's beginning may still arrive.
  UdpDatagram lowest;
  if (m_hasCandidate && stored(m_candidate, &lowest) && begins(lowest)) {
    synchroniseAt(m_candidate);
  } else if (m_store.Count() >= kGiveUpCount) {
    resumeAtWaitingKeyPicture(m_candidate);
  }
}

bool UdpSequencer::store(const UdpDatagram& d, const uint8_t* raw, size_t length, uint32_t now) {
  switch (m_store.Put(d.sequence, raw, length, now)) {
    case ReorderStore::PutResult::kStored:
      ++m_counters.stored;
      return true;
    case ReorderStore::PutResult::kDuplicate:
      ++m_counters.late;
      return false;
    case ReorderStore::PutResult::kTooLong:
    case ReorderStore::PutResult::kFull:
      break;
  }
  ++m_counters.refused;
  return false;
}

bool UdpSequencer::begins(const UdpDatagram& d) const {
  if (!OpensUnit(d.fragment)) return false;
  if (StartsKeyPicture(d)) return true;
  // The video piece before it, looking past the audio a device may send between pieces.
  for (uint32_t back = 1; back <= kLookBack; ++back) {
    const uint32_t before = d.sequence - back;
    const Seen& s = m_seen[before % kSeenSize];
    if (s.known == 0 || s.sequence != before) return false;
    if (s.video != 0) return s.key == 0;
  }
  return false;
}

bool UdpSequencer::stored(uint32_t sequence, UdpDatagram* out) const {
  size_t length = 0;
  const uint8_t* bytes = m_store.Peek(sequence, &length);
  return bytes != nullptr && ParseUdpDatagram(bytes, length, out) == UdpParseResult::kOk;
}

void UdpSequencer::deliver(const UdpDatagram& d) {
  ++m_counters.delivered;
  m_sink.Deliver(d);
}

void UdpSequencer::drain() {
  size_t length = 0;
  while (const uint8_t* bytes = m_store.Take(m_last + 1, &length)) {
    UdpDatagram next;
    if (ParseUdpDatagram(bytes, length, &next) != UdpParseResult::kOk) break;
    deliver(next);
    m_last = next.sequence;
  }
}

void UdpSequencer::synchroniseAt(uint32_t sequence) {
  m_hasCandidate = false;
  discardBefore(sequence);
  size_t length = 0;
  const uint8_t* bytes = m_store.Take(sequence, &length);
  UdpDatagram key;
  // The slot's bytes stay valid: nothing is stored until the key has been handed on.
  if (bytes == nullptr) {
    discardAll();
    return;
  }
  if (ParseUdpDatagram(bytes, length, &key) != UdpParseResult::kOk || !m_sink.Synchronise(key)) {
    ++m_counters.discarded;
    discardAll();
    m_refused = true;
    return;
  }
  m_refused = false;
  m_synchronised = true;
  m_last = sequence;
  ++m_counters.synchronisations;
  deliver(key);
  drain();
}

void UdpSequencer::giveUp() {
  ++m_counters.gapsGivenUp;
  m_synchronised = false;
  resumeAtWaitingKeyPicture(m_last + 1);
}

void UdpSequencer::resumeAtWaitingKeyPicture(uint32_t from) {
  m_hasCandidate = false;
  // The key pieces waiting, in sequence: resume at the first that begins a key picture.
  uint32_t keys[ReorderStore::kSlotCount];
  size_t count = 0;
  m_store.ForEach([&](uint32_t sequence, const uint8_t* bytes, size_t length) {
    UdpDatagram d;
    if (ParseUdpDatagram(bytes, length, &d) == UdpParseResult::kOk && IsKeyVideo(d)) {
      keys[count++] = sequence;
    }
  });
  // Distances from `from` order them whatever numbers a damaged stream put in the store.
  std::sort(keys, keys + count, [from](uint32_t a, uint32_t b) { return a - from < b - from; });
  for (size_t i = 0; i < count; ++i) {
    UdpDatagram d;
    if (stored(keys[i], &d) && begins(d)) {
      synchroniseAt(keys[i]);
      return;
    }
  }
  // None does: what waits cannot be decoded; the next key picture starts afresh.
  discardAll();
}

void UdpSequencer::checkAge(uint32_t now) {
  if (m_lossWaitMs == 0 || m_store.Count() == 0) return;
  if (m_synchronised) {
    if (m_store.OldestAge(now) >= m_lossWaitMs) giveUp();
  } else if (m_hasCandidate && now - m_candidateTick >= m_lossWaitMs) {
    // The earliest key piece's beginning is overdue.
    resumeAtWaitingKeyPicture(m_candidate);
  }
}

}  // namespace kv
