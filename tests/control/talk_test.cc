// Two-way talk against kvdevice: a tone captured from a tone source arrives at the device, the
// device's tone is played into a WAV file, the session reconnects when the device drops it,
// retries a refusing device and stops at once while it waits, and UDP clients are refused.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "sdk/control/talk_session.h"
#include "tests/control/control_device.h"
#include "tests/support/record_writers.h"
#include "tests/support/tone_quality.h"

namespace kv::control_test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kSettleSamples = 2000;  // G.726 adapts from its reset state here

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

struct Generation {
  const char* banner;
  const char* codec;  // as the tone floors name it
  int32_t flag;       // the client's device-generation flag
  int wireCodec;
};
const Generation kNewer{"v200", "g711u", 1, 2};
const Generation kOlder{"plain", "g726-32", 0, 16};

class TalkBothWays : public ::testing::TestWithParam<Generation> {};

TEST_P(TalkBothWays, ToneArrivesAtTheDeviceAndTheDevicesToneIsPlayed) {
  const Generation& g = GetParam();
  Folder folder;
  const std::string log = folder / "mctp.log", heard = folder / "heard.wav",
                    played = folder / "played.wav";
  Device device(kLight + "--banner " + g.banner + " --talk-tone 500 --talk-wav " + heard +
                " --mctp-log " + log);
  ASSERT_TRUE(device.ok());
  std::atomic<int32_t> generation{g.flag};
  TalkSettings settings;
  settings.device = {"127.0.0.1", static_cast<uint16_t>(device.port()), 1, "", ""};
  settings.deviceGeneration = &generation;
  settings.captureDevice = "tone:1000";
  settings.playbackDevice = "wavfast:" + played;
  {
    CTalk2VS talk(settings);
    ASSERT_TRUE(talk.StartSession());
    ASSERT_TRUE(WaitForLog(log, "talk sound at clock"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(talk.deviceSendsAudio());
    EXPECT_EQ(talk.connections(), 1u);
    talk.Halt();
  }
  const std::string request =
      "CMD:TALK MCTP/1.0 CS\n@1@" + std::to_string(g.wireCodec) + "@\nEND\n";
  EXPECT_EQ(LogLines(log, "request talk " + Quoted(request)).size(), 1u);

  const std::vector<int16_t> atDevice = test::ReadWavSamples(heard);
  ASSERT_GE(atDevice.size(), 8000u) << "at least a second of sound reached the device";
  const double up = test::ToneQualityDb(atDevice, 1000, kSettleSamples);
  const std::vector<int16_t> atSpeaker = test::ReadWavSamples(played);
  ASSERT_GE(atSpeaker.size(), 8000u) << "at least a second of the device's sound was played";
  const double down = test::ToneQualityDb(atSpeaker, 500, kSettleSamples);
  std::printf("talk %s: tone at the device %.1f dB, device tone played %.1f dB\n", g.codec, up,
              down);
  EXPECT_GE(up, test::ToneFloorDb(g.codec));
  EXPECT_GE(down, test::ToneFloorDb(g.codec));
}

INSTANTIATE_TEST_SUITE_P(Generations, TalkBothWays, ::testing::Values(kNewer, kOlder),
                         [](const auto& info) {
                           return std::string(info.param.flag == 1 ? "newer" : "older");
                         });

TalkSettings QuietSettings(const Device& device, const std::string& folderPlayed) {
  TalkSettings settings;
  settings.device = {"127.0.0.1", static_cast<uint16_t>(device.port()), 1, "", ""};
  settings.captureDevice = "null";
  settings.playbackDevice = folderPlayed.empty() ? "null" : "wavfast:" + folderPlayed;
  return settings;
}

TEST(TalkTest, ReconnectsWhenTheDeviceDropsTheConnection) {
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--talk-drop-after 1 --mctp-log " + log);
  ASSERT_TRUE(device.ok());
  CTalk2VS talk(QuietSettings(device, ""));
  ASSERT_TRUE(talk.StartSession());
  EXPECT_TRUE(WaitUntil([&] { return talk.connections() >= 3; }, 15000));
  talk.Halt();
  EXPECT_GE(Requests(log, "talk"), 3u);
}

TEST(TalkTest, RetriesARefusingDeviceAndStopsAtOnceWhileWaiting) {
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--mctp-reply talk:refuse --mctp-log " + log);
  ASSERT_TRUE(device.ok());
  {
    TalkSettings settings = QuietSettings(device, "");
    settings.retryMs = 100;
    CTalk2VS talk(settings);
    ASSERT_TRUE(talk.StartSession());
    EXPECT_TRUE(WaitUntil([&] { return talk.attempts() >= 3; }));
    EXPECT_EQ(talk.connections(), 0u);
    talk.Halt();
  }
  // With the usual 10 s between attempts, a halt during the wait ends it right away.
  CTalk2VS talk(QuietSettings(device, ""));
  ASSERT_TRUE(talk.StartSession());
  ASSERT_TRUE(WaitUntil([&] { return talk.attempts() >= 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = Clock::now();
  talk.Halt();
  const auto took = Clock::now() - start;
  std::printf("halt while waiting between attempts took %.1f ms\n",
              std::chrono::duration<double, std::milli>(took).count());
  EXPECT_LT(took, std::chrono::seconds(2)) << "well under the 10 s wait";
  EXPECT_EQ(talk.attempts(), 1u);
}

TEST(TalkTest, HaltWakesASessionWaitingForTheTalkReply) {
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--mctp-reply talk:silent --mctp-log " + log);
  ASSERT_TRUE(device.ok());
  CTalk2VS talk(QuietSettings(device, ""));
  ASSERT_TRUE(talk.StartSession());
  ASSERT_TRUE(WaitForLog(log, "request talk "));
  // The session now waits up to 10 s for a reply that never comes.
  const auto start = Clock::now();
  talk.Halt();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << "closing the socket wakes it";
  EXPECT_EQ(talk.connections(), 0u);
}

TEST(TalkTest, WithoutDeviceAudioOnlyTheUplinkRuns) {
  Folder folder;
  const std::string played = folder / "played.wav", log = folder / "mctp.log";
  Device device(kLight + "--talk-audio off --mctp-log " + log);
  ASSERT_TRUE(device.ok());
  CTalk2VS talk(QuietSettings(device, played));
  ASSERT_TRUE(talk.StartSession());
  ASSERT_TRUE(WaitUntil([&] { return talk.connections() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(talk.deviceSendsAudio());
  talk.Halt();
  EXPECT_FALSE(std::filesystem::exists(played)) << "no playback device was opened";
  device.stop();
  const std::vector<std::string> end = LogLines(log, "talk end ");
  ASSERT_EQ(end.size(), 1u);
  EXPECT_EQ(end[0].find("heard 0 "), std::string::npos) << "the uplink carried sound: " << end[0];
}

TEST(TalkTest, ExportsStartReplaceAndStopTalk) {
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--mctp-log " + log);
  ASSERT_TRUE(device.ok());
  // The exports use the default wave devices.
  setenv("KVNET_AUDIO_IN", "null", 1);
  setenv("KVNET_AUDIO_OUT", "null", 1);
  {
    LiveClient live(device.port());
    ASSERT_EQ(KVNET_ClientStartTalk(live.handle()), 1);
    ASSERT_TRUE(WaitForLog(log, "request talk ", 1));
    ASSERT_EQ(KVNET_ClientStartTalk(live.handle()), 1) << "a second start replaces the first";
    EXPECT_NE(live.client().m_talk.get(), nullptr);
    ASSERT_TRUE(WaitForLog(log, "request talk ", 2));
    KVNET_ClientStopTalk(live.handle());
    EXPECT_EQ(live.client().m_talk, nullptr);
    KVNET_ClientStopTalk(live.handle());
    KVNET_ClientStopTalk(nullptr);
    // A client stopped while talking ends its session first.
    ASSERT_EQ(KVNET_ClientStartTalk(live.handle()), 1);
    ASSERT_TRUE(WaitForLog(log, "request talk ", 3));
  }
  unsetenv("KVNET_AUDIO_IN");
  unsetenv("KVNET_AUDIO_OUT");
  device.stop();
  EXPECT_EQ(LogLines(log, "talk end ").size(), 3u);
}

}  // namespace
}  // namespace kv::control_test
