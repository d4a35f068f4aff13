// Tests of CBufferConduit: ring wrap, refusal, frame assembly, abort, flow control and the
// writer/reader handshake across threads.
#include "sdk/media/buffer_conduit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace kv {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A frame-mode conduit of 16 bytes, flow control off.
class SmallFrameConduit : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(conduit_.Create(16, false, 8192, true)); }

  // Writes one closed frame and reads it back; returns its entry.
  FrameEntry RoundTrip(const std::vector<uint8_t>& frame) {
    EXPECT_TRUE(conduit_.Write(frame.data(), static_cast<int32_t>(frame.size()), 1, 0, 0));
    std::vector<uint8_t> out(64);
    FrameEntry entry{};
    EXPECT_EQ(conduit_.ReadFrame(out.data(), 64, nullptr, &entry, 0),
              static_cast<int32_t>(frame.size()));
    out.resize(frame.size());
    EXPECT_EQ(out, frame);
    return entry;
  }

  CBufferConduit conduit_;
};

TEST_F(SmallFrameConduit, FrameStraddlingTheRingEndComesOutContiguous) {
  RoundTrip(Bytes(10, 0));            // read and write positions now at 10
  const auto frame = Bytes(10, 100);  // 6 bytes at the end, 4 at the start
  ASSERT_TRUE(conduit_.Write(frame.data(), 10, 1, 0, 0));
  EXPECT_EQ(conduit_.GetDataSize(), 10);
  std::vector<uint8_t> out(10);
  int32_t left = -1;
  EXPECT_EQ(conduit_.ReadFrame(out.data(), 10, &left, nullptr, 0), 10);
  EXPECT_EQ(out, frame);
  EXPECT_EQ(left, 0);
  EXPECT_EQ(conduit_.GetDataSize(), 0);
}

TEST_F(SmallFrameConduit, WriteEndingExactlyAtRingEndWrapsWritePositionToZero) {
  const FrameEntry first = RoundTrip(Bytes(10, 0));
  RoundTrip(Bytes(6, 50));  // ends exactly at the end of the ring
  // The next frame begins at the start of the ring, where the first one began.
  const FrameEntry third = RoundTrip(Bytes(16, 200));
  EXPECT_EQ(third.data, first.data);
  // And the whole ring can be filled again without refusal.
  EXPECT_TRUE(conduit_.Write(Bytes(16, 1).data(), 16, 1, 0, 0));
  EXPECT_EQ(conduit_.GetDataSize(), 16);
}

TEST_F(SmallFrameConduit, WriteOverCapacityByOneByteIsRefusedWholeAndKeepsHeldBytes) {
  const auto held = Bytes(10, 0);
  ASSERT_TRUE(conduit_.Write(held.data(), 10, 1, 0, 0));
  EXPECT_FALSE(conduit_.Write(Bytes(7, 0).data(), 7, 1, 0, 0));
  EXPECT_EQ(conduit_.GetDataSize(), 10);
  EXPECT_EQ(conduit_.GetFrameCount(), 1);
  EXPECT_TRUE(conduit_.Write(Bytes(6, 30).data(), 6, 1, 0, 0));  // exactly full is fine
  EXPECT_EQ(conduit_.GetDataSize(), 16);
  std::vector<uint8_t> out(16);
  ASSERT_EQ(conduit_.ReadFrame(out.data(), 16, nullptr, nullptr, 0), 10);
  out.resize(10);
  EXPECT_EQ(out, held);
}

TEST_F(SmallFrameConduit, RefusedMiddlePieceLeavesFrameOfThePiecesThatFit) {
  ASSERT_TRUE(conduit_.Write(Bytes(4, 0).data(), 4, 0, 0, 0));
  EXPECT_FALSE(conduit_.Write(Bytes(20, 0).data(), 20, 0, 0, 0));
  ASSERT_TRUE(conduit_.Write(Bytes(3, 4).data(), 3, 1, 9, 9));
  std::vector<uint8_t> out(16);
  FrameEntry entry{};
  ASSERT_EQ(conduit_.ReadFrame(out.data(), 16, nullptr, &entry, 0), 7);
  EXPECT_EQ(entry.length, 7);
  out.resize(7);
  EXPECT_EQ(out, Bytes(7, 0));
}

TEST_F(SmallFrameConduit, SecondCreateFailsAndChangesNothing) {
  ASSERT_TRUE(conduit_.Write(Bytes(5, 0).data(), 5, 1, 0, 0));
  EXPECT_FALSE(conduit_.Create(1024, true, 0, false));
  EXPECT_EQ(conduit_.GetDataSize(), 5);
  EXPECT_EQ(conduit_.GetFrameCount(), 1);
  EXPECT_FALSE(conduit_.Write(Bytes(12, 0).data(), 12, 1, 0, 0));  // still 16 bytes
}

TEST(BufferConduitCreate, BadCapacityGivesFalse) {
  CBufferConduit zero;
  EXPECT_FALSE(zero.Create(0, false, 0, true));
  EXPECT_FALSE(zero.Write("x", 1, 1, 0, 0));
  char out[4];
  EXPECT_EQ(zero.ReadFrame(out, 4, nullptr, nullptr, 0), 0);
  CBufferConduit negative;
  EXPECT_FALSE(negative.Create(-5, false, 0, true));
  CBufferConduit never;  // used without Create: nothing crashes or blocks
  EXPECT_FALSE(never.Write("x", 1, 1, 0, 0));
  EXPECT_EQ(never.Read(out, 1, nullptr, 0), 0);
  never.Abort();
  never.Clear();
}

TEST(BufferConduitFrames, StartCodePieceAndPayloadMakeOneFrameWithClosingValues) {
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(4096, false, 8192, true));
  const uint8_t startCode[4] = {0, 0, 0, 1};
  const auto payload = Bytes(300, 7);
  ASSERT_TRUE(conduit.Write(startCode, 4, 0, 111, 222));
  EXPECT_EQ(conduit.GetFrameCount(), 0);
  ASSERT_TRUE(conduit.Write(payload.data(), 300, 1, 4000, 5));
  EXPECT_EQ(conduit.GetFrameCount(), 1);
  std::vector<uint8_t> out(1000);
  FrameEntry entry{};
  int32_t left = -1;
  ASSERT_EQ(conduit.ReadFrame(out.data(), 1000, &left, &entry, 0), 304);
  EXPECT_EQ(entry.length, 304);
  EXPECT_EQ(entry.timestamp, 4000);
  EXPECT_EQ(entry.tag, 5);
  EXPECT_EQ(left, 0);
  EXPECT_EQ(0, std::memcmp(out.data(), startCode, 4));
  EXPECT_EQ(0, std::memcmp(out.data() + 4, payload.data(), 300));
}

TEST(BufferConduitFrames, OnlyEndOfFrameOneClosesAFrame) {
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(4096, false, 8192, true));
  ASSERT_TRUE(conduit.Write(Bytes(5, 0).data(), 5, 2, 0, 0));
  EXPECT_EQ(conduit.GetDataSize(), 5);
  EXPECT_EQ(conduit.GetFrameCount(), 0);
  ASSERT_TRUE(conduit.Write(Bytes(3, 5).data(), 3, -1, 0, 0));
  EXPECT_EQ(conduit.GetFrameCount(), 0);
  ASSERT_TRUE(conduit.Write(Bytes(2, 8).data(), 2, 1, 0, 0));
  std::vector<uint8_t> out(10);
  ASSERT_EQ(conduit.ReadFrame(out.data(), 10, nullptr, nullptr, 0), 10);
  EXPECT_EQ(out, Bytes(10, 0));
}

TEST(BufferConduitFrames, EndFrameClosesPendingBytesOnly) {
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(4096, false, 8192, true));
  conduit.EndFrame(1, 1);  // nothing pending: no frame
  EXPECT_EQ(conduit.GetFrameCount(), 0);
  ASSERT_TRUE(conduit.Write(Bytes(4, 0).data(), 4, 0, 0, 0));
  ASSERT_TRUE(conduit.Write(Bytes(6, 4).data(), 6, 0, 0, 0));
  conduit.EndFrame(1234, 7);
  EXPECT_EQ(conduit.GetFrameCount(), 1);
  conduit.EndFrame(99, 99);  // pending is zero again
  EXPECT_EQ(conduit.GetFrameCount(), 1);
  ASSERT_TRUE(conduit.Write(Bytes(3, 50).data(), 3, 1, 5, 6));
  std::vector<uint8_t> out(16);
  FrameEntry entry{};
  ASSERT_EQ(conduit.ReadFrame(out.data(), 16, nullptr, &entry, 0), 10);
  EXPECT_EQ(entry.timestamp, 1234);
  EXPECT_EQ(entry.tag, 7);
  ASSERT_EQ(conduit.ReadFrame(out.data(), 16, nullptr, &entry, 0), 3);
  EXPECT_EQ(entry.timestamp, 5);
}

// The record-file replay closes a file's last frame with EndFrame and writes nothing after it.
// A reader that found the frame still open (and so reset the data event) must get it at its
// next read, not wait for a write that never comes.
TEST(BufferConduitFrames, FrameClosedAfterTheReaderDrainedIsReadNextTime) {
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(4096, false, 8192, true));
  ASSERT_TRUE(conduit.Write(Bytes(4, 0).data(), 4, 0, 0, 0));
  ASSERT_TRUE(conduit.Write(Bytes(6, 4).data(), 6, 0, 0, 0));
  std::vector<uint8_t> out(16);
  EXPECT_EQ(conduit.ReadFrame(out.data(), 16, nullptr, nullptr, 0), 0);  // still open
  conduit.EndFrame(4321, 0);
  FrameEntry entry{};
  int32_t left = -1;
  ASSERT_EQ(conduit.ReadFrame(out.data(), 16, &left, &entry, 60), 10);
  EXPECT_EQ(entry.timestamp, 4321);
  EXPECT_EQ(left, 0);
  out.resize(10);
  EXPECT_EQ(out, Bytes(10, 0));
}

TEST(BufferConduitFrames, SmallReaderBufferLeavesFrameQueuedWithEntryFilled) {
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(4096, false, 8192, true));
  const auto frame = Bytes(100, 3);
  ASSERT_TRUE(conduit.Write(frame.data(), 100, 1, 42, 5));
  std::vector<uint8_t> out(100);
  FrameEntry entry{};
  EXPECT_EQ(conduit.ReadFrame(out.data(), 99, nullptr, &entry, 0), 0);
  EXPECT_EQ(entry.length, 100);
  EXPECT_EQ(entry.timestamp, 42);
  EXPECT_EQ(conduit.GetFrameCount(), 1);
  EXPECT_EQ(conduit.GetDataSize(), 100);
  ASSERT_EQ(conduit.ReadFrame(out.data(), 100, nullptr, &entry, 0), 100);
  EXPECT_EQ(out, frame);
}

TEST(BufferConduitFrames, ReadFrameOnEmptyConduitTimesOut) {
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(4096, false, 8192, true));
  uint8_t out[16];
  const auto start = Clock::now();
  EXPECT_EQ(conduit.ReadFrame(out, 16, nullptr, nullptr, 60), 0);
  EXPECT_GE(MsSince(start), 50);
  // Bytes without a closed frame wake the reader, which still gets nothing.
  ASSERT_TRUE(conduit.Write(out, 4, 0, 0, 0));
  EXPECT_EQ(conduit.ReadFrame(out, 16, nullptr, nullptr, 0), 0);
}

TEST(BufferConduitBytes, ReadFrameInByteModeReturnsAtOnce) {
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(2048, false, 8192, false));
  uint8_t out[16];
  const auto start = Clock::now();
  EXPECT_EQ(conduit.ReadFrame(out, 16, nullptr, nullptr, 20000), 0);
  EXPECT_LT(MsSince(start), 10000);  // guard only: a wait would take 20 s
}

TEST(BufferConduitBytes, ReadIsAllOrNothing) {
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(2048, false, 8192, false));
  const auto bytes = Bytes(1600, 0);
  ASSERT_TRUE(conduit.Write(bytes.data(), 799, 1, 0, 0));
  EXPECT_EQ(conduit.GetFrameCount(), 0);  // byte mode indexes nothing
  std::vector<uint8_t> out(800);
  EXPECT_EQ(conduit.Read(out.data(), 800, nullptr, 0), 0);
  EXPECT_EQ(conduit.GetDataSize(), 799);
  ASSERT_TRUE(conduit.Write(bytes.data() + 799, 801, 0, 0, 0));
  int32_t remaining = -1;
  ASSERT_EQ(conduit.Read(out.data(), 800, &remaining, 0), 800);
  EXPECT_EQ(remaining, 800);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin()));
  ASSERT_EQ(conduit.Read(out.data(), 800, &remaining, 0), 800);
  EXPECT_EQ(remaining, 0);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + 800));
}

TEST(BufferConduitBytes, ReadWrapsTheRing) {
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(10, false, 8192, false));
  const auto bytes = Bytes(14, 0);
  uint8_t out[8];
  ASSERT_TRUE(conduit.Write(bytes.data(), 7, 0, 0, 0));
  ASSERT_EQ(conduit.Read(out, 6, nullptr, 0), 6);
  ASSERT_TRUE(conduit.Write(bytes.data() + 7, 7, 0, 0, 0));  // 3 at the end, 4 at the start
  ASSERT_EQ(conduit.Read(out, 8, nullptr, 0), 8);
  EXPECT_TRUE(std::equal(out, out + 8, bytes.begin() + 6));
}

TEST(BufferConduitAbort, AbortStopsEverythingUntilClear) {
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(4096, false, 8192, true));
  ASSERT_TRUE(conduit.Write(Bytes(8, 0).data(), 8, 1, 0, 0));
  conduit.Abort();
  uint8_t out[16];
  EXPECT_FALSE(conduit.Write(out, 4, 1, 0, 0));
  EXPECT_EQ(conduit.ReadFrame(out, 16, nullptr, nullptr, 20000), 0);  // queued frame not given
  EXPECT_EQ(conduit.Read(out, 4, nullptr, 20000), 0);
  conduit.Clear();
  EXPECT_EQ(conduit.GetDataSize(), 0);
  EXPECT_EQ(conduit.GetFrameCount(), 0);
  const auto frame = Bytes(5, 9);
  ASSERT_TRUE(conduit.Write(frame.data(), 5, 1, 0, 0));
  ASSERT_EQ(conduit.ReadFrame(out, 16, nullptr, nullptr, 0), 5);
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), out));
}

TEST(BufferConduitAbort, AbortWakesBlockedReaderAndWriter) {
  CBufferConduit frames;
  ASSERT_TRUE(frames.Create(8, true, 0, true));
  CBufferConduit bytes;
  ASSERT_TRUE(bytes.Create(64, false, 8192, false));
  ASSERT_TRUE(frames.Write("abcd", 4, 1, 0, 0));  // takes the initial space signal
  std::atomic<int32_t> readResult{-1};
  std::atomic<int> writeResult{-1};
  std::thread reader([&] {
    uint8_t out[4];
    readResult = bytes.Read(out, 4, nullptr, 20000);
  });
  std::thread writer([&] { writeResult = frames.Write("efgh", 4, 1, 0, 0) ? 1 : 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = Clock::now();
  bytes.Abort();
  frames.Abort();
  reader.join();
  writer.join();
  EXPECT_EQ(readResult, 0);
  EXPECT_EQ(writeResult, 0);
  EXPECT_EQ(frames.GetDataSize(), 4);
  EXPECT_LT(MsSince(start), 10000);  // guard: without the wake-up the reader waits 20 s
}

TEST(BufferConduitFlowControl, WriterWithoutRoomSignalGetsFalseUntilReaderDrains) {
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(4096, true, 8192, true));
  ASSERT_TRUE(conduit.Write(Bytes(10, 0).data(), 10, 1, 0, 0));  // initial space signal
  const auto start = Clock::now();
  EXPECT_FALSE(conduit.Write(Bytes(10, 0).data(), 10, 1, 0, 0));
  const int64_t waited = MsSince(start);
  // It waited its second for room (the wait ends at its deadline, never before) and then gave
  // up; the upper bound only tells giving up from waiting for ever, so load cannot break it.
  EXPECT_GE(waited, 1000);
  EXPECT_LT(waited, 30000);
  EXPECT_EQ(conduit.GetDataSize(), 10);
  uint8_t out[16];
  ASSERT_EQ(conduit.ReadFrame(out, 16, nullptr, nullptr, 0), 10);  // signals room
  EXPECT_TRUE(conduit.Write(Bytes(10, 0).data(), 10, 1, 0, 0));
  // Switching flow control off lets the writer through without a signal.
  conduit.SetFlowControl(false);
  EXPECT_TRUE(conduit.Write(Bytes(10, 0).data(), 10, 1, 0, 0));
  EXPECT_EQ(conduit.GetFrameCount(), 2);
}

TEST(BufferConduitFlowControl, ClearSignalsRoom) {
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(4096, true, 8192, false));
  ASSERT_TRUE(conduit.Write("abcd", 4, 0, 0, 0));
  conduit.Clear();
  EXPECT_TRUE(conduit.Write("efgh", 4, 0, 0, 0));  // without Clear's signal: 1 s, then false
  char out[4];
  ASSERT_EQ(conduit.Read(out, 4, nullptr, 0), 4);
  EXPECT_EQ(std::string(out, 4), "efgh");
}

// A reader waiting on an empty conduit must not hold the writer: the writer's frame reaches
// the waiting reader, which would otherwise time out with nothing and only then let it in.
TEST(BufferConduitThreads, WaitingReaderDoesNotHoldWriter) {
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(4096, false, 8192, true));
  std::atomic<bool> readerStarted{false};
  std::atomic<int32_t> readLength{-1};
  std::vector<uint8_t> out(64);
  std::thread reader([&] {
    readerStarted = true;
    readLength = conduit.ReadFrame(out.data(), 64, nullptr, nullptr, 5000);
  });
  while (!readerStarted) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it reach the wait
  const auto frame = Bytes(20, 1);
  EXPECT_TRUE(conduit.Write(frame.data(), 20, 1, 0, 0));
  reader.join();
  EXPECT_EQ(readLength, 20);
  out.resize(20);
  EXPECT_EQ(out, frame);
}

// One writer and one reader, frames of random sizes in random pieces through a ring much
// smaller than the total: every frame arrives whole, intact and in order.
TEST(BufferConduitThreads, FramesCrossThreadsIntactAndInOrder) {
  constexpr int kFrames = 3000;
  constexpr int32_t kMaxFrame = 9000;
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(32768, false, 8192, true));
  auto frameBytes = [](int index, int32_t length) {
    std::vector<uint8_t> v(static_cast<size_t>(length));
    std::mt19937 gen(static_cast<uint32_t>(index));
    for (auto& b : v) b = static_cast<uint8_t>(gen());
    return v;
  };
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  std::atomic<bool> writerFailed{false};
  std::thread writer([&] {
    std::mt19937 gen(12345);
    for (int i = 0; i < kFrames && !writerFailed; ++i) {
      const int32_t length = 1 + static_cast<int32_t>(gen() % kMaxFrame);
      const auto bytes = frameBytes(i, length);
      // One to three pieces, the last one closing the frame.
      int32_t cut1 = static_cast<int32_t>(gen() % (length + 1));
      int32_t cut2 = cut1 + static_cast<int32_t>(gen() % (length - cut1 + 1));
      const int32_t cuts[4] = {0, cut1, cut2, length};
      for (int p = 0; p < 3; ++p) {
        const int32_t n = cuts[p + 1] - cuts[p];
        if (n == 0 && p < 2) continue;
        while (!conduit.Write(bytes.data() + cuts[p], n, p == 2 ? 1 : 0, length, i)) {
          if (Clock::now() > deadline) {
            writerFailed = true;
            return;
          }
          std::this_thread::yield();
        }
      }
    }
  });
  std::vector<uint8_t> out(kMaxFrame);
  int received = 0;
  int corrupt = 0;
  while (received < kFrames && Clock::now() < deadline) {
    FrameEntry entry{};
    const int32_t n = conduit.ReadFrame(out.data(), kMaxFrame, nullptr, &entry, 100);
    if (n == 0) continue;
    if (entry.tag != received || entry.timestamp != n ||
        !std::equal(out.begin(), out.begin() + n, frameBytes(received, n).begin())) {
      ++corrupt;
    }
    ++received;
  }
  writer.join();
  EXPECT_FALSE(writerFailed);
  EXPECT_EQ(received, kFrames);
  EXPECT_EQ(corrupt, 0);
  EXPECT_EQ(conduit.GetDataSize(), 0);
  EXPECT_EQ(conduit.GetFrameCount(), 0);
}

// Byte mode across threads: a stream written in odd-sized pieces is read back in fixed
// pieces without loss.
TEST(BufferConduitThreads, ByteStreamCrossesThreadsWithoutLoss) {
  constexpr int32_t kTotal = 1 << 20;
  constexpr int32_t kPiece = 640;
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(8192, false, 8192, false));
  std::vector<uint8_t> source(kTotal);
  std::mt19937 gen(7);
  for (auto& b : source) b = static_cast<uint8_t>(gen());
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  std::thread writer([&] {
    int32_t offset = 0;
    uint32_t step = 1;
    while (offset < kTotal && Clock::now() < deadline) {
      const int32_t n = std::min<int32_t>(kTotal - offset, 1 + (step++ * 733) % 3000);
      if (conduit.Write(source.data() + offset, n, 0, 0, 0)) {
        offset += n;
      } else {
        std::this_thread::yield();
      }
    }
  });
  std::vector<uint8_t> sink;
  sink.reserve(kTotal);
  uint8_t piece[kPiece];
  while (static_cast<int32_t>(sink.size()) + kPiece <= kTotal && Clock::now() < deadline) {
    if (conduit.Read(piece, kPiece, nullptr, 100) == kPiece)
      sink.insert(sink.end(), piece, piece + kPiece);
  }
  writer.join();
  const int32_t tail = kTotal % kPiece;
  EXPECT_EQ(conduit.GetDataSize(), tail);
  ASSERT_EQ(static_cast<int32_t>(sink.size()), kTotal - tail);
  EXPECT_TRUE(std::equal(sink.begin(), sink.end(), source.begin()));
}

}  // namespace
}  // namespace kv
