// The ordering of the proprietary stream as a unit: reordered streams come out whole and in
// sequence from the first key picture, synchronisation starts where a key picture begins,
// repeats are dropped, a gap is given up after 128 waiting datagrams or, with a loss wait, by
// its age, and the store holds datagrams of every size the stream allows.
#include "sdk/sources/udp_sequencer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "tests/support/udp_test_sender.h"

namespace {

using kv::UdpSequencer;
using kv::test::SenderDatagram;
using kv::test::SequenceOf;
using kv::test::UdpStreamBuilder;

struct RecordingSink : kv::IUdpSequenceSink {
  std::vector<uint32_t> delivered;
  std::vector<uint32_t> synchronised;
  int refusals = 0;  // Synchronise calls still to refuse
  bool Synchronise(const kv::UdpDatagram& key) override {
    if (refusals > 0) {
      --refusals;
      return false;
    }
    synchronised.push_back(key.sequence);
    return true;
  }
  void Deliver(const kv::UdpDatagram& d) override { delivered.push_back(d.sequence); }
};

std::vector<uint8_t> Unit(uint8_t first, size_t size) {
  std::vector<uint8_t> u(size);
  for (size_t i = 0; i < size; ++i) u[i] = static_cast<uint8_t>(i * 7 + 3);
  u[0] = first;
  return u;
}

// A stream shaped as devices send it: key pictures of SPS, PPS and two IDR slices of three
// pieces each; other pictures of two slices of two pieces each; two audio frames a picture.
// Every datagram records where its picture starts (keyStarts: sequence numbers of the SPS).
struct Stream {
  std::vector<SenderDatagram> datagrams;
  std::vector<uint32_t> keyStarts;
  uint32_t first = 0;
  uint32_t last() const { return first + static_cast<uint32_t>(datagrams.size()) - 1; }
};

Stream MakeStream(int pictures, int keyInterval, uint32_t firstSequence = 1, uint8_t codec = 96) {
  kv::test::StreamDescription d;
  d.videoCodec = codec;
  d.maxPayload = 1000;
  UdpStreamBuilder b(d, firstSequence);
  Stream s;
  s.first = firstSequence;
  for (int p = 0; p < pictures; ++p) {
    if (p % keyInterval == 0) {
      s.keyStarts.push_back(firstSequence + static_cast<uint32_t>(b.datagrams().size()));
      if (codec == 96) {
        b.AddVideoUnit(Unit(0x67, 12), true);
        b.AddVideoUnit(Unit(0x68, 5), true);
        b.AddVideoUnit(Unit(0x65, 2900), true);
        b.AddVideoUnit(Unit(0x65, 2900), true);
      } else {
        // An intra picture that does not announce itself (no stream header in front).
        b.AddVideoUnit(Unit(0xB6, 2900), true);
      }
    } else {
      b.AddVideoUnit(Unit(codec == 96 ? 0x41 : 0xB6, 1900), false);
      b.AddVideoUnit(Unit(codec == 96 ? 0x41 : 0xB6, 1900), false);
    }
    b.AddAudio(std::vector<uint8_t>(160, 0xD5));
    b.AddAudio(std::vector<uint8_t>(160, 0xD5));
  }
  s.datagrams = std::move(b.datagrams());
  return s;
}

// Feeds the datagrams in the given order, 2 ms apart starting at tick `start`.
void Feed(UdpSequencer& sequencer, const std::vector<SenderDatagram>& datagrams,
          uint32_t start = 1000) {
  uint32_t tick = start;
  for (const auto& d : datagrams) {
    sequencer.Receive(d.bytes.data(), d.bytes.size(), tick);
    tick += 2;
  }
}

std::vector<uint32_t> Range(uint32_t first, uint32_t last) {
  std::vector<uint32_t> v(last - first + 1);
  std::iota(v.begin(), v.end(), first);
  return v;
}

TEST(UdpSequencer, ReorderedStreamsComeOutWholeFromTheFirstKeyPicture) {
  const Stream original = MakeStream(60, 20);
  int startOvertaken = 0, cases = 0;
  for (size_t window : {2, 4, 8, 16, 32, 64}) {
    for (double share : {0.1, 0.3, 0.5}) {
      for (uint32_t seed = 1; seed <= 8; ++seed) {
        std::vector<SenderDatagram> wire = original.datagrams;
        kv::test::HoldBack(wire, window, share, seed);
        startOvertaken += SequenceOf(wire.front()) != original.first;
        RecordingSink sink;
        UdpSequencer sequencer(sink);
        Feed(sequencer, wire);
        ++cases;
        SCOPED_TRACE(testing::Message()
                     << "window " << window << " share " << share << " seed " << seed);
        EXPECT_EQ(sink.synchronised, std::vector<uint32_t>{original.first});
        EXPECT_EQ(sink.delivered, Range(original.first, original.last()));
        EXPECT_EQ(sequencer.Waiting(), 0u);
        EXPECT_EQ(sequencer.Counters().gapsGivenUp, 0u);
      }
    }
  }
  // The first key picture's first datagram was overtaken in a good part of the cases.
  EXPECT_GT(startOvertaken, cases / 5);
}

TEST(UdpSequencer, JoiningMidStreamStartsAtTheNextKeyPictureBeginning) {
  for (uint8_t codec : {uint8_t{96}, uint8_t{97}}) {
    const Stream original = MakeStream(50, 10, 500, codec);
    for (uint32_t seed = 1; seed <= 10; ++seed) {
      // The receiver starts in the middle of the second key picture.
      const size_t from = original.keyStarts[1] - original.first + 2;
      std::vector<SenderDatagram> wire(original.datagrams.begin() + static_cast<long>(from),
                                       original.datagrams.end());
      kv::test::HoldBack(wire, 16, 0.4, seed);
      RecordingSink sink;
      UdpSequencer sequencer(sink);
      Feed(sequencer, wire);
      SCOPED_TRACE(testing::Message() << "codec " << int{codec} << " seed " << seed);
      ASSERT_EQ(sink.synchronised, std::vector<uint32_t>{original.keyStarts[2]});
      EXPECT_EQ(sink.delivered, Range(original.keyStarts[2], original.last()));
    }
  }
}

TEST(UdpSequencer, AKeyPictureWithoutItsBeginningIsNotStartedIn) {
  // The first key picture lost its parameter sets: synchronisation waits for the next one.
  const Stream original = MakeStream(30, 10);
  std::vector<SenderDatagram> wire = original.datagrams;
  wire.erase(wire.begin(), wire.begin() + 2);
  RecordingSink sink;
  UdpSequencer sequencer(sink);
  Feed(sequencer, wire);
  ASSERT_EQ(sink.synchronised, std::vector<uint32_t>{original.keyStarts[1]});
  EXPECT_EQ(sink.delivered, Range(original.keyStarts[1], original.last()));
}

TEST(UdpSequencer, DatagramsBetweenAnOvertakenBeginningAndTheFirstKeyPieceAreKept) {
  // Audio interleaved inside a key picture: SPS 1, audio 2, PPS 3, IDR 4... The PPS arrives
  // first, then the audio, then the SPS that begins the picture.
  kv::test::StreamDescription d;
  UdpStreamBuilder b(d);
  b.AddVideoUnit(Unit(0x67, 12), true);
  b.AddAudio(std::vector<uint8_t>(160, 0xD5));
  b.AddVideoUnit(Unit(0x68, 5), true);
  b.AddVideoUnit(Unit(0x65, 900), true);
  b.AddVideoUnit(Unit(0x41, 900), false);
  std::vector<SenderDatagram> wire = b.datagrams();
  std::swap(wire[0], wire[2]);  // 3 2 1 4 5
  RecordingSink sink;
  UdpSequencer sequencer(sink);
  Feed(sequencer, wire);
  EXPECT_EQ(sink.synchronised, std::vector<uint32_t>{1});
  EXPECT_EQ(sink.delivered, Range(1, 5));
}

TEST(UdpSequencer, RepeatsOfTheLastDatagramAreDroppedNotStored) {
  const Stream original = MakeStream(80, 40);
  std::vector<SenderDatagram> wire;
  for (const auto& d : original.datagrams) {
    for (int copy = 0; copy < 4; ++copy) wire.push_back(d);
  }
  RecordingSink sink;
  UdpSequencer sequencer(sink);
  Feed(sequencer, wire);
  EXPECT_EQ(sink.synchronised.size(), 1u);  // no needless resynchronisation
  EXPECT_EQ(sink.delivered, Range(original.first, original.last()));
  EXPECT_EQ(sequencer.Waiting(), 0u);
  EXPECT_EQ(sequencer.Counters().late, 3 * original.datagrams.size());
  EXPECT_EQ(sequencer.Counters().stored, 1u);  // only the first key piece, before synchronising
}

TEST(UdpSequencer, AGapIsGivenUpWhen128WaitAndTheNextKeyPictureResumes) {
  const Stream original = MakeStream(60, 40);
  const uint32_t lost = original.keyStarts[0] + 30;  // a piece of a later picture
  RecordingSink sink;
  UdpSequencer sequencer(sink);
  size_t waitingAfterLoss = 0;
  for (const auto& d : original.datagrams) {
    const uint32_t s = SequenceOf(d);
    if (s == lost) continue;
    sequencer.Receive(d.bytes.data(), d.bytes.size(), 0);
    if (s > lost && s < original.keyStarts[1]) {
      ++waitingAfterLoss;
      ASSERT_EQ(sequencer.Waiting(), waitingAfterLoss < 128 ? waitingAfterLoss : 0u) << s;
      ASSERT_EQ(sequencer.Synchronised(), waitingAfterLoss < 128) << s;
    }
  }
  ASSERT_GT(waitingAfterLoss, 128u);
  EXPECT_EQ(sequencer.Counters().gapsGivenUp, 1u);
  ASSERT_EQ(sink.synchronised, (std::vector<uint32_t>{original.first, original.keyStarts[1]}));
  std::vector<uint32_t> expected = Range(original.first, lost - 1);
  const std::vector<uint32_t> after = Range(original.keyStarts[1], original.last());
  expected.insert(expected.end(), after.begin(), after.end());
  EXPECT_EQ(sink.delivered, expected);
}

TEST(UdpSequencer, ALossWaitGivesUpAGapByItsAge) {
  const Stream original = MakeStream(30, 20);
  const uint32_t lost = original.keyStarts[0] + 20;
  for (uint32_t wait : {0u, 100u}) {
    RecordingSink sink;
    UdpSequencer sequencer(sink, wait);
    uint32_t tick = 5000;
    for (const auto& d : original.datagrams) {
      if (SequenceOf(d) == lost) break;
      sequencer.Receive(d.bytes.data(), d.bytes.size(), tick);
    }
    const auto& next = original.datagrams[lost + 1 - original.first];
    sequencer.Receive(next.bytes.data(), next.bytes.size(), tick);
    ASSERT_EQ(sequencer.Waiting(), 1u);
    sequencer.Poll(tick + 99);
    EXPECT_TRUE(sequencer.Synchronised());
    sequencer.Poll(tick + 100);
    EXPECT_EQ(sequencer.Synchronised(), wait == 0) << wait;
    sequencer.Poll(tick + 100000);
    EXPECT_EQ(sequencer.Synchronised(), wait == 0) << wait;
    if (wait == 0) continue;
    // Nothing waits after the give-up; the next key picture starts the stream again.
    EXPECT_EQ(sequencer.Waiting(), 0u);
    std::vector<SenderDatagram> rest(original.datagrams.begin() + (lost + 2 - original.first),
                                     original.datagrams.end());
    Feed(sequencer, rest, tick + 200);
    EXPECT_EQ(sink.synchronised, (std::vector<uint32_t>{original.first, original.keyStarts[1]}));
    EXPECT_EQ(sink.delivered.back(), original.last());
  }
}

TEST(UdpSequencer, AGiveUpResumesAtAKeyPictureAlreadyWaiting) {
  const Stream original = MakeStream(30, 10);
  const uint32_t lost = original.keyStarts[1] - 3;  // in the picture before the second key
  RecordingSink sink;
  UdpSequencer sequencer(sink, 100);
  uint32_t tick = 0;
  for (const auto& d : original.datagrams) {
    if (SequenceOf(d) == original.keyStarts[2]) break;
    if (SequenceOf(d) != lost) sequencer.Receive(d.bytes.data(), d.bytes.size(), tick);
  }
  EXPECT_TRUE(sequencer.Synchronised());
  sequencer.Poll(tick + 100);
  ASSERT_EQ(sink.synchronised, (std::vector<uint32_t>{original.first, original.keyStarts[1]}));
  EXPECT_EQ(sink.delivered.back(), original.keyStarts[2] - 1);
  EXPECT_EQ(sequencer.Waiting(), 0u);
}

TEST(UdpSequencer, TheLargestDatagramsWaitInTheStore) {
  kv::test::StreamDescription d;
  d.maxPayload = kv::kUdpMaxDatagram - kv::kUdpHeaderSize;
  UdpStreamBuilder b(d);
  b.AddVideoUnit(Unit(0x67, 10), true);
  b.AddVideoUnit(Unit(0x65, 3 * d.maxPayload), true);
  auto wire = b.datagrams();
  ASSERT_EQ(wire[2].bytes.size(), kv::kUdpMaxDatagram);
  std::swap(wire[2], wire[3]);  // the middle piece of the slice arrives after the last
  RecordingSink sink;
  UdpSequencer sequencer(sink);
  Feed(sequencer, wire);
  EXPECT_EQ(sink.delivered, Range(1, 4));
  EXPECT_EQ(sequencer.Counters().refused, 0u);
}

TEST(UdpSequencer, SequenceNumbersWrapAroundZero) {
  const Stream original = MakeStream(20, 10, 0xFFFFFFF0u);
  std::vector<SenderDatagram> wire = original.datagrams;
  kv::test::HoldBack(wire, 8, 0.3, 5);
  RecordingSink sink;
  UdpSequencer sequencer(sink);
  Feed(sequencer, wire);
  EXPECT_EQ(sink.synchronised.size(), 1u);
  ASSERT_EQ(sink.delivered.size(), original.datagrams.size());
  for (size_t i = 0; i < sink.delivered.size(); ++i) {
    ASSERT_EQ(sink.delivered[i], original.first + static_cast<uint32_t>(i));
  }
}

TEST(UdpSequencer, StreamChangesAndRefusedStarts) {
  const Stream first = MakeStream(12, 10);
  kv::test::StreamDescription d;
  d.streamId = 0x5EED0002;
  UdpStreamBuilder other(d, 1);
  other.AddVideoUnit(Unit(0x41, 100), false);
  RecordingSink sink;
  sink.refusals = 1;  // the first key picture cannot start a decoder
  UdpSequencer sequencer(sink);
  Feed(sequencer, first.datagrams);
  ASSERT_EQ(sink.synchronised, std::vector<uint32_t>{first.keyStarts[1]});
  EXPECT_EQ(sink.delivered.front(), first.keyStarts[1]);
  const size_t delivered = sink.delivered.size();
  // A piece of another stream that is not key is dropped; synchronisation holds.
  Feed(sequencer, other.datagrams());
  EXPECT_TRUE(sequencer.Synchronised());
  EXPECT_EQ(sink.delivered.size(), delivered);
  // A key picture of another stream starts that stream.
  const Stream second = [&] {
    Stream s = MakeStream(3, 10, 1);
    for (auto& dg : s.datagrams) dg.bytes[7] = 0x02;  // stream id ...0002
    return s;
  }();
  Feed(sequencer, second.datagrams);
  EXPECT_EQ(sequencer.StreamId(), 0x5EED0002u);
  EXPECT_EQ(sink.synchronised.back(), 1u);
  EXPECT_EQ(sink.delivered.back(), second.last());
}

}  // namespace
