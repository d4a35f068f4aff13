// Decode worker benchmark: H.264 pictures through the whole worker (conduit, libavcodec, live
// pacing, render into a 960x540 headless window) beside libavcodec decoding the same frames
// alone. The worker sleeps between pictures, so the figure that matters is CPU time per
// picture; the process CPU clock covers the worker's and the decoder's threads too.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "sdk/core/net_client.h"
#include "sdk/media/av_display.h"
#include "sdk/media/avcodec_h264.h"
#include "sdk/media/avcodec_loader.h"
#include "sdk/media/buffer_conduit.h"
#include "sdk/media/ddraw_render.h"
#include "sdk/platform/headless_window.h"
#include "sdk/platform/surface_headless.h"
#include "tests/support/test_streams.h"

namespace {

constexpr int kPictures = 60;
// The encoded stream is fed this many times over (each pass begins with a key picture), so
// one-off costs such as creating the decoder and the surfaces weigh as little as they do in
// a stream that runs for minutes.
constexpr int kPasses = 5;

// One stream per size, encoded once for the whole run.
// textured: camera-like detail; otherwise the mostly flat test pattern.
const kv::test::EncodedStream& StreamOf(int width, int height, bool textured) {
  static std::map<int, kv::test::EncodedStream> streams;
  const int key = width * 2 + (textured ? 1 : 0);
  auto it = streams.find(key);
  if (it == streams.end()) {
    kv::test::H264Options options;
    options.width = width;
    options.height = height;
    options.pictures = kPictures;
    options.slices = 4;
    options.intraPeriod = 30;
    options.bitrate = width >= 1920 ? 6'000'000 : 3'000'000;
    options.texture = textured;
    it = streams.emplace(key, kv::test::EncodeH264OpenH264(options)).first;
  }
  return it->second;
}

// CPU time of the whole process (all threads).
double ProcessCpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

void Report(benchmark::State& state, double cpuSeconds, double wallSeconds, int64_t pictures) {
  state.counters["cpu_ms/picture"] = cpuSeconds * 1000.0 / static_cast<double>(pictures);
  state.counters["pictures/s"] = static_cast<double>(pictures) / wallSeconds;
}

// The stream the benchmark's arguments (width, height, textured) name; null, with the run
// skipped, when libavcodec is not available.
const kv::test::EncodedStream* StreamForRun(benchmark::State& state) {
  if (!kv::AvcodecLoad(nullptr)) {
    state.SkipWithError("libavcodec not available");
    return nullptr;
  }
  return &StreamOf(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                   state.range(2) != 0);
}

// libavcodec alone on every frame of the passes; adds to cpu and wall, returns the pictures.
int64_t DecodeAloneOnce(const kv::test::EncodedStream& stream, double* cpu, double* wall) {
  kv::AvcodecH264Decoder decoder;
  if (!decoder.Open(nullptr)) return -1;
  int64_t pictures = 0;
  const double cpu0 = ProcessCpuSeconds();
  const auto wall0 = std::chrono::steady_clock::now();
  for (int pass = 0; pass < kPasses; ++pass) {
    for (const auto& frame : stream.frames) {
      kv::VideoPicture picture;
      if (decoder.Decode(frame.data(), frame.size(), &picture) == 1) ++pictures;
      benchmark::DoNotOptimize(picture.y);
    }
  }
  *cpu += ProcessCpuSeconds() - cpu0;
  *wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  decoder.Close(nullptr);
  return pictures;
}

void BM_DecodeAlone(benchmark::State& state) {
  const kv::test::EncodedStream* streamOrNull = StreamForRun(state);
  if (streamOrNull == nullptr) return;
  const kv::test::EncodedStream& stream = *streamOrNull;
  double cpu = 0, wall = 0;
  int64_t pictures = 0;
  for (auto _ : state) {
    const int64_t decoded = DecodeAloneOnce(stream, &cpu, &wall);
    if (decoded < 0) {
      state.SkipWithError("decoder open failed");
      return;
    }
    pictures += decoded;
  }
  if (pictures > 0) Report(state, cpu, wall, pictures);
}

// Decoding and rendering in one thread, no worker: what the worker adds is the difference.
void BM_DecodeAndRender(benchmark::State& state) {
  const kv::test::EncodedStream* streamOrNull = StreamForRun(state);
  if (streamOrNull == nullptr) return;
  const kv::test::EncodedStream& stream = *streamOrNull;
  auto saved = kv::platform::ReplaceWindowSystemForTest(
      std::make_unique<kv::platform::HeadlessWindowSystem>());
  kv::platform::HeadlessDisplay::Get().Reset();
  kv::platform::HeadlessDisplay::Get().SetFixedScanLine(2000);
  const uint32_t window =
      kv::platform::GetHeadlessWindowSystem()->CreateWindow(0, 0, 960, 540, true);
  double cpu = 0, wall = 0;
  int64_t pictures = 0;
  {
    kv::CNetClient client;
    client.m_self = &client;
    client.m_viewState.videoWindow = window;
    client.m_viewState.mdShowMode = 0;
    kv::CDDrawRender renderer(&client.m_viewState, &client);
    for (auto _ : state) {
      kv::AvcodecH264Decoder decoder;
      if (!decoder.Open(nullptr)) {
        state.SkipWithError("decoder open failed");
        break;
      }
      const double cpu0 = ProcessCpuSeconds();
      const auto wall0 = std::chrono::steady_clock::now();
      for (int pass = 0; pass < kPasses; ++pass) {
        for (const auto& frame : stream.frames) {
          kv::VideoPicture p;
          if (decoder.Decode(frame.data(), frame.size(), &p) != 1) continue;
          renderer.Render(window, p.y, p.u, p.v, p.yStride, p.uvStride, p.width, p.height);
          ++pictures;
        }
      }
      cpu += ProcessCpuSeconds() - cpu0;
      wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
      decoder.Close(nullptr);
    }
  }
  kv::platform::HeadlessDisplay::Get().Reset();
  kv::platform::ReplaceWindowSystemForTest(std::move(saved));
  if (pictures > 0) Report(state, cpu, wall, pictures);
}

// The machine's speed drifts over a run (it is shared), so each iteration also decodes the
// same frames alone just before the worker runs, and the ratio of the two is reported.
void BM_WholeWorker(benchmark::State& state) {
  const kv::test::EncodedStream* streamOrNull = StreamForRun(state);
  if (streamOrNull == nullptr) return;
  const kv::test::EncodedStream& stream = *streamOrNull;
  double aloneCpu = 0, aloneWall = 0;
  int64_t alonePictures = 0;
  auto saved = kv::platform::ReplaceWindowSystemForTest(
      std::make_unique<kv::platform::HeadlessWindowSystem>());
  kv::platform::HeadlessDisplay::Get().Reset();
  kv::platform::HeadlessDisplay::Get().SetFixedScanLine(2000);  // never wait for the blank
  const uint32_t window =
      kv::platform::GetHeadlessWindowSystem()->CreateWindow(0, 0, 960, 540, true);
  double cpu = 0, wall = 0;
  int64_t pictures = 0;
  for (auto _ : state) {
    const int64_t decodedAlone = DecodeAloneOnce(stream, &aloneCpu, &aloneWall);
    if (decodedAlone < 0) {
      state.SkipWithError("decoder open failed");
      break;
    }
    alonePictures += decodedAlone;
    kv::CBufferConduit conduit;
    conduit.Create(16 * 1024 * 1024, false, 8192, true);
    kv::CNetClient client;
    KVNET_CLIENT_PARAM param{};
    std::strcpy(param.address, "127.0.0.1");
    param.view = 1;
    client.InitLive(param);
    client.m_self = &client;
    client.m_videoConduit = &conduit;
    client.m_stream.videoCodec = VCODEC_H264;
    client.m_stream.width = stream.width;
    client.m_stream.height = stream.height;
    client.m_stream.frameRate = 30;
    client.m_viewState.videoWindow = window;
    client.m_viewState.view = 1;
    client.m_viewState.mdShowMode = 0;
    // The whole stream is queued: the live worker drains it with its catch-up sleeps.
    for (int pass = 0; pass < kPasses; ++pass) {
      for (const auto& frame : stream.frames) {
        conduit.Write(frame.data(), static_cast<int32_t>(frame.size()), 1, 0, 0);
      }
    }
    kv::CAVDisplay display;
    display.Bind(client.DisplayParts());
    if (display.SetupDecoder() != 1 || display.Start() != 0) {
      state.SkipWithError("worker start failed");
      break;
    }
    const double cpu0 = ProcessCpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    const auto guard = wall0 + std::chrono::seconds(60);
    const auto expected = static_cast<uint32_t>(stream.pictures * kPasses);
    while (client.m_counters.frameCount.load() < expected &&
           std::chrono::steady_clock::now() < guard) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    cpu += ProcessCpuSeconds() - cpu0;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    pictures += client.m_counters.frameCount.load();
    display.StopWorker();
  }
  kv::platform::HeadlessDisplay::Get().Reset();
  kv::platform::ReplaceWindowSystemForTest(std::move(saved));
  if (pictures > 0 && alonePictures > 0) {
    Report(state, cpu, wall, pictures);
    const double alone = aloneCpu * 1000.0 / static_cast<double>(alonePictures);
    state.counters["alone_cpu_ms/picture"] = alone;
    state.counters["worker/alone"] = state.counters["cpu_ms/picture"] / alone;
  }
}

BENCHMARK(BM_DecodeAlone)
    ->ArgsProduct({{1280}, {720}, {0, 1}})
    ->ArgsProduct({{1920}, {1080}, {0, 1}})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeAndRender)
    ->ArgsProduct({{1280}, {720}, {0, 1}})
    ->ArgsProduct({{1920}, {1080}, {0, 1}})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeWorker)
    ->ArgsProduct({{1280}, {720}, {0, 1}})
    ->ArgsProduct({{1920}, {1080}, {0, 1}})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
