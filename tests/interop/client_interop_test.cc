// The client against RTSP servers nobody here wrote: GStreamer's RTSP server library over RTP/UDP
// and interleaved TCP, with and without Digest, and the media player's RTSP output over RTP/UDP,
// each serving H.264 and G.711. Through the public interface the client plays (pictures decoded
// and drawn into a headless window, the tone written by the WAV audio backend) and records; the
// recording is exported by kvnet and read by ffprobe, and replayed by the library. The player's
// stream must keep playing past the session timeout it announces. Each test skips with the
// reason when its server is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/platform/headless_window.h"
#include "sdk/platform/surface_headless.h"
#include "sdk/platform/window_system.h"
#include "tests/support/record_writers.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tone_quality.h"
#include "tests/support/xvfb.h"

namespace {

namespace fs = std::filesystem;
using kv::test::CommandResult;
using kv::test::RunCommand;
using kv::test::ServerProcess;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kScripts = std::string(KVNET_SOURCE_DIR) + "/tests/interop/";
constexpr int kSkipped = 77;  // the scripts' exit status when a part is missing

std::mutex gMutex;
std::vector<std::pair<int, int>> gEvents;
void KVNET_CALL OnEvent(KVNET_HANDLE, int eventClass, int code, int) {
  std::lock_guard<std::mutex> lock(gMutex);
  gEvents.push_back({eventClass, code});
}
int Count(int eventClass, int code) {
  std::lock_guard<std::mutex> lock(gMutex);
  int n = 0;
  for (const auto& e : gEvents) n += e.first == eventClass && e.second == code;
  return n;
}
std::string Events() {
  std::lock_guard<std::mutex> lock(gMutex);
  std::string text;
  for (const auto& e : gEvents)
    text += std::to_string(e.first) + ":" + std::to_string(e.second) + " ";
  return text;
}

template <typename Condition>
bool WaitUntil(Condition done, milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return true;
}

bool HaveFfmpeg() { return RunCommand("ffprobe -version && ffmpeg -version", 20).exitCode == 0; }

std::string KvnetBinary() {
  return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools/kvnet").string();
}

struct Server {
  std::unique_ptr<ServerProcess> process;
  std::string url;   // as the server printed it
  std::string skip;  // why the test cannot run
};

// Starts a server script and waits for its URL; the reason to skip when a part is missing.
Server StartServer(const std::vector<std::string>& args, int timeoutMs) {
  Server s;
  std::string error;
  int status = 0;
  s.process = ServerProcess::Start(args, "listening on ", timeoutMs, "", &s.url, &error, &status);
  if (s.process == nullptr && status == kSkipped) s.skip = args[0] + ": a part is not installed";
  if (s.process == nullptr && s.skip.empty()) s.skip = "failed: " + error;
  return s;
}

// "127.0.0.1:PORT" of an "rtsp://127.0.0.1:PORT/1" URL.
std::string HostPort(const std::string& url) {
  const size_t begin = url.find("//") + 2;
  return url.substr(begin, url.find('/', begin) - begin);
}

// A folder of the test's own, removed with everything in it.
class TempFolder {
 public:
  TempFolder() : path_(kv::test::MakeUniqueTempDir("kvnet-interop-")) {}
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

class ClientInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffprobe/ffmpeg are not installed";
    previous_ = kv::platform::ReplaceWindowSystemForTest(
        std::make_unique<kv::platform::HeadlessWindowSystem>());
    kv::platform::HeadlessDisplay::Get().Reset();
    window_ = kv::platform::GetHeadlessWindowSystem()->CreateWindow(0, 0, 320, 240, true);
    replayWindow_ = kv::platform::GetHeadlessWindowSystem()->CreateWindow(0, 0, 320, 240, true);
    wav_ = dir_ / "sound.wav";
    audio_ =
        std::make_unique<kv::test::ScopedEnv>("KVNET_AUDIO_OUT", ("wav:" + wav_.string()).c_str());
    KVNET_Startup(0, 0, OnEvent, 0);
    // A refused or lost connection is tried again soon, so a slow server start costs little.
    KVNET_SetWaitTime(5, -1, 1);
    std::lock_guard<std::mutex> lock(gMutex);
    gEvents.clear();
  }
  void TearDown() override {
    if (handle_ != nullptr) KVNET_ClientStop(handle_);
    if (replay_ != nullptr) KVNET_CloseFile(replay_);
    KVNET_Startup(0, 0, nullptr, 0);
    KVNET_SetWaitTime(5, 3, 10);
    audio_.reset();
    kv::platform::HeadlessDisplay::Get().Reset();
    if (previous_ || kv::platform::GetHeadlessWindowSystem() != nullptr) {
      kv::platform::ReplaceWindowSystemForTest(std::move(previous_));
    }
  }

  void Start(const std::string& url, int transport, const std::string& user = "",
             const std::string& password = "") {
    KVNET_CLIENT_PARAM p;
    std::memset(&p, 0, sizeof p);
    p.transport = static_cast<int16_t>(transport);
    p.view = 1;
    p.channel = 1;
    p.videoWnd = window_;
    std::snprintf(p.address, sizeof p.address, "%s", HostPort(url).c_str());
    std::snprintf(p.userName, sizeof p.userName, "%s", user.c_str());
    std::snprintf(p.password, sizeof p.password, "%s", password.c_str());
    handle_ = KVNET_ClientStart(&p);
    ASSERT_NE(handle_, nullptr);
    KVNET_ClientPlayAudio(handle_);
  }
  uint32_t Pictures() const { return kv::CNetClient::FromHandle(handle_)->m_counters.frameCount; }
  uint64_t Presents(kv::platform::WindowId window) const {
    kv::platform::PresentedImage image;
    return kv::platform::HeadlessDisplay::Get().GetPresented(window, &image) ? image.presents : 0;
  }

  // Plays and records for `recordSeconds` once the first picture is shown; checks pictures and
  // sound, then the recording through ffprobe and a replay. audioCodec as ffprobe names it.
  void PlayRecordAndReplay(int expectedCodec, int recordSeconds = 4) {
    ASSERT_TRUE(WaitUntil([&] { return Presents(window_) > 0; }, seconds(30)))
        << "no picture shown; events " << Events();
    EXPECT_EQ(Count(KV_EVENT_LINK, LINK_CONNECTED), 1) << Events();
    KVNET_VIDEO_INFO info{};
    KVNET_GetClientParam(handle_, &info);
    EXPECT_EQ(info.videoCodec, VCODEC_H264);
    EXPECT_EQ(info.audioCodec, expectedCodec);

    const fs::path record = dir_ / "interop.rec";
    ASSERT_EQ(KVNET_ClientStartRecord(handle_, record.c_str(), 0), 1);
    const uint32_t before = Pictures();
    std::this_thread::sleep_for(seconds(recordSeconds));
    EXPECT_EQ(KVNET_ClientStopRecord(handle_), 1);
    // The servers send 25 pictures a second; a loaded machine may show fewer, never none.
    EXPECT_GE(Pictures() - before, static_cast<uint32_t>(recordSeconds * 25 / 2));
    EXPECT_EQ(Count(KV_EVENT_LINK, LINK_LOST), 0) << Events();
    KVNET_ClientStop(handle_);
    handle_ = nullptr;

    // The tone, as the servers make it: 1 kHz.
    const std::vector<int16_t> sound = kv::test::ReadWavSamples(wav_.string());
    EXPECT_GE(sound.size(), 8000u) << "less than a second of sound";
    EXPECT_GE(kv::test::ToneQualityDb(sound, 1000.0, 2000),
              kv::test::ToneFloorDb(expectedCodec == ACODEC_G711A ? "g711a" : "g711u"));

    // ffprobe reads the recording, rewritten into Matroska without re-encoding.
    const fs::path mkv = dir_ / "interop.mkv";
    CommandResult exported =
        RunCommand(KvnetBinary() + " export " + record.string() + " " + mkv.string(), 60);
    ASSERT_EQ(exported.exitCode, 0) << exported.out << exported.err;
    CommandResult probe = RunCommand(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=codec_name,width,height,nb_read_frames -of compact=p=0 " +
            mkv.string(),
        60);
    ASSERT_EQ(probe.exitCode, 0) << probe.err;
    EXPECT_EQ(probe.out.rfind("codec_name=h264|width=320|height=240|", 0), 0u) << probe.out;
    const size_t at = probe.out.find("nb_read_frames=");
    ASSERT_NE(at, std::string::npos) << probe.out;
    const int frames = std::atoi(probe.out.c_str() + at + 15);
    // From the first key picture (at most a second in) to the end.
    EXPECT_GE(frames, (recordSeconds - 1) * 25 / 2) << probe.out;
    EXPECT_LE(frames, (recordSeconds + 1) * 25) << probe.out;

    // The library replays it to its end.
    replay_ = KVNET_OpenFile(record.c_str(), replayWindow_, 0);
    ASSERT_NE(replay_, nullptr);
    // The length spans the index's first to last key picture, in whole seconds. With one key
    // picture a second, a late or lost one on a loaded machine (RTP over UDP) shortens it by a
    // second or two, so only a length is asked for; the frame count above bounds the rest.
    EXPECT_GE(KVNET_ReplayTotalTime(replay_), 1u);
    EXPECT_LE(KVNET_ReplayTotalTime(replay_), static_cast<unsigned>(recordSeconds));
    EXPECT_TRUE(
        WaitUntil([&] { return Count(KV_EVENT_REPLAY_END, 0) > 0; }, seconds(recordSeconds + 20)))
        << Events();
    EXPECT_GE(Presents(replayWindow_), static_cast<uint64_t>(frames / 2));
    KVNET_CloseFile(replay_);
    replay_ = nullptr;
  }

  TempFolder dir_;
  std::unique_ptr<kv::platform::WindowSystem> previous_;
  kv::platform::WindowId window_ = 0;
  kv::platform::WindowId replayWindow_ = 0;
  fs::path wav_;
  std::unique_ptr<kv::test::ScopedEnv> audio_;
  KVNET_HANDLE handle_ = nullptr;
  KVNET_HANDLE replay_ = nullptr;
};

struct GstCase {
  int transport;
  bool digest;
  const char* audio;  // the server's --audio
  int codec;          // what the client must make of it
};

void PrintTo(const GstCase& c, std::ostream* os) {
  *os << (c.transport == TRANSPORT_RTSP_TCP ? "tcp " : "udp ") << (c.digest ? "digest " : "")
      << c.audio;
}

class GstreamerServer : public ClientInterop, public ::testing::WithParamInterface<GstCase> {};

TEST_P(GstreamerServer, PlaysRecordsAndReplays) {
  const GstCase& c = GetParam();
  std::vector<std::string> args = {kScripts + "gst_rtsp_server.py",
                                   "--port",
                                   "0",
                                   "--path",
                                   "/1",
                                   "--audio",
                                   c.audio,
                                   "--transports",
                                   c.transport == TRANSPORT_RTSP_TCP ? "tcp" : "udp",
                                   "--key-interval",
                                   "25"};
  if (c.digest) args.insert(args.end(), {"--user", "viewer", "--password", "pa55"});
  Server server = StartServer(args, 60000);
  if (server.process == nullptr) GTEST_SKIP() << server.skip;
  if (c.digest) {
    // Wrong credentials are refused as such, and the client does not play.
    ASSERT_NO_FATAL_FAILURE(Start(server.url, c.transport, "viewer", "wrong"));
    EXPECT_TRUE(WaitUntil([] { return Count(KV_EVENT_LINK, LINK_AUTH_FAILED) > 0; }, seconds(30)))
        << Events();
    EXPECT_EQ(Count(KV_EVENT_LINK, LINK_CONNECTED), 0) << Events();
    KVNET_ClientStop(handle_);
    handle_ = nullptr;
    std::lock_guard<std::mutex> lock(gMutex);
    gEvents.clear();
  }
  ASSERT_NO_FATAL_FAILURE(
      Start(server.url, c.transport, c.digest ? "viewer" : "", c.digest ? "pa55" : ""));
  ASSERT_NO_FATAL_FAILURE(PlayRecordAndReplay(c.codec));
  EXPECT_EQ(server.process->Stop(5000), 0);
}

INSTANTIATE_TEST_SUITE_P(TransportsAndDigest, GstreamerServer,
                         ::testing::Values(GstCase{TRANSPORT_RTSP_UDP, false, "pcma", ACODEC_G711A},
                                           GstCase{TRANSPORT_RTSP_TCP, false, "pcmu", ACODEC_G711U},
                                           GstCase{TRANSPORT_RTSP_UDP, true, "pcmu", ACODEC_G711U},
                                           GstCase{TRANSPORT_RTSP_TCP, true, "pcma", ACODEC_G711A}),
                         [](const ::testing::TestParamInfo<GstCase>& info) {
                           return std::string(info.param.transport == TRANSPORT_RTSP_TCP ? "tcp"
                                                                                         : "udp") +
                                  (info.param.digest ? "_digest" : "");
                         });

// The player's RTSP output, started on a port that was free a moment ago (a second attempt takes
// another one if something took it first).
Server StartPlayerOutput() {
  Server server;
  for (int attempt = 0; attempt < 2; ++attempt) {
    server = StartServer(
        {kScripts + "vlc_rtsp_server.sh", std::to_string(kv::test::FreeTcpPort()), "1"}, 90000);
    if (server.process != nullptr || server.skip.rfind("failed", 0) != 0) break;
  }
  return server;
}

TEST_F(ClientInterop, PlayerOutputPlaysRecordsAndReplays) {
  Server server = StartPlayerOutput();
  if (server.process == nullptr) GTEST_SKIP() << server.skip;
  ASSERT_NO_FATAL_FAILURE(Start(server.url, TRANSPORT_RTSP_UDP));
  ASSERT_NO_FATAL_FAILURE(PlayRecordAndReplay(ACODEC_G711A));
  server.process->Stop(5000);
}

// The player stops sending 60 s after PLAY to a client that sends nothing more; the client's
// keep-alive holds the session, so pictures keep coming on the same connection past it.
TEST_F(ClientInterop, PlayerOutputPlaysPastItsSessionTimeout) {
  Server server = StartPlayerOutput();
  if (server.process == nullptr) GTEST_SKIP() << server.skip;
  ASSERT_NO_FATAL_FAILURE(Start(server.url, TRANSPORT_RTSP_UDP));
  ASSERT_TRUE(WaitUntil([&] { return Pictures() > 0; }, seconds(30))) << Events();
  const auto playing = Clock::now();
  std::this_thread::sleep_until(playing + seconds(66));
  const uint32_t late = Pictures();
  std::this_thread::sleep_until(playing + seconds(72));
  EXPECT_GE(Pictures() - late, 6u * 25 / 2) << "pictures stopped after the session timeout";
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_LOST), 0) << Events();
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_CONNECTED), 1) << Events();
  server.process->Stop(5000);
}

}  // namespace
