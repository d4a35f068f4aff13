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
    : sink_(sink), lossWaitMs_(lossWaitMs) {}

UdpParseResult UdpSequencer::Receive(const uint8_t* raw, size_t length, uint32_t now) {
  UdpDatagram d;
  const UdpParseResult result = ParseUdpDatagram(raw, length, &d);
  if (result != UdpParseResult::kOk || !store_.IsValid()) return result;
  onDatagram(d, raw, length, now);
  checkAge(now);
  return result;
}

void UdpSequencer::Poll(uint32_t now) { checkAge(now); }

void UdpSequencer::Reset() {
  track(0);
  tracking_ = false;
}

void UdpSequencer::discardAll() {
  counters_.discarded += store_.Count();
  store_.Empty();
  hasCandidate_ = false;
}

void UdpSequencer::discardBefore(uint32_t sequence) {
  const size_t count = store_.Count();
  store_.DropBefore(sequence);
  counters_.discarded += count - store_.Count();
}

void UdpSequencer::track(uint32_t streamId) {
  discardAll();
  tracking_ = true;
  synchronised_ = false;
  streamId_ = streamId;
  last_ = 0;
  hasCandidate_ = false;
  refused_ = false;
  std::fill(std::begin(seen_), std::end(seen_), Seen{});
}

void UdpSequencer::note(const UdpDatagram& d) {
  Seen& s = seen_[d.sequence % kSeenSize];
  s.sequence = d.sequence;
  s.known = 1;
  s.video = d.mediaKind == kUdpVideo ? 1 : 0;
  s.key = IsKeyVideo(d) ? 1 : 0;
}

void UdpSequencer::onDatagram(const UdpDatagram& d, const uint8_t* raw, size_t length,
                              uint32_t now) {
  if (synchronised_ && d.streamId == streamId_) {
    onInSequence(d, raw, length, now);
    return;
  }
  // A key piece of another stream means a new stream; anything else of another stream is
  // dropped.
  if (!tracking_ || (d.streamId != streamId_ && IsKeyVideo(d))) {
    track(d.streamId);
  } else if (d.streamId != streamId_) {
    ++counters_.unsynchronised;
    return;
  }
  onUnsynchronised(d, raw, length, now);
}

void UdpSequencer::onInSequence(const UdpDatagram& d, const uint8_t* raw, size_t length,
                                uint32_t now) {
  note(d);
  const int32_t ahead = static_cast<int32_t>(d.sequence - last_);
  if (ahead == 1) {
    deliver(d);
    last_ = d.sequence;
    drain();
  } else if (ahead <= 0) {
    ++counters_.late;
  } else {
    store(d, raw, length, now);
    if (store_.Count() >= kGiveUpCount) giveUp();
  }
}

void UdpSequencer::onUnsynchronised(const UdpDatagram& d, const uint8_t* raw, size_t length,
                                    uint32_t now) {
  note(d);
  if (IsKeyVideo(d)) {
    // After a refused start only a known beginning is taken: the rest of the refused key
    // picture must not hold up the next one.
    if (refused_ && !begins(d)) {
      ++counters_.unsynchronised;
      return;
    }
    if (!store(d, raw, length, now)) return;
    if (!hasCandidate_ || Before(d.sequence, candidate_)) {
      candidate_ = d.sequence;
      candidateTick_ = now;
      hasCandidate_ = true;
    }
  } else if (hasCandidate_ && Before(candidate_ - kGiveUpCount / 2, d.sequence)) {
    // What follows a waiting key piece is kept for when its picture is found to begin, and
    // so is what comes a little before it: an earlier piece may yet turn out to begin the
    // picture, with these between.
    store(d, raw, length, now);
  } else {
    ++counters_.unsynchronised;
  }
  // The earliest waiting key piece goes first: a later key picture that is known to begin
  // waits while the earlier one's beginning may still arrive.
  UdpDatagram lowest;
  if (hasCandidate_ && stored(candidate_, &lowest) && begins(lowest)) {
    synchroniseAt(candidate_);
  } else if (store_.Count() >= kGiveUpCount) {
    resumeAtWaitingKeyPicture(candidate_);
  }
}

bool UdpSequencer::store(const UdpDatagram& d, const uint8_t* raw, size_t length, uint32_t now) {
  switch (store_.Put(d.sequence, raw, length, now)) {
    case ReorderStore::PutResult::kStored:
      ++counters_.stored;
      return true;
    case ReorderStore::PutResult::kDuplicate:
      ++counters_.late;
      return false;
    case ReorderStore::PutResult::kTooLong:
    case ReorderStore::PutResult::kFull:
      break;
  }
  ++counters_.refused;
  return false;
}

bool UdpSequencer::begins(const UdpDatagram& d) const {
  if (!OpensUnit(d.fragment)) return false;
  if (StartsKeyPicture(d)) return true;
  // The video piece before it, looking past the audio a device may send between pieces.
  for (uint32_t back = 1; back <= kLookBack; ++back) {
    const uint32_t before = d.sequence - back;
    const Seen& s = seen_[before % kSeenSize];
    if (s.known == 0 || s.sequence != before) return false;
    if (s.video != 0) return s.key == 0;
  }
  return false;
}

bool UdpSequencer::stored(uint32_t sequence, UdpDatagram* out) const {
  size_t length = 0;
  const uint8_t* bytes = store_.Peek(sequence, &length);
  return bytes != nullptr && ParseUdpDatagram(bytes, length, out) == UdpParseResult::kOk;
}

void UdpSequencer::deliver(const UdpDatagram& d) {
  ++counters_.delivered;
  sink_.Deliver(d);
}

void UdpSequencer::drain() {
  size_t length = 0;
  while (const uint8_t* bytes = store_.Take(last_ + 1, &length)) {
    UdpDatagram next;
    if (ParseUdpDatagram(bytes, length, &next) != UdpParseResult::kOk) break;
    deliver(next);
    last_ = next.sequence;
  }
}

void UdpSequencer::synchroniseAt(uint32_t sequence) {
  hasCandidate_ = false;
  discardBefore(sequence);
  size_t length = 0;
  const uint8_t* bytes = store_.Take(sequence, &length);
  UdpDatagram key;
  // The slot's bytes stay valid: nothing is stored until the key has been handed on.
  if (bytes == nullptr) {
    discardAll();
    return;
  }
  if (ParseUdpDatagram(bytes, length, &key) != UdpParseResult::kOk || !sink_.Synchronise(key)) {
    ++counters_.discarded;
    discardAll();
    refused_ = true;
    return;
  }
  refused_ = false;
  synchronised_ = true;
  last_ = sequence;
  ++counters_.synchronisations;
  deliver(key);
  drain();
}

void UdpSequencer::giveUp() {
  ++counters_.gapsGivenUp;
  synchronised_ = false;
  resumeAtWaitingKeyPicture(last_ + 1);
}

void UdpSequencer::resumeAtWaitingKeyPicture(uint32_t from) {
  hasCandidate_ = false;
  // The key pieces waiting, in sequence: resume at the first that begins a key picture.
  uint32_t keys[ReorderStore::kSlotCount];
  size_t count = 0;
  store_.ForEach([&](uint32_t sequence, const uint8_t* bytes, size_t length) {
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
  if (lossWaitMs_ == 0 || store_.Count() == 0) return;
  if (synchronised_) {
    if (store_.OldestAge(now) >= lossWaitMs_) giveUp();
  } else if (hasCandidate_ && now - candidateTick_ >= lossWaitMs_) {
    // The earliest key piece's beginning is overdue.
    resumeAtWaitingKeyPicture(candidate_);
  }
}

}  // namespace kv
