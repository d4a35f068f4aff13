// Throughput of the proprietary UDP source into a recording with the view off, and of the
// record writer alone.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/record/unit_recorder.h"
#include "sdk/sources/av_source.h"
#include "tests/support/fake_parts.h"
#include "tests/support/udp_test_sender.h"

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Sends `seconds` of 1400-byte video pieces at `mbps` (0: as fast as possible) to a live client
// that records with the view off; reports datagrams/s, Mbit/s, loss and CPU per Mbit.
void BM_UdpSourceIntoRecording(benchmark::State& state) {
  const double mbps = static_cast<double>(state.range(0));
  setenv("KVNET_AUDIO_OUT", "null", 1);
  const uint16_t port = kv::test::FreeUdpPort();
  KVNET_CLIENT_PARAM p;
  std::memset(&p, 0, sizeof p);
  p.transport = TRANSPORT_UDP;
  p.view = 0;
  std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u", port);
  KVNET_HANDLE h = KVNET_ClientStart(&p);
  if (h == nullptr) {
    state.SkipWithError("client did not start");
    return;
  }
  kv::CNetClient* client = kv::CNetClient::FromHandle(h);
  const std::string path = "/tmp/kvnet-bench-" + std::to_string(getpid()) + "/udp.kv";
  KVNET_ClientStartRecord(h, path.c_str(), 0);

  kv::test::StreamDescription d;
  d.maxPayload = 1400;
  const std::vector<uint8_t> key(1400, 0x65), inter(1400 * 8, 0x41);
  kv::test::UdpTestSocket socket("127.0.0.1", port);
  uint64_t sentBytes = 0, sentDatagrams = 0;
  double seconds = 0, cpu = 0;
  for (auto _ : state) {
    kv::test::UdpStreamBuilder b(d);
    b.AddVideoUnit(key, true);
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = CpuSeconds();
    const double duration = 2.0;
    while (true) {
      const double elapsed =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      if (elapsed >= duration) break;
      if (b.datagrams().size() < 64) {
        for (int i = 0; i < 16; ++i) b.AddVideoUnit(inter, false);
      }
      if (mbps > 0 && sentBytes * 8.0 / 1e6 > mbps * elapsed) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      auto& list = b.datagrams();
      const auto& dg = list.front();
      socket.Send(dg.bytes);
      sentBytes += dg.bytes.size() - 68;
      ++sentDatagrams;
      list.erase(list.begin());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() - 0.3;
    cpu += CpuSeconds() - c0;
  }
  const uint64_t received = client->m_counters.byteCount.load();
  KVNET_ClientStopRecord(h);
  KVNET_ClientStop(h);
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
  const double mbit = sentBytes * 8.0 / 1e6;
  state.counters["datagrams_per_s"] = sentDatagrams / seconds;
  state.counters["Mbit_per_s"] = mbit / seconds;
  state.counters["lost_bytes"] =
      static_cast<double>(sentBytes - std::min<uint64_t>(received, sentBytes));
  state.counters["cpu_ms_per_Mbit"] = cpu * 1000.0 / mbit;
}
BENCHMARK(BM_UdpSourceIntoRecording)
    ->Arg(20)
    ->Arg(100)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The record writer alone: 64 KiB video units into a file.
void BM_RecordWriter(benchmark::State& state) {
  kv::test::ScopedFakeParts parts;
  KVNET_CLIENT_PARAM p;
  std::memset(&p, 0, sizeof p);
  p.transport = TRANSPORT_UDP;
  std::strcpy(p.address, "127.0.0.1:9");
  KVNET_HANDLE h = KVNET_ClientStart(&p);
  kv::CNetClient* client = kv::CNetClient::FromHandle(h);
  const std::string path = "/tmp/kvnet-bench-w-" + std::to_string(getpid()) + "/w.kv";
  KVNET_ClientStartRecord(h, path.c_str(), 0);
  const std::vector<uint8_t> unit(64 * 1024, 0x5A);
  kv::VideoUnit u;
  u.data = unit.data();
  u.length = static_cast<uint32_t>(unit.size());
  u.type = 7;
  u.beginsCodedUnit = true;
  for (auto _ : state) kv::RecordVideoUnit(*client->m_source, *client, u);
  KVNET_ClientStopRecord(h);
  KVNET_ClientStop(h);
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * unit.size());
}
BENCHMARK(BM_RecordWriter)->MinTime(1.0);

}  // namespace
