// Throughput of the proprietary UDP source into a recording with the view off, and of the
// record writer alone; the pictures a lossy stream still shows, with and without a loss wait;
// and the datagram ordering alone.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/media/avcodec_h264.h"
#include "sdk/media/avcodec_loader.h"
#include "sdk/record/unit_recorder.h"
#include "sdk/sources/av_source.h"
#include "sdk/sources/udp_sequencer.h"
#include "tests/support/fake_parts.h"
#include "tests/support/test_streams.h"
#include "tests/support/udp_test_sender.h"

extern "C" {
#include <libavutil/log.h>
}

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
  for (auto _ : state)
    kv::RecordVideoUnit(*client->m_source, client->m_stream, client->m_recordSettings, *client, u);
  KVNET_ClientStopRecord(h);
  KVNET_ClientStop(h);
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * unit.size());
}
BENCHMARK(BM_RecordWriter)->MinTime(1.0);

// ---- Pictures shown under loss ----

// 20 s of a camera stream as the device simulator sends it by default: 352x288 H.264 at 25
// pictures/s, 512 kbit/s, a key picture every 25, two slices, 1,400-byte pieces, and a 20 ms
// G.711 frame every 20 ms. Each datagram carries the tick it arrives at.
struct TimedDatagram {
  std::vector<uint8_t> bytes;
  uint32_t tick;
};
struct LossStream {
  std::vector<TimedDatagram> datagrams;
  int pictures = 0;
};

const LossStream& CameraStream() {
  static const LossStream stream = [] {
    kv::test::H264Options o;
    o.width = 352;
    o.height = 288;
    o.pictures = 500;
    o.slices = 2;
    o.intraPeriod = 25;
    o.bitrate = 512000;
    o.texture = true;
    const kv::test::EncodedStream e = kv::test::EncodeH264OpenH264(o);
    LossStream s;
    s.pictures = e.pictures;
    kv::test::StreamDescription d;
    d.width = 352;
    d.height = 288;
    d.maxPayload = 1400;
    kv::test::UdpStreamBuilder b(d);
    std::vector<uint32_t> ticks;
    int picture = -1;
    for (size_t f = 0; f < e.frames.size(); ++f) {
      const int p = e.pictureOfFrame[f] >= 0 ? e.pictureOfFrame[f] : picture + 1;
      if (p != picture) {
        // The previous picture's two audio frames go out after it.
        for (int a = 0; a < 2 && picture >= 0; ++a) {
          b.AddAudio(std::vector<uint8_t>(160, 0xD5));
          ticks.push_back(static_cast<uint32_t>(picture * 40 + 2 + 18 * a));
        }
        picture = p;
      }
      const size_t before = b.datagrams().size();
      b.AddH264Frames({e.frames[f]});
      for (size_t i = before; i < b.datagrams().size(); ++i) {
        ticks.push_back(static_cast<uint32_t>(p * 40 + 1));
      }
    }
    for (size_t i = 0; i < b.datagrams().size(); ++i) {
      s.datagrams.push_back(TimedDatagram{std::move(b.datagrams()[i].bytes), ticks[i] + 1000});
    }
    return s;
  }();
  return stream;
}

// Decodes what the ordering hands on, as the live source and its decode worker do: a start
// code before each coded unit, a frame closed at its end, a fresh decoder at each start.
class DecodingSink : public kv::IUdpSequenceSink {
 public:
  explicit DecodingSink(const LossStream& stream) : stream_(stream) {}
  bool Synchronise(const kv::UdpDatagram&) override {
    decoder_.Close(nullptr);
    frame_.clear();
    return decoder_.Open(nullptr);
  }
  void Deliver(const kv::UdpDatagram& d) override {
    if (d.mediaKind != kv::kUdpVideo) return;
    if (kv::OpensUnit(d.fragment)) frame_ = {0, 0, 0, 1};
    frame_.insert(frame_.end(), d.payload, d.payload + d.payloadLength);
    if (!kv::ClosesUnit(d.fragment)) return;
    kv::VideoPicture picture;
    if (decoder_.Decode(frame_.data(), frame_.size(), &picture) == 1) {
      // How long after it was sent the picture's last piece reached the decoder.
      const uint32_t sent = stream_.datagrams[d.sequence - 1].tick;
      const double delay = static_cast<double>(now - sent);
      ++shown;
      delaySum += delay;
      if (delay > maxDelay) maxDelay = delay;
    }
    frame_.clear();
  }
  uint32_t now = 0;
  int shown = 0;
  double delaySum = 0, maxDelay = 0;

 private:
  const LossStream& stream_;
  kv::AvcodecH264Decoder decoder_;
  std::vector<uint8_t> frame_;
};

// Pictures shown of the 500 sent when each datagram is lost with the given chance (tenths of
// a percent), with the loss wait given (ms, 0: the default give-up at 128 waiting), averaged
// over three loss patterns, and how late they reached the decoder (mean and worst, ms); the
// anchor is the same stream without loss.
void BM_UdpPicturesShownUnderLoss(benchmark::State& state) {
  const double loss = static_cast<double>(state.range(0)) / 1000.0;
  const uint32_t waitMs = static_cast<uint32_t>(state.range(1));
  av_log_set_level(AV_LOG_QUIET);
  if (!kv::AvcodecLoad(nullptr)) {
    state.SkipWithError("libavcodec does not load");
    return;
  }
  const LossStream& stream = CameraStream();
  struct Result {
    double shown = 0, delaySum = 0, maxDelay = 0;
  };
  auto run = [&](double chance, uint32_t seed, Result& r) {
    DecodingSink sink(stream);
    kv::UdpSequencer sequencer(sink, waitMs);
    std::mt19937 rng(seed);
    for (const TimedDatagram& d : stream.datagrams) {
      sink.now = d.tick;
      sequencer.Poll(d.tick);
      if (static_cast<double>(rng()) / 4294967296.0 < chance) continue;
      sequencer.Receive(d.bytes.data(), d.bytes.size(), d.tick);
    }
    r.shown += sink.shown;
    r.delaySum += sink.delaySum;
    r.maxDelay = std::max(r.maxDelay, sink.maxDelay);
  };
  Result anchor, lossy;
  for (auto _ : state) {
    anchor = lossy = Result{};
    run(0, 1, anchor);
    for (uint32_t seed = 1; seed <= 3; ++seed) run(loss, seed, lossy);
  }
  state.counters["sent"] = stream.pictures;
  state.counters["shown_no_loss"] = anchor.shown;
  state.counters["shown"] = lossy.shown / 3;
  state.counters["shown_percent"] = 100.0 * lossy.shown / 3 / stream.pictures;
  state.counters["delay_ms_mean"] = lossy.shown > 0 ? lossy.delaySum / lossy.shown : 0;
  state.counters["delay_ms_max"] = lossy.maxDelay;
}
BENCHMARK(BM_UdpPicturesShownUnderLoss)
    ->ArgsProduct({{5, 10, 20, 50}, {0, 100}})
    ->ArgNames({"loss_permille", "wait_ms"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// ---- The ordering alone ----

class CountingSink : public kv::IUdpSequenceSink {
 public:
  bool Synchronise(const kv::UdpDatagram&) override { return true; }
  void Deliver(const kv::UdpDatagram&) override { ++delivered; }
  uint64_t delivered = 0;
};

// Datagrams per second through the ordering (header check, store, synchronisation), in order
// (the anchor, argument 0) and reordered within a window of 64 with half held back (1).
void BM_UdpOrdering(benchmark::State& state) {
  std::vector<kv::test::SenderDatagram> wire;
  for (const TimedDatagram& d : CameraStream().datagrams) wire.push_back({d.bytes});
  if (state.range(0) != 0) kv::test::HoldBack(wire, 64, 0.5, 7);
  CountingSink sink;
  kv::UdpSequencer sequencer(sink);
  uint64_t datagrams = 0;
  for (auto _ : state) {
    sequencer.Reset();
    for (const auto& d : wire) sequencer.Receive(d.bytes.data(), d.bytes.size(), 0);
    datagrams += wire.size();
  }
  state.counters["datagrams_per_s"] =
      benchmark::Counter(static_cast<double>(datagrams), benchmark::Counter::kIsRate);
  state.counters["delivered_share"] =
      static_cast<double>(sink.delivered) / static_cast<double>(datagrams);
}
BENCHMARK(BM_UdpOrdering)->Arg(0)->Arg(1)->ArgName("reordered");

}  // namespace
