// The proprietary datagram header and the reordering store.
#include <gtest/gtest.h>

#include <vector>

#include "sdk/sources/reorder_store.h"
#include "sdk/sources/udp_datagram.h"

namespace {

void PutBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v >> 24);
  b[at + 1] = uint8_t(v >> 16);
  b[at + 2] = uint8_t(v >> 8);
  b[at + 3] = uint8_t(v);
}

std::vector<uint8_t> Datagram(uint32_t seq, size_t payload, uint32_t lengthField) {
  std::vector<uint8_t> b(68 + payload, 0);
  PutBe32(b, 4, 0xA1B2C3D4);
  PutBe32(b, 12, seq);
  b[16] = 0;
  b[17] = 96;
  b[18] = 7;
  b[19] = 3;
  b[21] = 1;
  b[22] = 6;
  PutBe32(b, 24, lengthField);
  PutBe32(b, 28, 1280);
  PutBe32(b, 32, 720);
  PutBe32(b, 36, 25);
  PutBe32(b, 40, 2048);
  for (size_t i = 0; i < payload; ++i) b[68 + i] = uint8_t(i);
  return b;
}

TEST(UdpDatagram, ParsesTheBigEndianHeader) {
  const auto b = Datagram(0x01020304, 10, 10);
  kv::UdpDatagram d;
  ASSERT_EQ(kv::ParseUdpDatagram(b.data(), b.size(), &d), kv::UdpParseResult::kOk);
  EXPECT_EQ(d.streamId, 0xA1B2C3D4u);
  EXPECT_EQ(d.sequence, 0x01020304u);
  EXPECT_EQ(d.mediaKind, 0);
  EXPECT_EQ(d.videoCodec, 96);
  EXPECT_EQ(d.frameType, 7);
  EXPECT_EQ(d.fragment, 3);
  EXPECT_EQ(d.deviceGeneration, 1);
  EXPECT_EQ(d.audioCodec, 6);
  EXPECT_EQ(d.payloadLength, 10u);
  EXPECT_EQ(d.width, 1280u);
  EXPECT_EQ(d.height, 720u);
  EXPECT_EQ(d.frameRate, 25u);
  EXPECT_EQ(d.bitRate, 2048u);
  EXPECT_EQ(d.payload, b.data() + 68);
  EXPECT_FALSE(kv::OpensUnit(d.fragment));
  EXPECT_TRUE(kv::ClosesUnit(d.fragment));
}

TEST(UdpDatagram, RefusesShortAndMislabelledDatagrams) {
  kv::UdpDatagram d;
  const auto headerOnly = Datagram(1, 0, 0);
  EXPECT_EQ(kv::ParseUdpDatagram(headerOnly.data(), headerOnly.size(), &d),
            kv::UdpParseResult::kTooSmall);
  EXPECT_EQ(kv::ParseUdpDatagram(nullptr, 100, &d), kv::UdpParseResult::kTooSmall);
  const auto longer = Datagram(1, 10, 11);
  EXPECT_EQ(kv::ParseUdpDatagram(longer.data(), longer.size(), &d), kv::UdpParseResult::kBadLength);
  const auto huge = Datagram(1, 10, 0xFFFFFFFF);
  EXPECT_EQ(kv::ParseUdpDatagram(huge.data(), huge.size(), &d), kv::UdpParseResult::kBadLength);
  EXPECT_TRUE(kv::OpensUnit(0));
  EXPECT_TRUE(kv::OpensUnit(1));
  EXPECT_FALSE(kv::ClosesUnit(1));
  EXPECT_FALSE(kv::OpensUnit(2));
  EXPECT_FALSE(kv::ClosesUnit(2));
}

TEST(ReorderStore, PutTakeDuplicatesAndLimits) {
  kv::ReorderStore store;
  ASSERT_TRUE(store.IsValid());
  const std::vector<uint8_t> a(100, 0xAA), b(4096, 0xBB), tooLong(4097, 0xCC);
  EXPECT_EQ(store.Put(10, a.data(), a.size(), 1), kv::ReorderStore::PutResult::kStored);
  EXPECT_EQ(store.Put(10, b.data(), b.size(), 2), kv::ReorderStore::PutResult::kDuplicate);
  EXPECT_EQ(store.Put(11, b.data(), b.size(), 2), kv::ReorderStore::PutResult::kStored);
  EXPECT_EQ(store.Put(12, tooLong.data(), tooLong.size(), 3),
            kv::ReorderStore::PutResult::kTooLong);
  EXPECT_EQ(store.Count(), 2u);
  size_t length = 0;
  EXPECT_EQ(store.Take(9, &length), nullptr);
  const uint8_t* got = store.Take(10, &length);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(length, 100u);
  EXPECT_EQ(std::vector<uint8_t>(got, got + length), a);
  EXPECT_NE(store.Peek(11, &length), nullptr);
  EXPECT_EQ(length, 4096u);
  EXPECT_EQ(store.Take(10, &length), nullptr);
  EXPECT_EQ(store.Count(), 1u);
  store.Empty();
  EXPECT_EQ(store.Count(), 0u);
  EXPECT_EQ(store.Take(11, &length), nullptr);

  // 256 slots; the 257th distinct datagram finds none.
  for (uint32_t s = 0; s < 256; ++s) {
    ASSERT_EQ(store.Put(1000 + s, a.data(), 1, 0), kv::ReorderStore::PutResult::kStored);
  }
  EXPECT_EQ(store.Put(5000, a.data(), 1, 0), kv::ReorderStore::PutResult::kFull);
  ASSERT_NE(store.Take(1100, &length), nullptr);
  EXPECT_EQ(store.Put(5000, a.data(), 1, 0), kv::ReorderStore::PutResult::kStored);
}

}  // namespace
