// H.264 decode rate of both decoding paths (OpenH264 layer and libavcodec object), fed one
// NAL unit per call as the conduit delivers it, at 1280x720 and 1920x1080.
#include <benchmark/benchmark.h>

#include <map>
#include <utility>

#include "sdk/media/avcodec_h264.h"
#include "sdk/media/avcodec_loader.h"
#include "sdk/platform/hi264_dec.h"
#include "tests/support/test_streams.h"

namespace {

constexpr int kPictures = 50;

// Camera-like streams: four slices per picture, a key picture every 25.
const kv::test::EncodedStream& Stream(int width, int height) {
  static std::map<std::pair<int, int>, kv::test::EncodedStream> streams;
  auto key = std::make_pair(width, height);
  auto it = streams.find(key);
  if (it == streams.end()) {
    kv::test::H264Options options;
    options.width = width;
    options.height = height;
    options.pictures = kPictures;
    options.intraPeriod = 25;
    options.bitrate = width * height * 4;  // about 3.7 Mbit/s at 720p
    it = streams.emplace(key, kv::test::EncodeH264OpenH264(options)).first;
  }
  return it->second;
}

void BM_OpenH264Layer(benchmark::State& state) {
  const auto& stream = Stream(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  int64_t pictures = 0;
  for (auto _ : state) {
    kv::platform::H264DecAttributes attributes{};
    auto handle = kv::platform::Hi264DecCreate(&attributes);
    if (handle == nullptr) {
      state.SkipWithError("Hi264DecCreate failed");
      return;
    }
    for (const auto& frame : stream.frames) {
      kv::platform::H264DecPicture picture{};
      int32_t result = kv::platform::Hi264DecFrame(
          handle, frame.data(), static_cast<uint32_t>(frame.size()), 0, &picture, 0);
      while (result == kv::platform::kHi264DecPicture) {
        ++pictures;
        benchmark::DoNotOptimize(picture.y);
        result = kv::platform::Hi264DecFrame(handle, nullptr, 0, 0, &picture, 0);
      }
    }
    kv::platform::Hi264DecDestroy(handle);
  }
  state.counters["pictures/s"] =
      benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}

void BM_AvcodecH264(benchmark::State& state) {
  const auto& stream = Stream(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  if (!kv::AvcodecLoad(nullptr)) {
    state.SkipWithError("libavcodec not loadable");
    return;
  }
  int64_t pictures = 0;
  for (auto _ : state) {
    kv::AvcodecH264Decoder decoder;
    if (!decoder.Open(nullptr)) {
      state.SkipWithError("cannot open the libavcodec decoder");
      return;
    }
    for (const auto& frame : stream.frames) {
      kv::VideoPicture picture;
      if (decoder.Decode(frame.data(), frame.size(), &picture) == 1) {
        ++pictures;
        benchmark::DoNotOptimize(picture.y);
      }
    }
  }
  state.counters["pictures/s"] =
      benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_OpenH264Layer)
    ->Args({1280, 720})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_AvcodecH264)
    ->Args({1280, 720})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
