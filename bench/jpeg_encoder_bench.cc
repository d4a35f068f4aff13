// Snapshot encoding speed in megapixels per second at 1280x720 and 1920x1080, beside
// libjpeg-turbo's tjCompress2 at 4:4:4 and quality 85 (the same 30 % scaled tables) on the same
// picture in the same run: a smooth one (detail 0) and one with fine detail over it, as a
// camera's picture of foliage or gravel has (detail 1), which makes the entropy coder work.
// tjCompress2 takes RGB, so its figure includes its SIMD colour conversion; ours starts from the
// decoder's planes.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>
#include <vector>

#include "sdk/media/jpeg_encoder.h"
#include "tests/support/jpeg_inspect.h"

namespace {

struct Source {
  kv::test::PlanarPicture planar;
  std::vector<uint8_t> rgb;  // the same picture, BT.601 full range as JFIF defines it
};

const Source& Picture(int width, int height, bool detail) {
  static std::map<std::tuple<int, int, bool>, Source> pictures;
  auto key = std::make_tuple(width, height, detail);
  auto it = pictures.find(key);
  if (it == pictures.end()) {
    Source s;
    s.planar = kv::test::MakeNaturalPicture(width, height, 42);
    if (detail) {
      // +-12 levels of luma detail from a hash of the position.
      kv::test::PlanarPicture& p = s.planar;
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const uint32_t h =
              (static_cast<uint32_t>(x) * 73856093u) ^ (static_cast<uint32_t>(y) * 19349663u);
          uint8_t& v = p.y[static_cast<size_t>(y) * p.yStride + x];
          v = static_cast<uint8_t>(std::clamp(v + static_cast<int>((h >> 9) % 25) - 12, 0, 255));
        }
      }
    }
    s.rgb.resize(static_cast<size_t>(width) * height * 3);
    const kv::test::PlanarPicture& p = s.planar;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const double l = p.y[static_cast<size_t>(y) * p.yStride + x];
        const double cb = p.u[static_cast<size_t>(y / 2) * p.uvStride + x / 2] - 128.0;
        const double cr = p.v[static_cast<size_t>(y / 2) * p.uvStride + x / 2] - 128.0;
        uint8_t* out = &s.rgb[(static_cast<size_t>(y) * width + x) * 3];
        auto clamp = [](double v) {
          return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
        };
        out[0] = clamp(l + 1.402 * cr);
        out[1] = clamp(l - 0.344136 * cb - 0.714136 * cr);
        out[2] = clamp(l + 1.772 * cb);
      }
    }
    it = pictures.emplace(key, std::move(s)).first;
  }
  return it->second;
}

void SetCounters(benchmark::State& state, int width, int height, size_t bytes) {
  state.counters["MP/s"] = benchmark::Counter(static_cast<double>(width) * height / 1e6,
                                              benchmark::Counter::kIsIterationInvariantRate);
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_SnapshotEncoder(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  const kv::test::PlanarPicture& p = Picture(width, height, state.range(2) != 0).planar;
  std::vector<uint8_t> out;
  for (auto _ : state) {
    kv::EncodeJpeg(p.y.data(), p.u.data(), p.v.data(), p.yStride, p.uvStride, width, height, &out);
    benchmark::DoNotOptimize(out.data());
  }
  SetCounters(state, width, height, out.size());
}

void BM_TurboJpegCompress444Q85(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  const std::vector<uint8_t>& rgb = Picture(width, height, state.range(2) != 0).rgb;
  tjhandle tj = tjInitCompress();
  unsigned char* buffer = nullptr;
  unsigned long length = 0;
  for (auto _ : state) {
    if (tjCompress2(tj, rgb.data(), width, 0, height, TJPF_RGB, &buffer, &length, TJSAMP_444, 85,
                    0) != 0) {
      state.SkipWithError(tjGetErrorStr2(tj));
      break;
    }
    benchmark::DoNotOptimize(buffer);
  }
  tjFree(buffer);
  tjDestroy(tj);
  SetCounters(state, width, height, length);
}

}  // namespace

void Sizes(benchmark::internal::Benchmark* b) {
  for (int detail : {0, 1}) {
    b->Args({1280, 720, detail});
    b->Args({1920, 1080, detail});
  }
  b->ArgNames({"w", "h", "detail"})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_SnapshotEncoder)->Apply(Sizes);
BENCHMARK(BM_TurboJpegCompress444Q85)->Apply(Sizes);
