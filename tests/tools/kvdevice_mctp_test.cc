// kvdevice's MCTP/1.0 commands seen from a bare client that sends the client library's exact
// requests and applies its acceptance rules: every command accepted, the device's state kept
// between connections, every fault mode of the replies, and bad requests told apart.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/tools/mctp_bare_client.h"

namespace {

using namespace kvdevice_mctp_test;

struct Sent {
  Command command;
  std::string kind;  // as --mctp-reply and the log name it
  std::string request;
};

// One request of each kind, on channel 1.
std::vector<Sent> EveryCommand() {
  std::vector<Region> regions(16, Region{0, 0, 0, 0, 0});
  return {{Command::kMdGet, "md-get", MdRequest(2, 1)},
          {Command::kMdSet, "md-save", MdSave(1, regions)},
          {Command::kMdSet, "md-start", MdRequest(3, 1)},
          {Command::kMdSet, "md-stop", MdRequest(4, 1)},
          {Command::kAlarm, "alarm", StopAlarm(9, 1)},
          {Command::kVparamSet, "vparam-set", Vctrl(2, 1, 10, 20, 30)},
          {Command::kVparamGet, "vparam-get", Vctrl(1, 1, 0, 0, 0)},
          {Command::kPtz, "ptz", Ptz(1, 21, 3)},
          {Command::kTalk, "talk", TalkRequest(1, 2)}};
}

TEST(KvDeviceMctp, EveryCommandIsAcceptedAndLogged) {
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--mctp-log " + log);
  ASSERT_TRUE(device.ok());
  for (const Sent& s : EveryCommand()) {
    std::optional<std::string> reply = OneShot(device.port(), s.request);
    ASSERT_TRUE(reply) << s.kind << " was not answered";
    // The library reads a reply as a C string: voice frames after a talk reply end it.
    const std::string text = reply->substr(0, reply->find('\0'));
    EXPECT_TRUE(Accepted(s.command, text)) << s.kind << ": " << text;
    EXPECT_EQ(LogLines(log, "request " + s.kind + " " + Quoted(s.request) + " -> accept").size(),
              1u)
        << s.kind;
  }
  EXPECT_EQ(*OneShot(device.port(), MdRequest(3, 1)),
            "CMD:MD MCTP/1.0 CS\n@3@1@1@0@0@0@0@0\nEND\n");
  EXPECT_EQ(*OneShot(device.port(), StopAlarm(9, 4)), "CMD:ALARM MCTP/1.0 CS\n@1@4@1\nEND\n");
  EXPECT_EQ(*OneShot(device.port(), Vctrl(4, 2, 1, 2, 3)), "CMD:VCTRL MCTP/1.0 CS\n@4@2@1@\nEND\n");
  EXPECT_EQ(*OneShot(device.port(), Ptz(3, 21, 3)), "CMD:PTZ MCTP/1.0\n@3@21@1\nEND\n");
  std::map<std::string, uint64_t> served = device.stop();
  EXPECT_EQ(served["mctp_requests"], EveryCommand().size() + 4);
  EXPECT_EQ(served["mctp_bad"], 0u);
  EXPECT_EQ(served["talks"], 1u);
}

TEST(KvDeviceMctp, SettingsAreKeptPerChannelBetweenConnections) {
  Device device(kLight);
  ASSERT_TRUE(device.ok());
  // Until saved, the regions are a 4 x 4 grid over the 160 x 120 picture.
  std::optional<std::string> grid = OneShot(device.port(), MdRequest(2, 1));
  ASSERT_TRUE(grid && Accepted(Command::kMdGet, *grid)) << grid.value_or("");
  EXPECT_EQ(Lines(*grid)[7], "@2@1@6@0@80@30@120@60\n");

  std::vector<Region> regions;
  for (int i = 0; i < 16; ++i) regions.push_back({i * 16, i, 2 * i, 100 + i, 200 - i});
  regions[3] = {255, -5, 0, 704, 576};
  ASSERT_TRUE(Accepted(Command::kMdSet, OneShot(device.port(), MdSave(2, regions)).value_or("")));
  std::optional<std::string> read = OneShot(device.port(), MdRequest(2, 2));
  ASSERT_TRUE(read && Accepted(Command::kMdGet, *read)) << read.value_or("");
  const std::vector<std::string> lines = Lines(*read);
  for (int i = 0; i < 16; ++i) {
    const Region& g = regions[static_cast<size_t>(i)];
    EXPECT_EQ(lines[static_cast<size_t>(i) + 1],
              Fields({2, 2, i, g.setting, g.left, g.top, g.right, g.bottom}));
  }
  EXPECT_EQ(Lines(*OneShot(device.port(), MdRequest(2, 1)))[7], "@2@1@6@0@80@30@120@60\n")
      << "another channel keeps its own";

  EXPECT_EQ(Lines(OneShot(device.port(), Vctrl(1, 1, 0, 0, 0)).value_or(""))[1],
            "@1@1@128@128@128@\n");
  // What the library sends for SetVideoParam(300, 5, 6, mode 1): operation 3, 300 to 44.
  ASSERT_TRUE(
      Accepted(Command::kVparamSet, OneShot(device.port(), Vctrl(3, 1, 44, 5, 6)).value_or("")));
  EXPECT_EQ(Lines(OneShot(device.port(), Vctrl(1, 1, 0, 0, 0)).value_or(""))[1], "@1@1@44@5@6@\n");
  // A value the library should have cut to 8 bits is refused and changes nothing.
  std::optional<std::string> wide = OneShot(device.port(), Vctrl(2, 1, 300, 5, 6));
  EXPECT_EQ(wide, "CMD:VCTRL MCTP/1.0 CS\n@2@1@0@\nEND\n");
  EXPECT_EQ(Lines(OneShot(device.port(), Vctrl(1, 1, 0, 0, 0)).value_or(""))[1], "@1@1@44@5@6@\n");
}

struct FaultCase {
  const char* mode;
  bool answered;  // a reply comes within the wait
  bool accepted;  // the library's rule takes it (PTZ takes any answer)
  bool closes;    // the device closes without a word
};

class KvDeviceMctpFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(KvDeviceMctpFaults, EachCommandFailsAsTheModeSays) {
  const FaultCase& f = GetParam();
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--mctp-gap 300 --mctp-log " + log + " --mctp-reply all:" + f.mode);
  ASSERT_TRUE(device.ok());
  for (const Sent& s : EveryCommand()) {
    SCOPED_TRACE(s.kind);
    MctpClient c(device.port());
    c.send(s.request);
    std::optional<std::string> reply = c.receiveOnce(f.answered ? 3000 : 300);
    if (!f.answered) {
      EXPECT_FALSE(reply) << "silent, and the connection stays open";
      continue;
    }
    ASSERT_TRUE(reply);
    if (f.closes) {
      EXPECT_EQ(*reply, "") << "closed without an answer";
      continue;
    }
    const std::string text = reply->substr(0, reply->find('\0'));
    EXPECT_EQ(Accepted(s.command, text), f.accepted || s.command == Command::kPtz) << text;
    if (std::string(f.mode) == "split" && s.command != Command::kTalk) {
      // The second piece follows: joined, the reply is the accepting one.
      const std::string whole = *reply + c.receiveAll(500);
      EXPECT_TRUE(Accepted(s.command, whole)) << whole;
    }
    EXPECT_EQ(LogLines(log, "request " + s.kind + " " + Quoted(s.request) + " -> " + f.mode).size(),
              1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, KvDeviceMctpFaults,
                         ::testing::Values(FaultCase{"refuse", true, false, false},
                                           FaultCase{"malformed", true, false, false},
                                           FaultCase{"garbled", true, false, false},
                                           FaultCase{"no-newline", true, true, false},
                                           FaultCase{"split", true, false, false},
                                           FaultCase{"silent", false, false, false},
                                           FaultCase{"close", true, false, true}),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                           std::string name = info.param.mode;
                           for (char& c : name) c = c == '-' ? '_' : c;
                           return name;
                         });

TEST(KvDeviceMctp, RefusedCommandsChangeNothingAndFaultsArePerCommand) {
  Device device(kLight + "--mctp-reply md-save:refuse,vparam-set:close,md-get:malformed");
  ASSERT_TRUE(device.ok());
  std::vector<Region> regions(16, Region{1, 1, 1, 1, 1});
  EXPECT_EQ(OneShot(device.port(), MdSave(1, regions)),
            "CMD:MD MCTP/1.0 CS\n@1@1@0@0@0@0@0@0\nEND\n");
  EXPECT_EQ(OneShot(device.port(), Vctrl(2, 1, 1, 2, 3)), "");
  EXPECT_EQ(Lines(OneShot(device.port(), Vctrl(1, 1, 0, 0, 0)).value_or(""))[1],
            "@1@1@128@128@128@\n");
  // 17 lines: the grid, less its last region.
  std::optional<std::string> get = OneShot(device.port(), MdRequest(2, 1));
  ASSERT_TRUE(get);
  EXPECT_EQ(Lines(*get).size(), 17u);
  EXPECT_EQ(Lines(*get)[1], "@2@1@0@0@0@0@40@30\n");
  EXPECT_TRUE(Accepted(Command::kMdSet, OneShot(device.port(), MdRequest(3, 1)).value_or("")));
}

TEST(KvDeviceMctp, RequestsOutOfFormatAreClosedAndLogged) {
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--mctp-log " + log);
  ASSERT_TRUE(device.ok());
  std::vector<Region> regions(16, Region{0, 0, 0, 0, 0});
  std::string wrongIndex = MdSave(1, regions);
  wrongIndex.replace(wrongIndex.find("@1@1@5@"), 7, "@1@1@6@");
  const std::vector<std::string> bad = {
      "CMD:PTZ MCTP/1.0 CS\n@1@2@3\nEND\n",             // PTZ has no " CS"
      "CMD:MD MCTP/1.0\n@2@1@0@0@0@0@0@0\nEND\n",       // MD has one
      "CMD:MD MCTP/1.0 CS\n@2@1@0@0@0@0@0\nEND\n",      // seven fields
      "CMD:MD MCTP/1.0 CS\n@2@1@0@0@0@0@0@0@\nEND\n",   // a trailing @ it has not
      "CMD:VCTRL MCTP/1.0 CS\n@1@1@0@0@0\nEND\n",       // no trailing @
      "CMD:ALARM MCTP/1.0 CS\n@2@9@1\nEND\n",           // not 1 first
      "CMD:TALK MCTP/1.0 CS\n@1@6@\nEND\n",             // talk codec 2 or 16
      "CMD:MD MCTP/1.0 CS\n@2@1@0@0@0@0@0@0\r\nEND\n",  // a carriage return
      "CMD:ZOOM MCTP/1.0 CS\n@1\nEND\n",                // no such command
      wrongIndex,                                       // region 6 where 5 belongs
      "CMD:ALIVE MCTP/1.0 CS\nEND\n"};                  // a keep-alive before a log-in
  for (const std::string& request : bad) {
    EXPECT_EQ(OneShot(device.port(), request), "") << request;
  }
  EXPECT_EQ(LogLines(log, " -> close").size(), bad.size());
  // A request that never ends with "END" is not answered while it grows.
  MctpClient slow(device.port());
  slow.send("CMD:MD MCTP/1.0 CS\n@2@1@0@0@0@0@0@0\n");
  EXPECT_FALSE(slow.receiveOnce(500));
  slow.send("END\n");
  EXPECT_TRUE(Accepted(Command::kMdGet, slow.receiveAll(300)));
  std::map<std::string, uint64_t> served = device.stop();
  EXPECT_EQ(served["mctp_bad"], bad.size());
}

TEST(KvDeviceMctp, RefusesBadMctpOptions) {
  const std::string device = kvdevice_rtsp_test::DeviceBinary() + " --listen 127.0.0.1:0 --quiet ";
  for (const char* bad :
       {"--mctp-reply ptz", "--mctp-reply ptz:maybe", "--mctp-reply zoom:refuse",
        "--motion-regions 2,16", "--motion-regions 2,2", "--event-session some",
        "--talk-codec g711a", "--talk-samples 100", "--talk-fields 4", "--event-pieces 0"}) {
    EXPECT_EQ(kv::test::RunCommand(device + bad, 20).exitCode, 2) << bad;
  }
  EXPECT_EQ(kv::test::RunCommand(kvdevice_rtsp_test::DeviceBinary() + " --mctp-reply ptz:close", 20)
                .exitCode,
            2)
      << "MCTP needs --listen";
}

}  // namespace
