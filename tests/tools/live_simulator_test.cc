// Live view against the device simulator on loopback: every video codec with each audio codec,
// the pictures drawn into a headless window and the sound written by the WAV audio backend and
// measured for how cleanly its tone came through; faults on the wire, another sending host and
// stream changes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/platform/headless_window.h"
#include "sdk/platform/surface_headless.h"
#include "sdk/platform/window_system.h"
#include "tests/support/event_log.h"
#include "tests/support/tone_quality.h"
#include "tests/support/udp_test_sender.h"
#include "tests/support/xvfb.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

namespace fs = std::filesystem;

std::string Kvdevice() {
  return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() /
          "tools/kvdevice/kvdevice")
      .string();
}

// Runs the simulator to completion; returns the pictures it reports sending (-1 on failure).
int RunKvdevice(const std::string& args) {
  const std::string command = "timeout 60 " + Kvdevice() + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string out;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) out += line;
  if (pclose(pipe) != 0) {
    ADD_FAILURE() << command << "\n" << out;
    return -1;
  }
  const size_t at = out.find("pictures ");
  return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + 9);
}

using kv::test::CountEvents;

// The simulator's frame counter: 16 cells across the bottom eighth, most significant first.
// Waits until `done` holds or ten seconds pass; a loaded machine drains the stream late.
template <typename Condition>
bool WaitUntil(Condition done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

int ReadCounter(const kv::platform::PresentedImage& image) {
  int number = 0;
  const int y = image.height - image.height / 16;
  for (int bit = 0; bit < 16; ++bit) {
    const int x = image.width * (2 * bit + 1) / 32;
    const kv::platform::Rgb c = image.At(x, y);
    const int luma = (c.r * 3 + c.g * 6 + c.b) / 10;
    if (luma > 90 && luma < 165) return -1;  // neither black nor white: not the pattern
    number = number * 2 + (luma >= 165 ? 1 : 0);
  }
  return number;
}

struct Wav {
  std::vector<int16_t> samples;
};
Wav ReadWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), {});
  Wav w;
  if (b.size() < 44 || std::memcmp(b.data(), "RIFF", 4) != 0) return w;
  for (size_t i = 44; i + 1 < b.size(); i += 2) w.samples.push_back(int16_t(b[i] | b[i + 1] << 8));
  return w;
}
class LiveSimulator : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(Kvdevice())) GTEST_SKIP() << "kvdevice is not built";
    previous_ = kv::platform::ReplaceWindowSystemForTest(
        std::make_unique<kv::platform::HeadlessWindowSystem>());
    kv::platform::HeadlessDisplay::Get().Reset();
    window_ = kv::platform::GetHeadlessWindowSystem()->CreateWindow(0, 0, 352, 288, true);
    dir_ = fs::temp_directory_path() / ("kvnet-live-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    wav_ = (dir_ / "out.wav").string();
    audio_ = std::make_unique<kv::test::ScopedEnv>("KVNET_AUDIO_OUT", ("wav:" + wav_).c_str());
    KVNET_Startup(0, 0, kv::test::RecordEvent, 0);
    kv::test::ClearEvents();
  }
  void TearDown() override {
    if (handle_ != nullptr) KVNET_ClientStop(handle_);
    KVNET_Startup(0, 0, nullptr, 0);
    audio_.reset();
    kv::platform::HeadlessDisplay::Get().Reset();
    if (previous_ || kv::platform::GetHeadlessWindowSystem() != nullptr) {
      kv::platform::ReplaceWindowSystemForTest(std::move(previous_));
    }
    fs::remove_all(dir_);
  }
  void StartClient() {
    port_ = kv::test::FreeUdpPort();
    KVNET_CLIENT_PARAM p;
    std::memset(&p, 0, sizeof p);
    p.transport = TRANSPORT_UDP;
    p.view = 1;
    p.videoWnd = window_;
    std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u", port_);
    handle_ = KVNET_ClientStart(&p);
    ASSERT_NE(handle_, nullptr);
    KVNET_ClientPlayAudio(handle_);
  }
  std::string Target() const { return "--target 127.0.0.1:" + std::to_string(port_); }
  void StopClient() {
    KVNET_ClientStop(handle_);
    handle_ = nullptr;
  }
  uint32_t Pictures() const { return kv::CNetClient::FromHandle(handle_)->m_counters.frameCount; }

  std::unique_ptr<kv::platform::WindowSystem> previous_;
  kv::platform::WindowId window_ = 0;
  fs::path dir_;
  std::string wav_;
  std::unique_ptr<kv::test::ScopedEnv> audio_;
  uint16_t port_ = 0;
  KVNET_HANDLE handle_ = nullptr;
};

struct Combination {
  const char* video;
  const char* audio;
};

class EveryCodec : public LiveSimulator, public ::testing::WithParamInterface<Combination> {};

TEST_P(EveryCodec, PicturesAndToneArrive) {
  StartClient();
  const Combination c = GetParam();
  const int sent = RunKvdevice(Target() + " --realtime --duration 2.5 --codec " + c.video +
                               " --audio " + c.audio + " --size 352x288 --fps 25 --quiet");
  ASSERT_GT(sent, 50);
  kv::platform::PresentedImage image;
  WaitUntil([&] {
    return Pictures() >= static_cast<uint32_t>(sent) * 9 / 10 &&
           kv::platform::HeadlessDisplay::Get().GetPresented(window_, &image) &&
           ReadCounter(image) >= sent - 3;
  });
  EXPECT_GE(Pictures(), static_cast<uint32_t>(sent) * 9 / 10) << c.video;
  ASSERT_TRUE(kv::platform::HeadlessDisplay::Get().GetPresented(window_, &image));
  const int shown = ReadCounter(image);
  EXPECT_GE(shown, sent - 3) << "last picture drawn";
  EXPECT_LE(shown, sent - 1);
  EXPECT_EQ(CountEvents(KV_EVENT_LINK, LINK_CONNECTED), 1);
  StopClient();

  const Wav wav = ReadWav(wav_);
  ASSERT_GT(wav.samples.size(), 8000u) << c.audio;  // more than a second of sound
  // The first quarter second is left out: G.726 adapts from its reset state there.
  const double quality = kv::test::ToneQualityDb(wav.samples, 1000.0, 2000);
  std::printf("%s played at %.1f dB\n", c.audio, quality);
  EXPECT_GE(quality, kv::test::ToneFloorDb(c.audio)) << c.audio;
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, EveryCodec,
    ::testing::Values(Combination{"h264", "g711u"}, Combination{"h264", "g726-32"},
                      Combination{"mpeg4", "g711a"}, Combination{"mpeg4", "g726-24"},
                      Combination{"mjpeg", "g726-16"}, Combination{"h264", "g726-40"}),
    [](const auto& info) {
      std::string n = std::string(info.param.video) + "_" + info.param.audio;
      for (char& ch : n) ch = ch == '-' ? '_' : ch;
      return n;
    });

TEST_F(LiveSimulator, ReorderingAndDuplicatesLoseNoPicture) {
  StartClient();
  const int sent =
      RunKvdevice(Target() +
                  " --fast --frames 40 --reorder 6 --reorder-percent 5 --duplicate 5 --seed 11 "
                  "--audio none --quiet");
  ASSERT_EQ(sent, 40);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (Pictures() < 40 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(Pictures(), 40u);
}

// libavcodec's complaints while a test runs (this program brings its own libavcodec, whose
// settings the library leaves alone).
std::atomic<int> gDecoderErrors{0};
void CountDecoderErrors(void*, int level, const char*, va_list) {
  if (level <= AV_LOG_ERROR) ++gDecoderErrors;
}

TEST_F(LiveSimulator, HeavyReorderingDecodesEveryPictureWithoutComplaint) {
  gDecoderErrors = 0;
  av_log_set_callback(CountDecoderErrors);
  StartClient();
  const int sent = RunKvdevice(Target() +
                               " --realtime --duration 2.5 --slices 2 --seed 7 --reorder 64 "
                               "--reorder-percent 50 --quiet");
  ASSERT_GT(sent, 50);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (Pictures() < static_cast<uint32_t>(sent) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(Pictures(), static_cast<uint32_t>(sent));
  EXPECT_EQ(CountEvents(KV_EVENT_LINK, LINK_CONNECTED), 1);
  StopClient();
  av_log_set_callback(av_log_default_callback);
  EXPECT_EQ(gDecoderErrors.load(), 0);
}

TEST_F(LiveSimulator, AnotherHostIsIgnoredAndStreamChangesResynchronise) {
  StartClient();
  ASSERT_GT(RunKvdevice(Target() + " --fast --frames 20 --bind 127.0.0.2 --audio none --quiet"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Pictures(), 0u);
  EXPECT_EQ(CountEvents(KV_EVENT_LINK, LINK_CONNECTED), 0);

  ASSERT_GT(RunKvdevice(Target() + " --realtime --duration 2.2 --stream-change 1 --audio none "
                                   "--quiet"),
            0);
  WaitUntil([&] { return CountEvents(KV_EVENT_LINK, LINK_CONNECTED) >= 3 && Pictures() > 40u; });
  EXPECT_GE(CountEvents(KV_EVENT_LINK, LINK_CONNECTED), 3);
  EXPECT_GT(Pictures(), 40u);
}

}  // namespace
