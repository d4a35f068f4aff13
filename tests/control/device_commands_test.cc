// The control exports against kvdevice: exact requests, every command's accept and refuse paths,
// the reply fault modes, the motion-region table copies and the UDP refusal.
#include "sdk/control/device_commands.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "sdk/control/command_socket.h"
#include "tests/control/control_device.h"

namespace kv::control_test {
namespace {

using Clock = std::chrono::steady_clock;

std::string MdLine(int op, int channel, int i, int setting, int l, int t, int r, int b) {
  return "@" + std::to_string(op) + "@" + std::to_string(channel) + "@" + std::to_string(i) + "@" +
         std::to_string(setting) + "@" + std::to_string(l) + "@" + std::to_string(t) + "@" +
         std::to_string(r) + "@" + std::to_string(b) + "\n";
}

TEST(DeviceCommandsTest, EveryCommandIsAcceptedWithItsExactRequest) {
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--mctp-log " + log);
  ASSERT_TRUE(device.ok());
  LiveClient live(device.port());
  KVNET_HANDLE h = live.handle();

  KVNET_MD_INFO saved{};
  for (int i = 0; i < 16; ++i) {
    saved.setting[i] = static_cast<uint8_t>(10 + i);
    saved.region[i][0] = 4 * i;
    saved.region[i][1] = 3 * i;
    saved.region[i][2] = 100 + 4 * i;
    saved.region[i][3] = 80 + 3 * i;
  }
  ASSERT_EQ(KVNET_ClientSaveMDInfo(h, &saved), 1);
  std::string request = "CMD:MD MCTP/1.0 CS\n";
  for (int i = 0; i < 16; ++i) {
    request += MdLine(1, 1, i, 10 + i, 4 * i, 3 * i, 100 + 4 * i, 80 + 3 * i);
  }
  EXPECT_EQ(LogLines(log, "request md-save " + Quoted(request + "END\n") + " -> accept").size(),
            1u);
  EXPECT_EQ(std::memcmp(&live.client().m_viewState.motion.info, &saved, sizeof saved), 0)
      << "saved settings go to the client's region table";

  live.client().m_viewState.motion.info = KVNET_MD_INFO{};
  KVNET_MD_INFO read{};
  ASSERT_EQ(KVNET_ClientGetMDInfo(h, &read), 1);
  EXPECT_EQ(std::memcmp(&read, &saved, sizeof saved), 0) << "the device kept what was saved";
  EXPECT_EQ(std::memcmp(&live.client().m_viewState.motion.info, &saved, sizeof saved), 0);

  EXPECT_EQ(KVNET_ClientStartMD(h), 1);
  EXPECT_EQ(KVNET_ClientStopMD(h), 1);
  EXPECT_EQ(KVNET_ClientStopAlarm(h, 9), 1);
  EXPECT_EQ(KVNET_ClientSetVideoParam(h, 300, 5, 6, 1), 1);
  uint8_t p1 = 0, p2 = 0, p3 = 0;
  EXPECT_EQ(KVNET_ClientGetVideoParam(h, &p1, &p2, &p3), 1);
  EXPECT_EQ(std::vector<int>({p1, p2, p3}), std::vector<int>({44, 5, 6}));
  EXPECT_EQ(KVNET_ClientGetVideoParam(h, &p1, nullptr, &p3), 0);
  EXPECT_EQ(KVNET_ClientPTZCtrl(h, 21, 3), 1);

  for (const std::string& exact :
       {"request md-get " + Quoted("CMD:MD MCTP/1.0 CS\n@2@1@0@0@0@0@0@0\nEND\n"),
        "request md-start " + Quoted("CMD:MD MCTP/1.0 CS\n@3@1@0@0@0@0@0@0\nEND\n"),
        "request md-stop " + Quoted("CMD:MD MCTP/1.0 CS\n@4@1@0@0@0@0@0@0\nEND\n"),
        "request alarm " + Quoted("CMD:ALARM MCTP/1.0 CS\n@1@9@1\nEND\n"),
        "request vparam-set " + Quoted("CMD:VCTRL MCTP/1.0 CS\n@3@1@44@5@6@\nEND\n"),
        "request vparam-get " + Quoted("CMD:VCTRL MCTP/1.0 CS\n@1@1@0@0@0@\nEND\n"),
        "request ptz " + Quoted("CMD:PTZ MCTP/1.0\n@1@21@3\nEND\n")}) {
    EXPECT_EQ(LogLines(log, exact + " -> accept").size(), 1u) << exact;
  }
}

struct FaultCase {
  const char* mode;
  int expected;     // result of every command but PTZ
  int ptzExpected;  // PTZ takes any receive that did not fail
};

class DeviceCommandFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(DeviceCommandFaults, EveryCommandAnswersAsTheReplyDeserves) {
  const FaultCase& f = GetParam();
  Device device(kLight + "--mctp-gap 300 --mctp-reply all:" + f.mode);
  ASSERT_TRUE(device.ok());
  LiveClient live(device.port());
  KVNET_HANDLE h = live.handle();
  KVNET_MD_INFO info{};
  info.region[1][2] = 99;
  live.client().m_viewState.motion.info.region[0][0] = 7;

  EXPECT_EQ(KVNET_ClientSaveMDInfo(h, &info), f.expected);
  EXPECT_EQ(KVNET_ClientGetMDInfo(h, &info), f.expected);
  EXPECT_EQ(KVNET_ClientStartMD(h), f.expected);
  EXPECT_EQ(KVNET_ClientStopMD(h), f.expected);
  EXPECT_EQ(KVNET_ClientStopAlarm(h, 1), f.expected);
  EXPECT_EQ(KVNET_ClientSetVideoParam(h, 1, 2, 3, 0), f.expected);
  uint8_t p[3] = {7, 7, 7};
  EXPECT_EQ(KVNET_ClientGetVideoParam(h, &p[0], &p[1], &p[2]), f.expected);
  if (f.expected == 0) {
    EXPECT_EQ(p[0], 7) << "values stay untouched";
    EXPECT_EQ(live.client().m_viewState.motion.info.region[0][0], 7)
        << "the region table stays untouched";
  }
  EXPECT_EQ(KVNET_ClientPTZCtrl(h, 1, 1), f.ptzExpected);
}

INSTANTIATE_TEST_SUITE_P(Modes, DeviceCommandFaults,
                         ::testing::Values(FaultCase{"refuse", 0, 1}, FaultCase{"malformed", 0, 1},
                                           FaultCase{"garbled", 0, 1},
                                           FaultCase{"no-newline", 1, 1}, FaultCase{"split", 0, 1},
                                           FaultCase{"close", 0, 1}),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                           std::string name = info.param.mode;
                           for (char& c : name) c = c == '-' ? '_' : c;
                           return name;
                         });

TEST(DeviceCommandsTest, SilentDevicesTimeOut) {
  Device device(kLight + "--mctp-reply ptz:silent,alarm:silent");
  ASSERT_TRUE(device.ok());
  LiveClient live(device.port());
  auto start = Clock::now();
  EXPECT_EQ(KVNET_ClientPTZCtrl(live.handle(), 1, 1), 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(450)) << "waits its 500 ms";
  start = Clock::now();
  EXPECT_EQ(KVNET_ClientStopAlarm(live.handle(), 1), 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2900)) << "waits its 3000 ms";
  EXPECT_EQ(KVNET_ClientStartMD(live.handle()), 1) << "other kinds still answer";
}

TEST(DeviceCommandsTest, RefusedWithoutConnecting) {
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--mctp-log " + log);
  ASSERT_TRUE(device.ok());
  {
    LiveClient udp(device.port(), TRANSPORT_UDP);
    KVNET_MD_INFO info{};
    uint8_t p = 0;
    EXPECT_EQ(KVNET_ClientGetMDInfo(udp.handle(), &info), 0);
    EXPECT_EQ(KVNET_ClientSaveMDInfo(udp.handle(), &info), 0);
    EXPECT_EQ(KVNET_ClientStartMD(udp.handle()), 0);
    EXPECT_EQ(KVNET_ClientStopMD(udp.handle()), 0);
    EXPECT_EQ(KVNET_ClientStopAlarm(udp.handle(), 1), 0);
    EXPECT_EQ(KVNET_ClientSetVideoParam(udp.handle(), 1, 1, 1, 1), 0);
    EXPECT_EQ(KVNET_ClientGetVideoParam(udp.handle(), &p, &p, &p), 0);
    EXPECT_EQ(KVNET_ClientPTZCtrl(udp.handle(), 1, 1), 0);
    EXPECT_EQ(KVNET_ClientStartTalk(udp.handle()), 0);
    EXPECT_EQ(udp.client().m_talk, nullptr);
  }
  {
    // Values that would overflow the request buffer: refused before connecting. Sixteen lines
    // of the longest numbers need more than 1024 bytes only with a long channel number too.
    LiveClient live(device.port());
    live.client().m_link.param.channel = INT_MIN;
    KVNET_MD_INFO huge{};
    for (auto& region : huge.region) {
      for (int32_t& v : region) v = INT_MIN;
    }
    EXPECT_EQ(KVNET_ClientSaveMDInfo(live.handle(), &huge), 0);
  }
  // Stopping flushes the log: no request of any kind reached the device.
  device.stop();
  EXPECT_EQ(LogLines(log, "request ").size(), 0u);
}

TEST(CommandSocketTest, OptionsAndAbort) {
  Device device(kLight);
  ASSERT_TRUE(device.ok());
  CommandSocket socket;
  ASSERT_TRUE(OpenCommandConnection(socket, "127.0.0.1", static_cast<uint16_t>(device.port()),
                                    {3000, 10000, 2000}, [](CommandSocket& s) {
                                      return s.SetNoDelay() && s.SetSendBuffer() &&
                                             s.SetReceiveBuffer();
                                    }));
  EXPECT_TRUE(socket.noDelay());
  EXPECT_EQ(socket.receiveTimeoutMs(), 2000);
  // Nothing was asked: the receive waits its time-out and reports it as one.
  char byte;
  const auto start = Clock::now();
  EXPECT_EQ(socket.ReceiveAll(1, &byte), 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1900));
  // After an abort the socket is closed and cannot be opened again.
  socket.Abort();
  EXPECT_FALSE(socket.IsOpen());
  EXPECT_EQ(socket.Create(100, 100, 100, platform::AddressFamily::kIPv4), 0);
  EXPECT_FALSE(socket.IsOpen());
  CommandSocket closed;
  EXPECT_EQ(closed.SetSendBuffer(), 1) << "nothing done on a closed socket";
}

TEST(DeviceCommandsTest, UnreachableDeviceFails) {
  // A port nobody listens on: the connection is refused and every command fails.
  DeviceEndpoint nobody{"127.0.0.1", 1, 1, "", ""};
  EXPECT_EQ(StartMD(nobody), 0);
  EXPECT_EQ(PTZCtrl(nobody, 1, 1), 0);
  DeviceEndpoint unresolvable{"no-such-host.invalid", 554, 1, "", ""};
  EXPECT_EQ(StopMD(unresolvable), 0);
}

}  // namespace
}  // namespace kv::control_test
