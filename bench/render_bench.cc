// Display renderer benchmarks: the stretch blit alone, and a whole Render of a 720p or
// 1080p picture into a 960x540 headless window.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "sdk/core/net_client.h"
#include "sdk/media/ddraw_render.h"
#include "sdk/platform/headless_window.h"
#include "sdk/platform/stretch_blit.h"
#include "sdk/platform/surface_headless.h"

namespace {

using kv::platform::PixelFormat;

void BM_StretchBlit(benchmark::State& state) {
  const int srcW = static_cast<int>(state.range(0)), srcH = static_cast<int>(state.range(1));
  const auto format = static_cast<PixelFormat>(state.range(2));
  const int dstW = 960, dstH = 540;
  const int bpp = kv::platform::BytesPerPixel(format);
  std::vector<uint8_t> src(static_cast<size_t>(srcW) * srcH * bpp, 0x5A);
  std::vector<uint8_t> dst(static_cast<size_t>(dstW) * dstH * 4);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 7);
  kv::platform::StretchBlitter blitter;
  kv::platform::PixelRect from{src.data(), srcW * bpp, srcW, srcH, format};
  for (auto _ : state) {
    bool ok = blitter.Blit(from, dst.data(), dstW * 4, dstW, dstH, PixelFormat::kRGB32);
    benchmark::DoNotOptimize(ok);
  }
  // Megapixels per second of output.
  state.counters["Mpix/s"] = benchmark::Counter(static_cast<double>(dstW) * dstH / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_StretchBlit)
    ->Args({1280, 720, static_cast<int>(PixelFormat::kRGB32)})
    ->Args({1920, 1080, static_cast<int>(PixelFormat::kRGB32)})
    ->Args({1280, 720, static_cast<int>(PixelFormat::kUYVY)})
    ->Args({1920, 1080, static_cast<int>(PixelFormat::kUYVY)})
    ->Unit(benchmark::kMillisecond);

void BM_RenderInto960x540(benchmark::State& state) {
  auto saved = kv::platform::ReplaceWindowSystemForTest(
      std::make_unique<kv::platform::HeadlessWindowSystem>());
  kv::platform::HeadlessDisplay::Get().Reset();
  kv::platform::HeadlessDisplay::Get().SetCaps({true, state.range(2) != 0});
  const uint32_t window =
      kv::platform::GetHeadlessWindowSystem()->CreateWindow(0, 0, 960, 540, true);
  {
    kv::CNetClient client;
    client.m_self = &client;
    client.m_viewState.videoWindow = window;
    client.m_viewState.mdShowMode = 0;
    kv::platform::HeadlessDisplay::Get().SetFixedScanLine(2000);  // never wait for the blank
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    std::vector<uint8_t> y(static_cast<size_t>(w) * h), u(y.size() / 4), v(y.size() / 4);
    for (size_t i = 0; i < y.size(); ++i) y[i] = static_cast<uint8_t>(i * 13);
    for (size_t i = 0; i < u.size(); ++i) u[i] = v[i] = static_cast<uint8_t>(i * 5);
    kv::CDDrawRender renderer(&client.m_viewState, &client);
    for (auto _ : state) {
      renderer.Render(window, y.data(), u.data(), v.data(), w, w / 2, w, h);
    }
    state.SetLabel(renderer.PictureFormatCode() == kv::PICFMT_UYVY ? "UYVY" : "RGB32");
    state.counters["fps"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
  }
  kv::platform::HeadlessDisplay::Get().Reset();
  kv::platform::ReplaceWindowSystemForTest(std::move(saved));
}
// Arguments: picture width, height, and 1 for a UYVY picture surface (0: 32-bit RGB).
BENCHMARK(BM_RenderInto960x540)
    ->ArgsProduct({{1280}, {720}, {1, 0}})
    ->ArgsProduct({{1920}, {1080}, {1, 0}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
