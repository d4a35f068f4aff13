// The ordering of the proprietary stream: checks each datagram's header, hands the datagrams
// of one stream on in sequence (early ones wait in the reordering store), synchronises where a
// key picture begins, and gives up a gap once 128 datagrams wait behind it or, when asked,
// once it is older than a set time. It has no socket, clock, client or file: the owner passes
// each datagram with its arrival tick and gets the results through IUdpSequenceSink.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/sources/reorder_store.h"
#include "sdk/sources/udp_datagram.h"

namespace kv {

class IUdpSequenceSink {
 public:
  virtual ~IUdpSequenceSink() = default;
  // A key picture of the stream begins with `key`: restart decoding for what it describes.
  // False refuses; that key picture is dropped and the next one tries again.
  virtual bool Synchronise(const UdpDatagram& key) = 0;
  // The next datagram of the stream, in sequence. Its bytes are valid during the call.
  virtual void Deliver(const UdpDatagram& d) = 0;
};

struct UdpSequencerCounters {
  uint64_t delivered = 0;
  uint64_t late = 0;            // at or before the last one handed on: dropped
  uint64_t stored = 0;          // put into the store to wait for their turn
  uint64_t refused = 0;         // early, but the store could not take them
  uint64_t unsynchronised = 0;  // dropped on arrival while waiting for a key picture
  uint64_t discarded = 0;       // taken out of the store without being handed on
  uint64_t gapsGivenUp = 0;
  uint64_t synchronisations = 0;
};

class UdpSequencer {
 public:
  // Waiting datagrams that make the ordering give up a gap (half the store).
  static constexpr size_t kGiveUpCount = ReorderStore::kSlotCount / 2;

  // lossWaitMs: 0 waits for kGiveUpCount datagrams only; otherwise a gap is also given up once
  // the datagrams waiting behind it have waited that long.
  explicit UdpSequencer(IUdpSequenceSink& sink, uint32_t lossWaitMs = 0);
  UdpSequencer(const UdpSequencer&) = delete;
  UdpSequencer& operator=(const UdpSequencer&) = delete;

  // False when the store could not be allocated.
  bool IsValid() const { return m_store.IsValid(); }

  // Checks and orders one datagram that arrived at tick `now` (milliseconds). A result other
  // than kOk means the datagram was dropped for its length fields.
  UdpParseResult Receive(const uint8_t* raw, size_t length, uint32_t now);
  // Gives up a gap that has become too old while nothing arrived (with a loss wait only).
  void Poll(uint32_t now);
  // Forgets the stream: not synchronised, nothing waiting.
  void Reset();

  bool Synchronised() const { return m_synchronised; }
  uint32_t StreamId() const { return m_streamId; }
  // The sequence number handed on last (meaningful while synchronised).
  uint32_t Last() const { return m_last; }
  size_t Waiting() const { return m_store.Count(); }
  uint32_t LossWaitMs() const { return m_lossWaitMs; }
  const UdpSequencerCounters& Counters() const { return m_counters; }

 private:
  // What is known of recently seen sequence numbers of the stream: whether each was a key
  // piece. Direct-mapped; an entry is trusted only when its number matches.
  struct Seen {
    uint32_t sequence = 0;
    uint8_t known = 0;
    uint8_t video = 0;
    uint8_t key = 0;
  };
  static constexpr size_t kSeenSize = 2 * ReorderStore::kSlotCount;
  // How far back the video piece before a key piece is looked for, past audio.
  static constexpr uint32_t kLookBack = 16;

  void onDatagram(const UdpDatagram& d, const uint8_t* raw, size_t length, uint32_t now);
  void onInSequence(const UdpDatagram& d, const uint8_t* raw, size_t length, uint32_t now);
  void onUnsynchronised(const UdpDatagram& d, const uint8_t* raw, size_t length, uint32_t now);
  void track(uint32_t streamId);
  void discardAll();
  void discardBefore(uint32_t sequence);
  void note(const UdpDatagram& d);
  bool store(const UdpDatagram& d, const uint8_t* raw, size_t length, uint32_t now);
  // True when the key picture begins with the key piece d: by its own bytes, or because the
  // video piece before it is known and is not a key piece.
  bool begins(const UdpDatagram& d) const;
  // The stored datagram under sequence, parsed; false when absent.
  bool stored(uint32_t sequence, UdpDatagram* out) const;
  void deliver(const UdpDatagram& d);
  void drain();
  void synchroniseAt(uint32_t sequence);
  void giveUp();
  // Synchronises at the first waiting key piece from `from` on that begins a key picture,
  // else empties the store.
  void resumeAtWaitingKeyPicture(uint32_t from);
  void checkAge(uint32_t now);

  IUdpSequenceSink& m_sink;
  const uint32_t m_lossWaitMs;
  ReorderStore m_store;
  bool m_tracking = false;  // a stream id is known
  bool m_synchronised = false;
  uint32_t m_streamId = 0;
  uint32_t m_last = 0;
  bool m_hasCandidate = false;   // unsynchronised: a key piece waits in the store
  uint32_t m_candidate = 0;      // the lowest waiting key piece
  uint32_t m_candidateTick = 0;  // when it arrived
  bool m_refused = false;        // the sink refused the last start
  Seen m_seen[kSeenSize];
  UdpSequencerCounters m_counters;
};

}  // namespace kv
