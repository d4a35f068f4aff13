// Record-file replay: opening a one-hour native file with and without its trailer (the scan
// rate), seek latency from the request to the first picture from the new place, and the
// highest speed level a 1280x720 H.264 file sustains.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "KvNetClient.h"
#include "sdk/platform/headless_window.h"
#include "sdk/platform/surface_headless.h"
#include "sdk/platform/window_system.h"
#include "tests/support/record_writers.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::vector<std::string>& Made() {
  static std::vector<std::string> paths;
  return paths;
}

// A file in the temporary directory, removed when the program ends.
std::string TempPath(const std::string& name) {
  if (Made().empty()) {
    std::atexit([] {
      for (const std::string& p : Made()) fs::remove(p);
    });
  }
  Made().push_back(
      (fs::temp_directory_path() / ("kvnet-replay-bench-" + std::to_string(getpid()) + "-" + name))
          .string());
  return Made().back();
}

// One hour at 25 pictures/s: a key unit every 50 pictures, about 2.5 KB per picture, and
// two voice frames per picture (about 240 MB).
const std::string& HourFile(bool trailer) {
  static std::string paths[2];
  std::string& path = paths[trailer ? 1 : 0];
  if (!path.empty()) return path;
  kv::test::StoredStream s;
  s.videoCodec = VCODEC_H264;
  s.audioCodec = ACODEC_G711U;
  s.width = 1280;
  s.height = 720;
  s.frameRate = 25;
  std::vector<uint8_t> video(2500, 0x5A);
  video[0] = 0, video[1] = 0, video[2] = 0, video[3] = 1, video[4] = 0x41;
  std::vector<uint8_t> voice(4 + 160, 0xFF);
  voice[0] = 0, voice[1] = 1, voice[2] = 80, voice[3] = 0;
  for (int i = 0; i < 3600 * 25; ++i) {
    kv::test::StoredUnit v;
    v.type = i % 50 == 0 ? 7 : 1;
    v.data = video;
    v.timeStamp = static_cast<uint32_t>(i * 40);
    s.units.push_back(v);
    for (int a = 0; a < 2; ++a) {
      kv::test::StoredUnit u;
      u.kind = 1;
      u.type = ACODEC_G711U;
      u.data = voice;
      u.timeStamp = v.timeStamp;
      s.units.push_back(u);
    }
  }
  path = TempPath(trailer ? "hour.kv" : "hour-notrailer.kv");
  kv::test::WriteFileBytes(path, kv::test::WriteNativeBytes(s, trailer, VCODEC_H264));
  return path;
}

void BM_OpenHourFile(benchmark::State& state) {
  const bool trailer = state.range(0) != 0;
  const std::string& path = HourFile(trailer);
  setenv("KVNET_AUDIO_OUT", "null", 1);
  KVNET_Startup(0, 0, nullptr, 0);
  const double bytes = static_cast<double>(fs::file_size(path));
  for (auto _ : state) {
    KVNET_HANDLE h = KVNET_OpenFile(path.c_str(), 0, 1);
    if (h == nullptr) {
      state.SkipWithError("open failed");
      break;
    }
    state.PauseTiming();
    benchmark::DoNotOptimize(KVNET_ReplayTotalTime(h));
    KVNET_CloseFile(h);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
  state.counters["fileMB"] = bytes / 1e6;
}
BENCHMARK(BM_OpenHourFile)
    ->Arg(1)
    ->Arg(0)
    ->ArgNames({"trailer"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

std::atomic<int> gPresents{0};
int KVNET_CALL CountDraw(KVNET_HANDLE, void*, void*) {
  ++gPresents;
  return 0;
}

struct HeadlessScope {
  std::unique_ptr<kv::platform::WindowSystem> saved;
  uint32_t window = 0;
  HeadlessScope(int w, int h) {
    saved = kv::platform::ReplaceWindowSystemForTest(
        std::make_unique<kv::platform::HeadlessWindowSystem>());
    kv::platform::HeadlessDisplay::Get().Reset();
    kv::platform::HeadlessDisplay::Get().SetFixedScanLine(1079);
    window = kv::platform::GetHeadlessWindowSystem()->CreateWindow(0, 0, w, h, true);
  }
  ~HeadlessScope() {
    kv::platform::HeadlessDisplay::Get().Reset();
    kv::platform::ReplaceWindowSystemForTest(std::move(saved));
  }
};

const std::string& HdFile() {
  static std::string path;
  if (!path.empty()) return path;
  kv::test::StreamOptions o;
  o.width = 1280;
  o.height = 720;
  o.pictures = 250;
  o.keyInterval = 25;
  o.audio = false;
  const kv::test::StoredStream s = kv::test::MakeH264Stream(o);
  path = TempPath("hd.kv");
  kv::test::WriteFileBytes(path, kv::test::WriteNativeBytes(s, true, VCODEC_H264));
  return path;
}

// From a seek request while playing to the next picture drawn from the new place.
void BM_SeekLatency(benchmark::State& state) {
  HeadlessScope screen(1280, 720);
  setenv("KVNET_AUDIO_OUT", "null", 1);
  KVNET_Startup(0, 0, nullptr, 0);
  KVNET_SetDrawCallback(CountDraw);
  KVNET_HANDLE h = KVNET_OpenFile(HdFile().c_str(), screen.window, 0);
  if (h == nullptr) {
    state.SkipWithError("open failed");
    return;
  }
  unsigned target = 0;
  for (auto _ : state) {
    target = (target + 3) % 9;
    const int presents = gPresents.load();
    KVNET_ReplaySeek(h, target);
    // The seek is served when the reader clears the pending flag; then the next picture.
    while (gPresents.load() == presents)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  KVNET_CloseFile(h);
  KVNET_SetDrawCallback(nullptr);
}
BENCHMARK(BM_SeekLatency)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

// Pictures per second reached at each speed level; "sustained" when at least 90 % of the
// level's target (25 x 2^level).
void BM_SpeedLevel(benchmark::State& state) {
  const int level = static_cast<int>(state.range(0));
  HeadlessScope screen(1280, 720);
  setenv("KVNET_AUDIO_OUT", "null", 1);
  KVNET_Startup(0, 0, nullptr, 0);
  KVNET_SetDrawCallback(CountDraw);
  double rate = 0;
  for (auto _ : state) {
    KVNET_HANDLE h = KVNET_OpenFile(HdFile().c_str(), screen.window, 0);
    if (h == nullptr) {
      state.SkipWithError("open failed");
      break;
    }
    for (int i = 0; i < level; ++i) KVNET_SpeedFast(h);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int start = gPresents.load();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    rate = (gPresents.load() - start) / std::chrono::duration<double>(Clock::now() - t0).count();
    KVNET_CloseFile(h);
  }
  KVNET_SetDrawCallback(nullptr);
  state.counters["pictures_per_s"] = rate;
  state.counters["target"] = 25.0 * (1 << level);
  state.counters["sustained"] = rate >= 0.9 * 25.0 * (1 << level) ? 1 : 0;
}
BENCHMARK(BM_SpeedLevel)
    ->DenseRange(0, 4)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
