// Talk mouth-to-ear latency through the device simulator on loopback. The capture side reads a
// WAV file in real time: silence, then a 1 kHz burst. kvdevice echoes every voice frame it
// hears and logs when the sound began to arrive; the playback side writes a WAV file in real
// time, which this benchmark watches for the burst. Reported: mouth to device (the burst's place
// in the capture stream to its arrival at the device), device to ear, and mouth to ear, beside
// the anchor measured in the same run: a bare loopback TCP round trip of one talk packet.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "sdk/control/talk_session.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 8000;
constexpr int kSilenceSamples = 8000;  // 1 s before the burst
constexpr int kBurstSamples = 4000;

uint32_t MonotonicMs() {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count());
}

void PutLe(std::string& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// 16-bit mono 8 kHz WAV: silence, the burst, and a second of silence after it.
void WriteBurst(const std::string& path) {
  std::string data;
  const int total = kSilenceSamples + kBurstSamples + kRate;
  for (int i = 0; i < total; ++i) {
    const bool loud = i >= kSilenceSamples && i < kSilenceSamples + kBurstSamples;
    const double s = loud ? 16000.0 * std::sin(2 * M_PI * 1000.0 * i / kRate) : 0.0;
    PutLe(data, static_cast<uint16_t>(static_cast<int16_t>(std::lround(s))), 2);
  }
  std::string header = "RIFF";
  PutLe(header, static_cast<uint32_t>(36 + data.size()), 4);
  header += "WAVEfmt ";
  PutLe(header, 16, 4);
  PutLe(header, 1, 2);
  PutLe(header, 1, 2);
  PutLe(header, kRate, 4);
  PutLe(header, 2 * kRate, 4);
  PutLe(header, 2, 2);
  PutLe(header, 16, 2);
  header += "data";
  PutLe(header, static_cast<uint32_t>(data.size()), 4);
  std::ofstream(path, std::ios::binary) << header << data;
}

// The sample index of the first loud sample in a WAV file written by the WAV backend, or -1.
long FirstLoudSample(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  for (size_t at = 44; at + 1 < bytes.size(); at += 2) {
    const auto s = static_cast<int16_t>(static_cast<uint8_t>(bytes[at]) |
                                        (static_cast<uint8_t>(bytes[at + 1]) << 8));
    if (std::abs(s) > 4000) return static_cast<long>((at - 44) / 2);
  }
  return -1;
}

// The device's first "talk sound at clock C" in its log, or 0.
uint32_t SoundArrival(const std::string& log) {
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find("talk sound at clock ");
    if (at != std::string::npos) return static_cast<uint32_t>(std::stoul(line.substr(at + 20)));
  }
  return 0;
}

// Median microseconds of a 168-byte (a G.711 talk packet) echo over a loopback TCP connection.
double LoopbackRoundTripUs(int rounds) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    close(listener);
    return -1;
  }
  std::thread echo([listener, rounds] {
    const int peer = accept(listener, nullptr, nullptr);
    char buffer[168];
    for (int i = 0; i < rounds; ++i) {
      size_t have = 0;
      while (have < sizeof buffer) {
        const ssize_t n = recv(peer, buffer + have, sizeof buffer - have, 0);
        if (n <= 0) break;
        have += static_cast<size_t>(n);
      }
      if (send(peer, buffer, sizeof buffer, MSG_NOSIGNAL) != sizeof buffer) break;
    }
    close(peer);
  });
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::vector<double> us;
  if (connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    char packet[168] = {};
    for (int i = 0; i < rounds; ++i) {
      const auto t0 = Clock::now();
      if (send(client, packet, sizeof packet, MSG_NOSIGNAL) != sizeof packet) break;
      size_t have = 0;
      while (have < sizeof packet) {
        const ssize_t n = recv(client, packet + have, sizeof packet - have, 0);
        if (n <= 0) break;
        have += static_cast<size_t>(n);
      }
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
  }
  close(client);
  echo.join();
  close(listener);
  if (us.empty()) return -1;
  std::nth_element(us.begin(), us.begin() + us.size() / 2, us.end());
  return us[us.size() / 2];
}

std::string DeviceBinary() {
  return (fs::read_symlink("/proc/self/exe").parent_path() / "../tools/kvdevice/kvdevice")
      .lexically_normal()
      .string();
}

void BM_TalkMouthToEar(benchmark::State& state) {
  const fs::path dir = kv::test::MakeUniqueTempDir("kvnet_talk_bench_");
  const std::string burst = (dir / "burst.wav").string(), played = (dir / "played.wav").string(),
                    log = (dir / "mctp.log").string();
  WriteBurst(burst);
  double up = 0, down = 0, total = 0, anchor = 0;
  int runs = 0;
  for (auto _ : state) {
    anchor += LoopbackRoundTripUs(2000);
    std::string url, error;
    fs::remove(log);
    fs::remove(played);
    auto device = kv::test::ServerProcess::Start(
        {DeviceBinary(), "--listen", "127.0.0.1:0", "--quiet", "--size", "160x120", "--fps", "5",
         "--banner", "v200", "--talk-audio", "echo", "--mctp-log", log},
        "kvdevice: listening on ", 30000, "", &url, &error);
    if (!device) {
      state.SkipWithError(("kvdevice did not start: " + error).c_str());
      break;
    }
    std::atomic<int32_t> generation{1};
    kv::TalkSettings settings;
    settings.device = {"127.0.0.1",
                       static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))), 1, "", ""};
    settings.deviceGeneration = &generation;
    settings.captureDevice = "wav:" + burst;
    settings.playbackDevice = "wav:" + played;
    // The capture starts within the connection's set-up (a few ms on loopback), so the burst
    // is spoken kSilenceSamples after the session starts, at the latest.
    kv::CTalk2VS talk(settings);
    const uint32_t start = MonotonicMs();
    talk.StartSession();
    const uint32_t mouth = start + kSilenceSamples * 1000 / kRate;
    uint32_t ear = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (ear == 0 && Clock::now() < deadline) {
      if (FirstLoudSample(played) >= 0) ear = MonotonicMs();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    talk.Halt();
    device->Stop(5000);
    const uint32_t arrival = SoundArrival(log);
    if (ear == 0 || arrival == 0) {
      state.SkipWithError("the burst did not come back");
      break;
    }
    up += static_cast<int32_t>(arrival - mouth);
    down += static_cast<int32_t>(ear - arrival);
    total += static_cast<int32_t>(ear - mouth);
    ++runs;
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  if (runs == 0) return;
  state.counters["mouth_to_device_ms"] = up / runs;
  state.counters["device_to_ear_ms"] = down / runs;
  state.counters["mouth_to_ear_ms"] = total / runs;
  state.counters["anchor_tcp_rtt_us"] = anchor / runs;
}
BENCHMARK(BM_TalkMouthToEar)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
