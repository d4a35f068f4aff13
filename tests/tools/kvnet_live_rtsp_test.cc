// "kvnet live" over RTSP against the simulator as an RTSP camera: both transports with Digest
// credentials, the wait settings (a camera that starts late is retried), the LINK event lines
// and status lines of a playing stream; refused credentials and bad RTSP command lines.
#include <gtest/gtest.h>

#include "tests/support/server_process.h"
#include "tests/tools/kvnet_harness.h"

namespace kv::kvnet_test {
namespace {

class KvnetLiveRtsp : public KvnetTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(KvnetLiveRtsp, PlaysWithCredentialsAfterRetrying) {
  const int port = kv::test::FreeTcpPort();
  ASSERT_NE(port, 0);
  const std::string address = "127.0.0.1:" + std::to_string(port);
  const fs::path output = dir_.path() / "live.out";
  // The client starts first: its first attempt is refused, and it retries every second.
  Child kvnet({KvnetBinary(), "live", GetParam(), address, "--user", "admin", "--password",
               "s3cret", "--channel", "1", "--retries", "10", "--retry-interval", "1",
               "--connect-timeout", "2", "--seconds", "8"},
              liveEnv_, output);
  ASSERT_TRUE(WaitForText(output, "live: RTSP", milliseconds(5000))) << ReadFile(output);
  Child device({DeviceBinary(), "--listen", address, "--user", "admin", "--password", "s3cret",
                "--size", "320x240", "--audio", "g726-24", "--motion-every", "1", "--alarm-every",
                "1", "--alarm-code", "3", "--quiet"},
               {}, dir_.path() / "device.out");
  const std::optional<int> status = kvnet.Wait(milliseconds(30000));
  ASSERT_TRUE(status.has_value()) << "kvnet live did not end\n" << ReadFile(output);
  EXPECT_EQ(*status, 0) << ReadFile(output);
  const std::string text = ReadFile(output);
  const size_t connected = text.find("event: LINK LINK_CONNECTED\n");
  ASSERT_NE(connected, std::string::npos) << text;
  EXPECT_EQ(text.find("LINK_AUTH_FAILED"), std::string::npos) << text;
  EXPECT_EQ(text.find("LINK_CLOSED"), std::string::npos) << text;
  // The device's reports, through the event connection logged in with the session id.
  EXPECT_NE(text.find("event: MOTION regions 0x0024 (2 5)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("event: ALARM 3\n"), std::string::npos) << text;
  bool streaming = false;
  for (const StatusLine& s : StatusLines(text)) {
    if (s.state == "LINK_CONNECTED" && s.pictures > 0) {
      streaming = true;
      EXPECT_EQ(s.size, "320x240");
      EXPECT_EQ(s.video, "H.264");
      EXPECT_EQ(s.audio, "G.726-24");
    }
  }
  EXPECT_TRUE(streaming) << text;
}

TEST_P(KvnetLiveRtsp, WrongPasswordEndsWithAuthFailedAndClosed) {
  const int port = kv::test::FreeTcpPort();
  const std::string address = "127.0.0.1:" + std::to_string(port);
  Child device(
      {DeviceBinary(), "--listen", address, "--user", "admin", "--password", "s3cret", "--quiet"},
      {}, dir_.path() / "device.out");
  // The camera listens before the client's first attempt.
  ASSERT_TRUE(WaitForText(dir_.path() / "device.out", "listening", milliseconds(10000)));
  const fs::path output = dir_.path() / "live.out";
  Child kvnet({KvnetBinary(), "live", GetParam(), address, "--user", "admin", "--password", "nope",
               "--retries", "1", "--retry-interval", "0", "--seconds", "20"},
              liveEnv_, output);
  ASSERT_TRUE(WaitForText(output, "LINK_CLOSED", milliseconds(20000))) << ReadFile(output);
  kvnet.Signal(SIGINT);
  EXPECT_TRUE(kvnet.Wait(milliseconds(10000)).has_value());
  EXPECT_NE(ReadFile(output).find("event: LINK LINK_AUTH_FAILED\n"), std::string::npos)
      << ReadFile(output) << ReadFile(dir_.path() / "device.out");
}

INSTANTIATE_TEST_SUITE_P(Transports, KvnetLiveRtsp, ::testing::Values("--rtsp-tcp", "--rtsp-udp"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param).substr(7);
                         });

TEST_F(KvnetTest, BadRtspCommandLinesAreRefusedWithUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {"live", "--rtsp-tcp"},                                        // no address
      {"live", "--rtsp-udp", ":554"},                                // no host
      {"live", "--rtsp-tcp", "127.0.0.1", "--retries", "-2"},        // below -1
      {"live", "--rtsp-tcp", "127.0.0.1", "--retry-interval", "x"},  // not a number
      {"live", "--rtsp-tcp", "127.0.0.1", "--connect-timeout", "0"},
      {"live", "--rtsp-tcp", "127.0.0.1", "--user", std::string(40, 'u')},  // too long
      {"live", "--udp", "127.0.0.1:9", "--user", "admin"}};                 // credentials need RTSP
  ExpectUsageErrors(cases);
}

}  // namespace
}  // namespace kv::kvnet_test
