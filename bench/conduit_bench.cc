// Throughput of a frame-mode conduit (Write of one closed frame + ReadFrame) against a plain
// memcpy of the same bytes, for small, medium and large frames.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "sdk/media/buffer_conduit.h"

namespace {

// The session's video conduit size.
constexpr int32_t kVideoCapacity = 4 * 1024 * 1024;

void BM_ConduitWriteReadFrame(benchmark::State& state) {
  const auto frameSize = static_cast<int32_t>(state.range(0));
  kv::CBufferConduit conduit;
  if (!conduit.Create(kVideoCapacity, false, 8192, true)) {
    state.SkipWithError("Create failed");
    return;
  }
  std::vector<uint8_t> frame(static_cast<size_t>(frameSize), 0x5A);
  std::vector<uint8_t> out(static_cast<size_t>(frameSize));
  for (auto _ : state) {
    if (!conduit.Write(frame.data(), frameSize, 1, 0, 0)) {
      state.SkipWithError("Write refused");
      break;
    }
    if (conduit.ReadFrame(out.data(), frameSize, nullptr, nullptr, 0) != frameSize) {
      state.SkipWithError("ReadFrame failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * frameSize);
}
BENCHMARK(BM_ConduitWriteReadFrame)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);

// The baseline: one memcpy of the frame, the least any hand-over between threads can cost.
void BM_Memcpy(benchmark::State& state) {
  const auto frameSize = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> frame(frameSize, 0x5A);
  std::vector<uint8_t> out(frameSize);
  for (auto _ : state) {
    std::memcpy(out.data(), frame.data(), frameSize);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frameSize));
}
BENCHMARK(BM_Memcpy)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);

}  // namespace
