// The RTSP/TCP client on the simulator's 1280x720 25 fps H.264 stream, each figure beside its
// anchor from the same run:
//  - CPU per minute of stream with the view off and on (a headless window), against ffmpeg
//    decoding the same stream to nothing (ffmpeg's CPU read from /proc);
//  - the most clients drawing into 480x270 headless windows without a growing backlog, against
//    the pictures the simulator sent;
//  - latency from a picture's last packet leaving the simulator (its --send-log) to the draw
//    callback of that picture (read from the frame counter the simulator paints), pre-buffer 0.
// KVNET_BENCH_SECONDS sets the length of each measuring window (default 20).
#include <benchmark/benchmark.h>
#include <cairo.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/media/conduit.h"
#include "sdk/platform/headless_window.h"
#include "sdk/platform/surface_headless.h"
#include "sdk/platform/window_system.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFps = 25;

double WindowSeconds() {
  const char* v = std::getenv("KVNET_BENCH_SECONDS");
  const double s = v != nullptr ? std::atof(v) : 0;
  return s > 0 ? s : 20;
}

double SelfCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// User and system time of another process, from /proc (-1 when it is gone).
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  double utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::atof(f.c_str());
    if (i == 15) stime = std::atof(f.c_str());
  }
  return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string KvdeviceBinary() {
  return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() /
          "tools/kvdevice/kvdevice")
      .string();
}

// The simulator serving 1280x720 25 fps H.264 and G.711 over RTSP on a free loopback port.
struct Simulator {
  std::unique_ptr<kv::test::ServerProcess> process;
  std::string address;  // "127.0.0.1:PORT"
  std::string url;      // of channel 1
  explicit Simulator(const std::string& sendLog = "") {
    std::vector<std::string> args = {KvdeviceBinary(), "--listen", "127.0.0.1:0", "--quiet",
                                     "--size",         "1280x720", "--fps",       "25",
                                     "--bitrate",      "2000",     "--codec",     "h264",
                                     "--audio",        "g711u"};
    if (!sendLog.empty()) args.insert(args.end(), {"--send-log", sendLog});
    std::string ready, error;
    process = kv::test::ServerProcess::Start(args, "kvdevice: listening on ", 60000, "/dev/null",
                                             &ready, &error);
    if (process == nullptr) return;
    const size_t begin = ready.find("//") + 2;
    address = ready.substr(begin, ready.find('/', begin) - begin);
    url = "rtsp://" + address + "/1";
  }
};

// Headless windows for the clients, the process's window system while it lives.
class HeadlessScreen {
 public:
  HeadlessScreen() {
    previous_ = kv::platform::ReplaceWindowSystemForTest(
        std::make_unique<kv::platform::HeadlessWindowSystem>());
    kv::platform::HeadlessDisplay::Get().Reset();
  }
  ~HeadlessScreen() {
    kv::platform::HeadlessDisplay::Get().Reset();
    kv::platform::ReplaceWindowSystemForTest(std::move(previous_));
  }
  kv::platform::WindowId Window(int width, int height) {
    return kv::platform::GetHeadlessWindowSystem()->CreateWindow(0, 0, width, height, true);
  }

 private:
  std::unique_ptr<kv::platform::WindowSystem> previous_;
};

KVNET_HANDLE StartClient(const std::string& address, kv::platform::WindowId window) {
  KVNET_CLIENT_PARAM p;
  std::memset(&p, 0, sizeof p);
  p.transport = TRANSPORT_RTSP_TCP;
  p.channel = 1;
  p.view = window != 0 ? 1 : 0;
  p.videoWnd = window;
  std::snprintf(p.address, sizeof p.address, "%s", address.c_str());
  return KVNET_ClientStart(&p);
}

uint32_t Decoded(KVNET_HANDLE h) { return kv::CNetClient::FromHandle(h)->m_counters.frameCount; }

bool WaitForPictures(const std::vector<KVNET_HANDLE>& clients, std::chrono::seconds limit) {
  const auto end = Clock::now() + limit;
  for (KVNET_HANDLE h : clients) {
    while (Decoded(h) == 0) {
      if (Clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  return true;
}

// The client's CPU for a window of stream, in CPU seconds per minute of stream; -1 on failure.
double ClientCpuPerMinute(const Simulator& sim, bool view, HeadlessScreen& screen, double window) {
  KVNET_HANDLE h = StartClient(sim.address, view ? screen.Window(1280, 720) : 0);
  if (h == nullptr) return -1;
  double result = -1;
  // With the view off nothing is decoded: the stream's bytes tell that it plays.
  const auto end = Clock::now() + std::chrono::seconds(30);
  while (kv::CNetClient::FromHandle(h)->m_counters.byteCount.load() == 0 && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (Clock::now() < end && (!view || WaitForPictures({h}, std::chrono::seconds(30)))) {
    std::this_thread::sleep_for(std::chrono::seconds(2));  // past the decoder's set-up
    kv::CNetClient* client = kv::CNetClient::FromHandle(h);
    const uint32_t before = Decoded(h);
    const uint32_t bytes = client->m_counters.byteCount.load();
    const double cpu = SelfCpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(window));
    const double used = SelfCpuSeconds() - cpu;
    // Only a stream that kept arriving counts, and with the view on one that kept up.
    const bool arrived = client->m_counters.byteCount.load() > bytes;
    const bool keptUp = Decoded(h) - before >= static_cast<uint32_t>(window * kFps * 0.9);
    if (arrived && (!view || keptUp)) result = used * 60.0 / window;
    std::printf("client, view %s: %.2f CPU s in %.0f s, %u pictures decoded\n", view ? "on" : "off",
                used, window, Decoded(h) - before);
  }
  KVNET_ClientStop(h);
  return result;
}

// ffmpeg decoding the stream to nothing, same window; CPU seconds per minute, -1 on failure.
double FfmpegCpuPerMinute(const Simulator& sim, double window) {
  std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v",    "error", "-rtsp_transport",
                                   "tcp",    "-i",       sim.url, "-f",    "null",
                                   "-"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  // The same lead-in as the client's: connection, probing and decoder set-up.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const double before = ProcessCpuSeconds(pid);
  std::this_thread::sleep_for(std::chrono::duration<double>(window));
  const double after = ProcessCpuSeconds(pid);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  if (before < 0 || after < 0) return -1;
  return (after - before) * 60.0 / window;
}

void BM_RtspTcpCpuAgainstFfmpeg(benchmark::State& state) {
  setenv("KVNET_AUDIO_OUT", "null", 1);
  KVNET_Startup(0, 0, nullptr, 0);
  Simulator sim;
  if (sim.process == nullptr) {
    state.SkipWithError("kvdevice did not start");
    return;
  }
  HeadlessScreen screen;
  const double window = WindowSeconds();
  double viewOff = -1, viewOn = -1, ffmpeg = -1;
  for (auto _ : state) {
    viewOff = ClientCpuPerMinute(sim, false, screen, window);
    viewOn = ClientCpuPerMinute(sim, true, screen, window);
    ffmpeg = FfmpegCpuPerMinute(sim, window);
  }
  if (viewOff < 0 || viewOn < 0 || ffmpeg <= 0) {
    std::printf("view off %.2f, view on %.2f, ffmpeg %.2f CPU s per minute\n", viewOff, viewOn,
                ffmpeg);
    state.SkipWithError("a measurement failed (no stream, or it did not keep up)");
    return;
  }
  state.counters["client_view_off_cpu_s_per_min"] = viewOff;
  state.counters["client_view_on_cpu_s_per_min"] = viewOn;
  state.counters["ffmpeg_anchor_cpu_s_per_min"] = ffmpeg;
  state.counters["view_off_over_ffmpeg"] = viewOff / ffmpeg;
  state.counters["view_on_over_ffmpeg"] = viewOn / ffmpeg;
}
BENCHMARK(BM_RtspTcpCpuAgainstFfmpeg)->Iterations(1)->Unit(benchmark::kSecond);

// Lines of the simulator's send log: picture number -> when its last packet left (us), per
// session in order of appearance; here only the count and the latest entry matter.
struct SendLog {
  std::map<uint32_t, int64_t> firstSent;  // picture number -> earliest send time
  size_t lines = 0;
};
SendLog ReadSendLog(const fs::path& path) {
  SendLog log;
  std::ifstream in(path);
  std::string word;
  uint32_t rtpTime = 0;
  long long sent = 0;
  while (in >> word >> rtpTime >> sent) {
    const uint32_t number = static_cast<uint32_t>((uint64_t{rtpTime} * kFps + 45000) / 90000);
    auto it = log.firstSent.find(number);
    if (it == log.firstSent.end() || sent < it->second) log.firstSent[number] = sent;
    ++log.lines;
  }
  return log;
}

// Clients drawing into 480x270 windows. The backlog measure: the video conduit's depth (pictures
// received, not yet decoded) and the pictures shown against the pictures the simulator sent to
// each client over the window. A count passes when every client showed at least 90 % of what it
// was sent and no conduit holds more than a second of pictures at the end, or more at the end
// than in the middle of the window by half a second; the largest passing count is reported.
struct LoadStep {
  bool passed = false;
  double worstShownOverSent = 0;
  int deepestConduit = 0;
};
LoadStep RunClients(const Simulator& sim, const fs::path& sendLog, HeadlessScreen& screen,
                    int count, double window) {
  LoadStep step;
  std::vector<KVNET_HANDLE> clients;
  for (int i = 0; i < count; ++i) {
    KVNET_HANDLE h = StartClient(sim.address, screen.Window(480, 270));
    if (h != nullptr) clients.push_back(h);
  }
  auto depth = [](KVNET_HANDLE h) {
    return kv::CNetClient::FromHandle(h)->m_videoConduit->GetFrameCount();
  };
  if (static_cast<int>(clients.size()) == count &&
      WaitForPictures(clients, std::chrono::seconds(60))) {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::vector<uint32_t> shown0;
    for (KVNET_HANDLE h : clients) shown0.push_back(Decoded(h));
    const size_t sent0 = ReadSendLog(sendLog).lines;
    std::this_thread::sleep_for(std::chrono::duration<double>(window / 2));
    std::vector<int> middle;
    for (KVNET_HANDLE h : clients) middle.push_back(depth(h));
    std::this_thread::sleep_for(std::chrono::duration<double>(window / 2));
    const double sentEach =
        static_cast<double>(ReadSendLog(sendLog).lines - sent0) / static_cast<double>(count);
    step.worstShownOverSent = 1e9;
    step.passed = sentEach > 0;
    for (size_t i = 0; i < clients.size(); ++i) {
      const double ratio = (Decoded(clients[i]) - shown0[i]) / sentEach;
      const int end = depth(clients[i]);
      step.worstShownOverSent = std::min(step.worstShownOverSent, ratio);
      step.deepestConduit = std::max(step.deepestConduit, end);
      if (ratio < 0.9 || end > kFps || end - middle[i] > kFps / 2) step.passed = false;
    }
  }
  for (KVNET_HANDLE h : clients) KVNET_ClientStop(h);
  return step;
}

void BM_RtspTcpClientsWithoutBacklog(benchmark::State& state) {
  setenv("KVNET_AUDIO_OUT", "null", 1);
  KVNET_Startup(0, 0, nullptr, 0);
  const fs::path dir = kv::test::MakeUniqueTempDir("kvnet-bench-rtsp-");
  const fs::path sendLog = dir / "sent.log";
  Simulator sim(sendLog.string());
  if (sim.process == nullptr) {
    state.SkipWithError("kvdevice did not start");
    return;
  }
  HeadlessScreen screen;
  const double window = WindowSeconds() / 2;
  int largest = 0;
  for (auto _ : state) {
    for (int count : {1, 4, 8, 12, 16, 20, 24, 28, 32}) {
      const LoadStep step = RunClients(sim, sendLog, screen, count, window);
      std::printf("%2d clients: worst shown/sent %.3f, deepest conduit %d pictures, %s\n", count,
                  step.worstShownOverSent, step.deepestConduit, step.passed ? "kept up" : "behind");
      std::fflush(stdout);
      if (!step.passed) break;
      largest = count;
    }
  }
  state.counters["largest_client_count"] = largest;
  state.counters["sent_fps_anchor"] = kFps;
  std::error_code ec;
  fs::remove_all(dir, ec);
}
BENCHMARK(BM_RtspTcpClientsWithoutBacklog)->Iterations(1)->Unit(benchmark::kSecond);

// ---- Latency ----

// Present times by picture number, written by the draw callback.
std::mutex gPresentMutex;
std::map<uint32_t, int64_t> gPresented;

// The simulator's frame counter: 16 cells across the bottom eighth, most significant first.
int ReadCounter(cairo_surface_t* surface) {
  if (surface == nullptr || cairo_surface_get_type(surface) != CAIRO_SURFACE_TYPE_IMAGE) return -1;
  cairo_surface_flush(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  const int width = cairo_image_surface_get_width(surface);
  const int height = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const cairo_format_t format = cairo_image_surface_get_format(surface);
  if (data == nullptr || (format != CAIRO_FORMAT_RGB24 && format != CAIRO_FORMAT_ARGB32)) {
    return -1;
  }
  const int y = height - height / 16;
  int number = 0;
  for (int bit = 0; bit < 16; ++bit) {
    const int x = width * (2 * bit + 1) / 32;
    uint32_t pixel = 0;
    std::memcpy(&pixel, data + y * stride + x * 4, 4);
    const int r = (pixel >> 16) & 0xFF, g = (pixel >> 8) & 0xFF, b = pixel & 0xFF;
    const int luma = (r * 3 + g * 6 + b) / 10;
    if (luma > 90 && luma < 165) return -1;
    number = number * 2 + (luma >= 165 ? 1 : 0);
  }
  return number;
}

int KVNET_CALL OnDraw(KVNET_HANDLE, void* dc, void*) {
  const int64_t now =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
          .count();
  const int number = ReadCounter(cairo_get_target(static_cast<cairo_t*>(dc)));
  if (number >= 0) {
    std::lock_guard<std::mutex> lock(gPresentMutex);
    gPresented.emplace(static_cast<uint32_t>(number), now);
  }
  return 1;
}

void BM_RtspTcpPresentLatency(benchmark::State& state) {
  setenv("KVNET_AUDIO_OUT", "null", 1);
  KVNET_Startup(0, 0, nullptr, 0);
  const fs::path dir = kv::test::MakeUniqueTempDir("kvnet-bench-latency-");
  const fs::path sendLog = dir / "sent.log";
  Simulator sim(sendLog.string());
  if (sim.process == nullptr) {
    state.SkipWithError("kvdevice did not start");
    return;
  }
  HeadlessScreen screen;
  const KVNET_DrawCallback previous = KVNET_SetDrawCallback(OnDraw);
  {
    std::lock_guard<std::mutex> lock(gPresentMutex);
    gPresented.clear();
  }
  std::vector<double> latencies;
  int32_t preBuffer = -1;
  for (auto _ : state) {
    KVNET_HANDLE h = StartClient(sim.address, screen.Window(1280, 720));
    if (h == nullptr || !WaitForPictures({h}, std::chrono::seconds(30))) {
      if (h != nullptr) KVNET_ClientStop(h);
      state.SkipWithError("no pictures");
      break;
    }
    kv::CNetClient* client = kv::CNetClient::FromHandle(h);
    client->m_viewState.preBufferDepth = 0;
    std::this_thread::sleep_for(std::chrono::seconds(2));
    {
      std::lock_guard<std::mutex> lock(gPresentMutex);
      gPresented.clear();
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(WindowSeconds()));
    preBuffer = client->m_viewState.preBufferDepth.load();
    KVNET_ClientStop(h);
  }
  KVNET_SetDrawCallback(previous);
  const SendLog sent = ReadSendLog(sendLog);
  {
    std::lock_guard<std::mutex> lock(gPresentMutex);
    for (const auto& [number, presented] : gPresented) {
      // The counter wraps at 65536 pictures; the send log's numbers do not.
      for (const auto& [sentNumber, sentAt] : sent.firstSent) {
        if ((sentNumber & 0xFFFF) == number && presented >= sentAt) {
          latencies.push_back(static_cast<double>(presented - sentAt) / 1000.0);
        }
      }
    }
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  if (latencies.size() < 10) {
    state.SkipWithError("too few pictures matched");
    return;
  }
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) {
    return latencies[std::min(latencies.size() - 1, static_cast<size_t>(q * latencies.size()))];
  };
  state.counters["pictures_matched"] = static_cast<double>(latencies.size());
  state.counters["latency_p50_ms"] = at(0.50);
  state.counters["latency_p99_ms"] = at(0.99);
  state.counters["frame_interval_anchor_ms"] = 1000.0 / kFps;
  state.counters["pre_buffer_depth"] = preBuffer;
}
BENCHMARK(BM_RtspTcpPresentLatency)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
