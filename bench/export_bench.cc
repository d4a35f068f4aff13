// "kvnet export" speed on a one-hour 1280x720 recording (25 pictures/s H.264 at 2 Mbit/s with
// G.711 sound, as a device records it: pieces of at most 1,400 bytes), beside two anchors
// measured in the same run: reading the same file, and ffmpeg's own "-c copy" remux of the
// exported Matroska file (the same pictures and sound).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kvnet/record_exporter.h"
#include "sdk/record/record_format.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_streams.h"

namespace {

namespace fs = std::filesystem;
constexpr int kPictures = 25 * 3600;
constexpr size_t kPiece = 1400;

struct HourFile {
  fs::path dir;
  fs::path record;
  uint64_t bytes = 0;
  ~HourFile() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

void PutUnit(std::ofstream& out, uint64_t* pos, uint32_t kind, uint32_t type, const uint8_t* data,
             size_t length, uint32_t stamp) {
  kv::RecordUnitHeader h;
  h.kind = kind;
  h.type = type;
  h.length = static_cast<uint32_t>(length);
  h.width = 1280;
  h.height = 720;
  h.timeStamp = stamp;
  uint8_t head[kv::kUnitHeaderSize];
  kv::EncodeUnitHeader(h, head);
  out.write(reinterpret_cast<const char*>(head), sizeof head);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
  *pos += sizeof head + length;
}

const HourFile& Hour() {
  static HourFile f = [] {
    HourFile h;
    h.dir = kv::test::MakeUniqueTempDir("kvnet-export-bench-");
    h.record = h.dir / "hour.rec";
    kv::test::H264Options o;
    o.width = 1280;
    o.height = 720;
    o.pictures = 50;
    o.slices = 1;
    o.intraPeriod = 50;
    o.bitrate = 2'000'000;
    o.texture = true;
    const kv::test::EncodedStream s = kv::test::EncodeH264OpenH264(o);
    // The NAL units of each picture (headers go with the picture after them).
    std::vector<std::vector<std::vector<uint8_t>>> pictures(50);
    int next = 0;
    for (size_t i = 0; i < s.frames.size(); ++i) {
      const int p = s.pictureOfFrame[i] >= 0 ? s.pictureOfFrame[i] : next;
      if (p < 50) pictures[p].push_back(s.frames[i]);
      next = p;
    }
    std::ofstream out(h.record, std::ios::binary);
    kv::RecordFileHeader header{96, 2, 1280, 720, 0, 25};
    uint8_t head[kv::kRecordHeaderSize];
    kv::EncodeFileHeader(header, head);
    out.write(reinterpret_cast<const char*>(head), sizeof head);
    uint64_t pos = kv::kRecordHeaderSize;
    std::vector<std::pair<uint64_t, uint32_t>> index;
    std::vector<uint8_t> voice(4 + 160, 0xD5);
    voice[0] = 0x00;
    voice[1] = 0x01;
    voice[2] = 80;
    voice[3] = 0;
    for (int i = 0; i < kPictures; ++i) {
      const uint32_t stamp = 1000000u + static_cast<uint32_t>(i) * 40u;
      const bool key = i % 50 == 0;
      for (const std::vector<uint8_t>& nal : pictures[i % 50]) {
        for (size_t at = 0; at < nal.size(); at += kPiece) {
          if (key) index.emplace_back(pos, stamp);
          PutUnit(out, &pos, 0, key ? 7 : 1, nal.data() + at, std::min(kPiece, nal.size() - at),
                  stamp);
        }
      }
      for (int a = 0; a < 2; ++a) PutUnit(out, &pos, 1, 2, voice.data(), voice.size(), stamp);
    }
    out.write("BEGININDEX", 10);
    for (const auto& [offset, stamp] : index) {
      uint8_t e[16] = {};
      kv::PutLe64(e, offset);
      kv::PutLe32(e + 8, stamp);
      out.write(reinterpret_cast<const char*>(e), 16);
    }
    uint8_t n[4];
    kv::PutLe32(n, static_cast<uint32_t>(index.size()));
    out.write(reinterpret_cast<const char*>(n), 4);
    out.write("ENDINDEX", 8);
    out.close();
    h.bytes = fs::file_size(h.record);
    return h;
  }();
  return f;
}

void Report(benchmark::State& state, double seconds) {
  const double mb = static_cast<double>(Hour().bytes) / 1e6;
  state.counters["record_MB"] = mb;
  state.counters["MB_per_s"] = mb / seconds;
  state.counters["s_for_the_hour"] = seconds;
}

void Export(benchmark::State& state, const char* ext) {
  const HourFile& h = Hour();
  const fs::path out = h.dir / (std::string("out") + ext);
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    kvnet::ExportSummary summary;
    std::string error;
    if (!kvnet::ExportRecordFile(h.record.string(), out.string(), nullptr, &summary, &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (summary.pictures != kPictures) state.SkipWithError("pictures lost");
  }
  Report(state, seconds);
  if (std::string(ext) == ".mp4") fs::remove(out);
}

void BM_ExportHourToMkv(benchmark::State& state) { Export(state, ".mkv"); }
void BM_ExportHourToMp4(benchmark::State& state) { Export(state, ".mp4"); }

// Anchor: reading the record file once (from the page cache after the first pass).
void BM_AnchorReadRecordFile(benchmark::State& state) {
  std::vector<char> buffer(1 << 20);
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    std::ifstream in(Hour().record, std::ios::binary);
    uint64_t sum = 0;
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
      sum += static_cast<uint64_t>(in.gcount());
    }
    benchmark::DoNotOptimize(sum);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  Report(state, seconds);
}

// Anchor: ffmpeg's own stream copy of the same hour (the Matroska export) into Matroska.
void BM_AnchorFfmpegCopyRemux(benchmark::State& state) {
  const fs::path mkv = Hour().dir / "out.mkv";
  if (!fs::exists(mkv)) {
    state.SkipWithError("run BM_ExportHourToMkv first");
    return;
  }
  const std::string command = "ffmpeg -v error -y -i '" + mkv.string() + "' -c copy '" +
                              (Hour().dir / "remux.mkv").string() + "'";
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) state.SkipWithError("ffmpeg failed");
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  Report(state, seconds);
  fs::remove(Hour().dir / "remux.mkv");
}

BENCHMARK(BM_AnchorReadRecordFile)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_ExportHourToMkv)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_ExportHourToMp4)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_AnchorFfmpegCopyRemux)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
