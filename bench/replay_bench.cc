// Record-file replay: opening a one-hour native file with and without its trailer (the scan
// rate), seek latency in an hour of H.264 from the request to the first picture at or after
// the target, and the highest speed level a 1280x720 H.264 file sustains.
#include <benchmark/benchmark.h>
#include <cairo.h>
#include <unistd.h>

#include <algorithm>
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
#include "tests/support/test_streams.h"

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

// ---- Seeking in an hour of H.264 as devices record it ----

// Seek targets (seconds) spread over the hour and rising, so that every picture shown from
// before a seek lies before its target.
constexpr int kSeeks = 20;
unsigned SeekTarget(int k) { return 91u + 173u * static_cast<unsigned>(k); }
constexpr int kGroupPictures = 50;  // a key picture every 2 s at 25 pictures/s
constexpr uint32_t kFirstTimeStamp = 100000;
// The group a seek to target lands in: the first key picture after the target.
int LandingGroup(unsigned target) { return static_cast<int>(target / 2 + 1); }
// The number every picture of seek k's landing group shows; the other groups show 0..49.
int LandingNumber(int k) { return 100 + k; }

// One hour at 1280x720, 25 pictures/s, about 1 Mbit/s of textured pictures: each key picture
// comes after its parameter sets, as devices send them, with two G.711 voice frames per
// picture. One encoded group repeats with rising time stamps; the groups the seeks land in are
// encoded with their own number, so the first picture from the new place is recognised on
// the screen.
const std::string& RealisticHourFile() {
  static std::string path;
  if (!path.empty()) return path;
  kv::test::H264Options o;
  o.width = 1280;
  o.height = 720;
  o.pictures = kGroupPictures;
  o.slices = 1;
  o.intraPeriod = kGroupPictures;
  o.bitrate = 1'000'000;
  o.texture = true;
  const kv::test::EncodedStream group = kv::test::EncodeH264OpenH264(o);
  std::vector<kv::test::EncodedStream> landing;
  for (int k = 0; k < kSeeks; ++k) {
    o.number = LandingNumber(k);
    landing.push_back(kv::test::EncodeH264OpenH264(o));
  }
  // The landing groups are found from the targets, so each group must hold exactly one key
  // picture (its parameter sets), at its start.
  auto oneKeyAtStart = [](const kv::test::EncodedStream& e) {
    size_t keys = 0;
    for (const auto& f : e.frames) keys += f.size() > 4 && (f[4] & 0x1F) == 7 ? 1 : 0;
    return keys == 1 && !e.frames.empty() && (e.frames[0][4] & 0x1F) == 7;
  };
  if (!oneKeyAtStart(group)) return path;
  for (const auto& e : landing) {
    if (!oneKeyAtStart(e)) return path;
  }
  std::vector<uint8_t> voice(4 + 160, 0xFF);
  voice[0] = 0, voice[1] = 1, voice[2] = 80, voice[3] = 0;
  path = TempPath("hour-h264.kv");
  kv::test::NativeFileWriter writer(path, VCODEC_H264, ACODEC_G711U, 1280, 720, 25);
  for (int g = 0; g < 3600 / 2; ++g) {
    const kv::test::EncodedStream* s = &group;
    for (int k = 0; k < kSeeks; ++k) {
      if (LandingGroup(SeekTarget(k)) == g) s = &landing[static_cast<size_t>(k)];
    }
    int next = 0;  // the picture the next parameter sets come before
    for (size_t i = 0; i < s->frames.size(); ++i) {
      const int picture = s->pictureOfFrame[i] >= 0 ? s->pictureOfFrame[i] : next;
      kv::test::StoredUnit v;
      v.data = s->frames[i];
      v.type = v.data.size() > 4 ? (v.data[4] & 0x1Fu) : 0;
      v.timeStamp = kFirstTimeStamp + static_cast<uint32_t>((g * kGroupPictures + picture) * 40);
      writer.Add(v);
      if (s->pictureOfFrame[i] < 0) continue;
      next = picture + 1;
      for (int a = 0; a < 2; ++a) {
        kv::test::StoredUnit u;
        u.kind = 1;
        u.type = ACODEC_G711U;
        u.data = voice;
        u.timeStamp = v.timeStamp;
        writer.Add(u);
      }
    }
  }
  if (!writer.Finish()) path.clear();
  return path;
}

// What the draw callback saw: the number of every picture, and when the one waited for came.
struct SeekWatch {
  std::atomic<int> wanted{-1};
  std::atomic<bool> found{false};
  Clock::time_point foundAt;
  std::atomic<int> presents{0};
};
SeekWatch gWatch;

// Reads the picture number from the squares at the left of the back surface (drawn 1:1).
int KVNET_CALL WatchDraw(KVNET_HANDLE, void* dc, void*) {
  ++gWatch.presents;
  cairo_surface_t* target = cairo_get_target(static_cast<cairo_t*>(dc));
  if (cairo_surface_get_type(target) != CAIRO_SURFACE_TYPE_IMAGE) return 0;
  cairo_surface_flush(target);
  const int h = cairo_image_surface_get_height(target);
  const int stride = cairo_image_surface_get_stride(target);
  const uint8_t* data = cairo_image_surface_get_data(target);
  constexpr int kWidth = 128;  // the eight 16-pixel squares
  if (cairo_image_surface_get_width(target) < kWidth) return 0;
  std::vector<uint8_t> y(static_cast<size_t>(kWidth) * h);
  for (int r = 0; r < h; ++r) {
    for (int c = 0; c < kWidth; ++c) {
      const uint8_t* p = data + static_cast<size_t>(r) * stride + c * 4;
      y[static_cast<size_t>(r) * kWidth + c] =
          static_cast<uint8_t>((p[0] * 29 + p[1] * 150 + p[2] * 77) >> 8);
    }
  }
  if (!gWatch.found.load() &&
      kv::test::ReadPictureNumber(y.data(), kWidth, kWidth, h) == gWatch.wanted.load()) {
    gWatch.foundAt = Clock::now();
    gWatch.found = true;
  }
  return 0;
}

// From a seek request while playing to the first picture drawn whose time stamp is at or after
// the target (the key picture the seek lands on), twenty seeks over the hour. The anchor,
// measured in the same run: from KVNET_OpenFile to the first picture of the file.
void BM_SeekLatency(benchmark::State& state) {
  const std::string& path = RealisticHourFile();
  if (path.empty()) {
    state.SkipWithError("the hour file could not be made");
    return;
  }
  HeadlessScope screen(1280, 720);
  setenv("KVNET_AUDIO_OUT", "null", 1);
  KVNET_Startup(0, 0, nullptr, 0);
  KVNET_SetDrawCallback(WatchDraw);
  auto waitFound = [] {
    const auto guard = Clock::now() + std::chrono::seconds(20);
    while (!gWatch.found.load() && Clock::now() < guard)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    return gWatch.found.load();
  };
  gWatch.found = false;
  gWatch.wanted = 0;
  const auto opened = Clock::now();
  KVNET_HANDLE h = KVNET_OpenFile(path.c_str(), screen.window, 0);
  if (h == nullptr || !waitFound()) {
    state.SkipWithError("open failed or no first picture");
    if (h != nullptr) KVNET_CloseFile(h);
    return;
  }
  const double openMs = std::chrono::duration<double, std::milli>(gWatch.foundAt - opened).count();
  std::vector<double> seeks;
  for (auto _ : state) {
    const int k = static_cast<int>(seeks.size());
    gWatch.found = false;
    gWatch.wanted = LandingNumber(k);
    const auto asked = Clock::now();
    KVNET_ReplaySeek(h, SeekTarget(k));
    if (!waitFound()) {
      state.SkipWithError("no picture from the seek target");
      break;
    }
    const double ms = std::chrono::duration<double, std::milli>(gWatch.foundAt - asked).count();
    state.SetIterationTime(ms / 1000.0);
    seeks.push_back(ms);
    // Let it play on from there for a moment, as a viewer would.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  KVNET_CloseFile(h);
  KVNET_SetDrawCallback(nullptr);
  if (seeks.empty()) return;
  std::sort(seeks.begin(), seeks.end());
  state.counters["seeks"] = static_cast<double>(seeks.size());
  state.counters["median_ms"] = seeks[seeks.size() / 2];
  state.counters["worst_ms"] = seeks.back();
  state.counters["anchor_open_to_first_picture_ms"] = openMs;
  state.counters["fileMB"] = static_cast<double>(fs::file_size(path)) / 1e6;
}
BENCHMARK(BM_SeekLatency)->Unit(benchmark::kMillisecond)->Iterations(kSeeks)->UseManualTime();

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
