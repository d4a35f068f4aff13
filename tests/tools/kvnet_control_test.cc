// kvnet's device-control and talk commands run against the simulator: the device must see the
// exact request, kvnet must print the reply and exit 0; a refusing, silent, closing or garbled
// device must make kvnet fail with a message and a non-zero exit within the command's time-out.
// Talk carries a tone to the device and the device's tone into kvnet's WAV file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/tone_quality.h"
#include "tests/tools/kvnet_harness.h"
#include "tests/tools/mctp_bare_client.h"

namespace {

namespace fs = std::filesystem;
using kv::kvnet_test::Child;
using kv::kvnet_test::KvnetBinary;
using kv::kvnet_test::TempDir;
using kvdevice_mctp_test::Device;
using kvdevice_mctp_test::Fields;
using kvdevice_mctp_test::kLight;
using kvdevice_mctp_test::LogLines;
using kvdevice_mctp_test::MdRequest;
using kvdevice_mctp_test::Ptz;
using kvdevice_mctp_test::Quoted;
using kvdevice_mctp_test::StopAlarm;
using kvdevice_mctp_test::Vctrl;
using std::chrono::milliseconds;

// Far above the longest command time-out (3 s) plus the library's start and stop, even under
// the sanitizers on a loaded machine; a kvnet that blocks for ever still ends the test.
constexpr milliseconds kRunLimit{60000};

struct Outcome {
  std::optional<int> status;
  std::string output;  // stdout and stderr together
};

class KvnetControl : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::access(KvnetBinary().c_str(), X_OK), 0) << "build the kvnet target first";
  }

  // The simulator with its MCTP log, on a free loopback port.
  void StartDevice(const std::string& options = "") {
    device_ =
        std::make_unique<Device>(kLight + "--banner none --mctp-log " + log() + " " + options);
    ASSERT_TRUE(device_->ok());
  }
  std::string log() const { return (dir_.path() / "mctp.log").string(); }
  std::string address() const { return "127.0.0.1:" + std::to_string(device_->port()); }

  // kvnet with the words (the device's address put in place of "@"), without a window or
  // sound hardware.
  Outcome Kvnet(const std::vector<std::string>& words,
                std::map<std::string, const char*> env = {{"KVNET_AUDIO_OUT", "null"}}) {
    std::vector<std::string> args = {KvnetBinary()};
    for (const std::string& w : words) args.push_back(w == "@" ? address() : w);
    env.emplace("DISPLAY", nullptr);
    const fs::path output = dir_.path() / ("kvnet-" + std::to_string(++runs_) + ".out");
    Outcome run;
    {
      Child kvnet(args, env, output);
      run.status = kvnet.Wait(kRunLimit);
    }
    run.output = kv::kvnet_test::ReadFile(output);
    return run;
  }

  // The log lines of the requests of a kind the device answered with `mode`.
  std::vector<std::string> Requests(const std::string& kind, const std::string& text,
                                    const std::string& mode) const {
    return LogLines(log(), "request " + kind + " " + Quoted(text) + " -> " + mode);
  }

  TempDir dir_;
  std::unique_ptr<Device> device_;
  int runs_ = 0;
};

TEST_F(KvnetControl, EveryCommandSendsItsExactRequestAndPrintsTheReply) {
  StartDevice();
  struct Case {
    std::vector<std::string> words;
    std::string kind, request, printed;
  };
  const std::vector<Case> cases = {
      {{"ptz", "@", "21", "3", "--channel", "2"}, "ptz", Ptz(2, 21, 3), "ptz: ok"},
      {{"md", "start", "@", "--channel", "2"}, "md-start", MdRequest(3, 2), "md start: ok"},
      {{"md", "stop", "@", "--channel", "2"}, "md-stop", MdRequest(4, 2), "md stop: ok"},
      {{"alarm-reset", "@", "7", "--channel", "2"}, "alarm", StopAlarm(7, 2), "alarm-reset: ok"},
      // Mode 1 is operation 3; each value goes out as its low 8 bits (300 -> 44).
      {{"vparam", "set", "@", "300", "5", "6", "1", "--channel", "2"},
       "vparam-set",
       Vctrl(3, 2, 44, 5, 6),
       "vparam set: ok"},
      {{"vparam", "set", "@", "10", "20", "30", "--channel", "2"},
       "vparam-set",
       Vctrl(2, 2, 10, 20, 30),
       "vparam set: ok"},
      // The device keeps what the last set gave it.
      {{"vparam", "get", "@", "--channel", "2"},
       "vparam-get",
       Vctrl(1, 2, 0, 0, 0),
       "video parameters: 10 20 30"},
  };
  for (const Case& c : cases) {
    const Outcome run = Kvnet(c.words);
    EXPECT_EQ(run.status, 0) << c.words[0] << "\n" << run.output;
    EXPECT_NE(run.output.find(c.printed), std::string::npos) << run.output;
    EXPECT_EQ(Requests(c.kind, c.request, "accept").size(), 1u)
        << c.kind << " " << Quoted(c.request) << "\n"
        << kv::kvnet_test::ReadFile(log());
  }
}

TEST_F(KvnetControl, MotionRegionsSavedAreReadBack) {
  StartDevice();
  const Outcome save =
      Kvnet({"md", "save", "@", "0:10,20,30,40:5", "15:-4,0,704,576", "--channel", "3"});
  ASSERT_EQ(save.status, 0) << save.output;
  EXPECT_NE(save.output.find("md save: ok"), std::string::npos) << save.output;
  std::string request = "CMD:MD MCTP/1.0 CS\n";
  for (int i = 0; i < 16; ++i) {
    if (i == 0) {
      request += Fields({1, 3, 0, 5, 10, 20, 30, 40});
    } else if (i == 15) {
      request += Fields({1, 3, 15, 0, -4, 0, 704, 576});
    } else {
      request += Fields({1, 3, i, 0, 0, 0, 0, 0});
    }
  }
  request += "END\n";
  EXPECT_EQ(Requests("md-save", request, "accept").size(), 1u) << kv::kvnet_test::ReadFile(log());

  const Outcome get = Kvnet({"md", "get", "@", "--channel", "3"});
  ASSERT_EQ(get.status, 0) << get.output;
  EXPECT_EQ(Requests("md-get", MdRequest(2, 3), "accept").size(), 1u);
  EXPECT_NE(get.output.find("region  0: setting   5  10,20,30,40"), std::string::npos)
      << get.output;
  EXPECT_NE(get.output.find("region  7: setting   0  0,0,0,0"), std::string::npos) << get.output;
  EXPECT_NE(get.output.find("region 15: setting   0  -4,0,704,576"), std::string::npos)
      << get.output;
  EXPECT_NE(get.output.find("md get: ok"), std::string::npos) << get.output;

  // A region text with anything after its numbers is refused before anything is sent.
  const Outcome bad = Kvnet({"md", "save", "@", "3:1,2,3,4x"});
  EXPECT_EQ(bad.status, 2) << bad.output;
  EXPECT_NE(bad.output.find("bad region 3:1,2,3,4x"), std::string::npos) << bad.output;
  EXPECT_EQ(LogLines(log(), "request md-save").size(), 1u);
}

// Each command against a device that answers every request in the way named.
class KvnetControlFault : public KvnetControl, public ::testing::WithParamInterface<const char*> {};

TEST_P(KvnetControlFault, EveryCheckedCommandFailsWithAMessage) {
  const std::string mode = GetParam();
  const std::vector<std::string> kinds = {"md-get", "md-save",    "md-start",  "md-stop",
                                          "alarm",  "vparam-set", "vparam-get"};
  std::string replies;
  for (const std::string& kind : kinds) {
    replies += (replies.empty() ? "" : ",") + kind + ":" + mode;
  }
  StartDevice("--mctp-reply " + replies);
  const std::vector<std::vector<std::string>> commands = {
      {"md", "get", "@"},    {"md", "save", "@", "1:1,2,3,4"},
      {"md", "start", "@"},  {"md", "stop", "@"},
      {"alarm-reset", "@"},  {"vparam", "set", "@", "1", "2", "3"},
      {"vparam", "get", "@"}};
  for (const std::vector<std::string>& words : commands) {
    const std::string name = words[0] == "alarm-reset" ? words[0] : words[0] + " " + words[1];
    const Outcome run = Kvnet(words);
    EXPECT_EQ(run.status, 1) << name << "\n" << run.output;
    EXPECT_NE(run.output.find("kvnet " + name + ": failed: "), std::string::npos) << name << "\n"
                                                                                  << run.output;
    EXPECT_EQ(run.output.find(name + ": ok"), std::string::npos) << run.output;
  }
  // Every request reached the device once and was answered (or not) as told. (The live client
  // behind each command may also log in its event connection; those lines are not counted.)
  for (const std::string& kind : kinds) {
    const std::vector<std::string> lines = LogLines(log(), "request " + kind + " ");
    ASSERT_EQ(lines.size(), 1u) << kind << "\n" << kv::kvnet_test::ReadFile(log());
    EXPECT_NE(lines[0].find("-> " + mode), std::string::npos) << lines[0];
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, KvnetControlFault,
                         ::testing::Values("refuse", "malformed", "garbled", "silent", "close"));

TEST_F(KvnetControl, PtzTakesAnyAnswerButNotSilence) {
  // A device that closes the connection without answering still took the request.
  StartDevice("--mctp-reply ptz:close");
  const Outcome closed = Kvnet({"ptz", "@", "1", "2"});
  EXPECT_EQ(closed.status, 0) << closed.output;
  EXPECT_EQ(Requests("ptz", Ptz(1, 1, 2), "close").size(), 1u);
  device_.reset();

  StartDevice("--mctp-reply ptz:silent");
  const Outcome silent = Kvnet({"ptz", "@", "1", "2"});
  EXPECT_EQ(silent.status, 1) << silent.output;
  EXPECT_NE(silent.output.find("kvnet ptz: failed: "), std::string::npos) << silent.output;
  EXPECT_EQ(Requests("ptz", Ptz(1, 1, 2), "silent").size(), 1u);
}

TEST_F(KvnetControl, NoDeviceListeningFailsAtOnce) {
  const int port = kv::test::FreeTcpPort();
  const Outcome run = Kvnet({"md", "start", "127.0.0.1:" + std::to_string(port)});
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("kvnet md start: failed: "), std::string::npos) << run.output;
}

// What follows a 44-byte WAV header as 16-bit samples, whatever sizes the header states.
std::vector<int16_t> SamplesAfterHeader(const fs::path& path) {
  const std::string d = kv::kvnet_test::ReadFile(path);
  if (d.size() < 44 || d.compare(0, 4, "RIFF") != 0) return {};
  std::vector<int16_t> samples((d.size() - 44) / 2);
  std::memcpy(samples.data(), d.data() + 44, samples.size() * 2);
  return samples;
}

// A WAV file's 16-bit samples (the data chunk as its header states it), empty when it is not one.
std::vector<int16_t> WavSamples(const fs::path& path) {
  const std::string d = kv::kvnet_test::ReadFile(path);
  if (d.size() < 12 || d.compare(0, 4, "RIFF") != 0 || d.compare(8, 4, "WAVE") != 0) return {};
  for (size_t at = 12; at + 8 <= d.size();) {
    const uint32_t size = kv::kvnet_test::Le32(d, at + 4);
    if (d.compare(at, 4, "data") == 0) {
      const size_t bytes = std::min<size_t>(size, d.size() - at - 8);
      std::vector<int16_t> samples(bytes / 2);
      std::memcpy(samples.data(), d.data() + at + 8, samples.size() * 2);
      return samples;
    }
    at += 8 + size + (size & 1);
  }
  return {};
}

TEST_F(KvnetControl, TalkCarriesTheToneBothWays) {
  const fs::path heard = dir_.path() / "device-heard.wav";
  const fs::path played = dir_.path() / "kvnet-played.wav";
  // Without a banner both sides talk G.726 at 32 kbit/s (the older device generation).
  StartDevice("--talk-codec g726-32 --talk-tone 500 --talk-wav " + heard.string());
  const Outcome run =
      Kvnet({"talk", "@", "--tone", "1000", "--play", played.string(), "--seconds", "4"}, {});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("talking to "), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("talk ended"), std::string::npos) << run.output;
  EXPECT_EQ(Requests("talk", "CMD:TALK MCTP/1.0 CS\n@1@16@\nEND\n", "accept").size(), 1u)
      << kv::kvnet_test::ReadFile(log());
  // The device writes what it heard when the talk connection ends.
  ASSERT_TRUE(kvdevice_mctp_test::WaitForLog(log(), "talk end", 1, 10000))
      << kv::kvnet_test::ReadFile(log());
  device_->stop();

  // At least a second of each tone, clean enough for the codec.
  const std::vector<int16_t> atDevice = WavSamples(heard);
  ASSERT_GE(atDevice.size(), 8000u) << "the device heard " << atDevice.size() << " samples";
  EXPECT_GE(kv::test::ToneQualityDb(atDevice, 1000, 2000), kv::test::ToneFloorDb("g726-32"));
  const std::vector<int16_t> atKvnet = SamplesAfterHeader(played);
  ASSERT_GE(atKvnet.size(), 8000u) << "kvnet played " << atKvnet.size() << " samples";
  EXPECT_GE(kv::test::ToneQualityDb(atKvnet, 500, 2000), kv::test::ToneFloorDb("g726-32"));
}

// The talk's WAV playback file states its sizes once talk has ended. The live client behind
// kvnet's handle plays its own sound, and when both wrote the same file its header was
// rewritten last by the live player's, saying the data held nothing.
TEST_F(KvnetControl, TalkPlaybackWavStatesItsSize) {
  const fs::path played = dir_.path() / "kvnet-played.wav";
  StartDevice("--talk-codec g726-32");
  const Outcome run =
      Kvnet({"talk", "@", "--tone", "1000", "--play", played.string(), "--seconds", "2"}, {});
  ASSERT_EQ(run.status, 0) << run.output;
  const std::vector<int16_t> stated = WavSamples(played);
  EXPECT_GE(stated.size(), 8000u);
  EXPECT_EQ(stated.size(), SamplesAfterHeader(played).size());
}

TEST_F(KvnetControl, UdpStreamClientsAreRefusedWithoutConnecting) {
  StartDevice();
  // A proprietary UDP stream client listens on the address given; the device sees nothing.
  const Outcome talk = Kvnet({"talk", "--udp", "@", "--tone", "1000", "--seconds", "1"});
  EXPECT_EQ(talk.status, 1) << talk.output;
  EXPECT_NE(talk.output.find("kvnet talk: "), std::string::npos) << talk.output;
  EXPECT_EQ(talk.output.find("talking to"), std::string::npos) << talk.output;
  const Outcome md = Kvnet({"md", "start", "--udp", "@"});
  EXPECT_EQ(md.status, 1) << md.output;
  EXPECT_NE(md.output.find("kvnet md start: failed: "), std::string::npos) << md.output;
  EXPECT_TRUE(LogLines(log(), "request").empty()) << kv::kvnet_test::ReadFile(log());
}

}  // namespace
