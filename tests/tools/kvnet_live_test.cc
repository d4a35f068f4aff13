// "kvnet live" against the device simulator on loopback, run the way a user runs it: events,
// status lines, the recording and its trailer, snapshot keys on a terminal, Ctrl-C, and bad
// command lines.
#include <gtest/gtest.h>

#include "tests/tools/kvnet_harness.h"

namespace kv::kvnet_test {
namespace {

TEST_F(KvnetTest, LiveReportsConnectionStatusAndRecordsWithIndex) {
  const int port = FreeUdpPort();
  ASSERT_NE(port, 0);
  const std::string address = "127.0.0.1:" + std::to_string(port);
  const fs::path output = dir_.path() / "live.out";
  const fs::path record = dir_.path() / "sub" / "live.rec";  // the folder is created on demand
  const fs::path snapshot = dir_.path() / "shots" / "live.jpg";
  Child kvnet({KvnetBinary(), "live", "--udp", address, "--seconds", "4", "--record",
               record.string(), "--snapshot", snapshot.string()},
              liveEnv_, output);
  ASSERT_TRUE(WaitForText(output, "listening", milliseconds(5000))) << ReadFile(output);
  Child device({DeviceBinary(), "--target", address, "--duration", "4", "--realtime", "--quiet"},
               {}, dir_.path() / "device.out");

  const std::optional<int> status = kvnet.Wait(milliseconds(15000));
  ASSERT_TRUE(status.has_value()) << "kvnet live did not end\n" << ReadFile(output);
  EXPECT_EQ(*status, 0) << ReadFile(output);
  device.Wait(milliseconds(3000));
  const std::string text = ReadFile(output);

  const size_t connected = text.find("event: LINK LINK_CONNECTED\n");
  const size_t recordStarted = text.find("event: RECORD REC_STARTED\n");
  const size_t recordStopped = text.find("event: RECORD REC_STOPPED\n");
  ASSERT_NE(connected, std::string::npos) << text;
  ASSERT_NE(recordStarted, std::string::npos) << text;
  ASSERT_NE(recordStopped, std::string::npos) << text;
  EXPECT_LT(connected, recordStarted) << "recording starts once the stream is there";
  EXPECT_LT(recordStarted, recordStopped);
  EXPECT_NE(text.find("live: client stopped"), std::string::npos) << text;

  const std::vector<StatusLine> lines = StatusLines(text);
  ASSERT_GE(lines.size(), 3u) << text;
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].second, static_cast<int>(i + 1)) << "one status line per second";
  }
  bool streaming = false;
  for (const StatusLine& s : lines) {
    if (s.state == "LINK_CONNECTED" && s.pictures > 0 && s.kbps > 0) {
      streaming = true;
      EXPECT_EQ(s.size, "352x288");
      EXPECT_EQ(s.video, "H.264");
      EXPECT_EQ(s.audio, "G.711U");
    }
  }
  EXPECT_TRUE(streaming) << "no status line showed a connected stream with pictures\n" << text;

  EXPECT_GE(CheckRecordFile(record), 1u);
  // The snapshot is taken once the stream is there.
  EXPECT_LT(connected, text.find("snapshot: asked for " + snapshot.string() + "\n")) << text;
  EXPECT_NE(text.find("snapshot: " + snapshot.string() + " ("), std::string::npos) << text;
  EXPECT_NE(text.find("snapshots 1\n"), std::string::npos) << text;
  ExpectSnapshot(snapshot, 352, 288);
}

TEST_F(KvnetTest, LiveTakesSnapshotKeysOnATerminal) {
  const std::string address = "127.0.0.1:" + std::to_string(FreeUdpPort());
  const fs::path first = dir_.path() / "first.jpg";
  const fs::path keyed = dir_.path() / "kvnet-snapshot-1.jpg";  // beside --snapshot's file
  const milliseconds timeout(10000);
  PtyChild kvnet(
      {KvnetBinary(), "live", "--udp", address, "--seconds", "60", "--snapshot", first.string()},
      liveEnv_);
  ASSERT_TRUE(kvnet.WaitFor("keys: c snapshot, q quit\n", timeout)) << kvnet.Output();
  Child device({DeviceBinary(), "--target", address, "--duration", "30", "--realtime", "--quiet"},
               {}, dir_.path() / "device.out");
  ASSERT_TRUE(kvnet.WaitFor("snapshot: " + first.string() + " (", timeout)) << kvnet.Output();
  kvnet.Send("c");
  ASSERT_TRUE(kvnet.WaitFor("key: snapshot\n", timeout)) << kvnet.Output();
  ASSERT_TRUE(kvnet.WaitFor("snapshot: " + keyed.string() + " (", timeout)) << kvnet.Output();
  kvnet.Send("q");
  ASSERT_TRUE(kvnet.WaitFor("key: quit\n", timeout)) << kvnet.Output();
  const std::optional<int> status = kvnet.Wait(milliseconds(10000));
  ASSERT_TRUE(status.has_value()) << "q did not end kvnet live\n" << kvnet.Output();
  EXPECT_EQ(*status, 0) << kvnet.Output();
  EXPECT_EQ(kvnet.LocalModes() & (ICANON | ECHO), ICANON | ECHO) << "terminal not restored";
  EXPECT_NE(kvnet.Output().find("snapshots 2\n"), std::string::npos) << kvnet.Output();
  ExpectSnapshot(first, 352, 288);
  ExpectSnapshot(keyed, 352, 288);
}

TEST_F(KvnetTest, LiveStopsCleanlyOnInterrupt) {
  const std::string address = "127.0.0.1:" + std::to_string(FreeUdpPort());
  const fs::path output = dir_.path() / "live.out";
  Child kvnet({KvnetBinary(), "live", "--udp", address}, liveEnv_, output);
  ASSERT_TRUE(WaitForText(output, "listening", milliseconds(5000))) << ReadFile(output);
  kvnet.Signal(SIGINT);
  const std::optional<int> status = kvnet.Wait(milliseconds(10000));
  ASSERT_TRUE(status.has_value()) << "kvnet live ignored Ctrl-C\n" << ReadFile(output);
  EXPECT_EQ(*status, 0);
  const std::string text = ReadFile(output);
  EXPECT_NE(text.find("live: interrupted"), std::string::npos) << text;
  EXPECT_NE(text.find("live: client stopped"), std::string::npos) << text;
}

TEST_F(KvnetTest, BadCommandLinesAreRefusedWithUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {"live"},                                                          // no address
      {"live", "--udp", "127.0.0.1"},                                    // no port
      {"live", "--udp", "127.0.0.1:9", "--seconds", "x"},                // not a number
      {"live", "--udp", "127.0.0.1:9", "--alarm-record", "/tmp/a.rec"},  // no alarm duration
      {"live", "--udp", "127.0.0.1:9", "--screenshot", "/tmp/s.png"},    // no window
      {"live", "--udp", "127.0.0.1:9", "--frobnicate"},                  // unknown option
      {"live", "--udp", "127.0.0.1:9", "--snapshot"},                    // no snapshot path
      {"replay", "a.rec", "--snapshot"},                                 // no snapshot path
      {"replay"},                                                        // no file
      {"replay", "a.rec", "b.rec"},                                      // two files
      {"replay", "a.rec", "--speed", "5"},                               // beyond the fastest
      {"replay", "a.rec", "--speed"},                                    // no level
      {"replay", "a.rec", "--seconds", "-1"},                            // negative time
      {"replay", "a.rec", "--screenshot", "/tmp/s.png"},                 // no window
      {"replay", "a.rec", "--loop"},                                     // unknown option
      {"demo", "--bogus"},
      {"ptz", "127.0.0.1:9", "1"},                         // no parameter
      {"ptz", "127.0.0.1:9", "1", "x"},                    // not a number
      {"md", "get"},                                       // no address
      {"md", "twist", "127.0.0.1:9"},                      // no such operation
      {"md", "save", "127.0.0.1:9", "16:0,0,1,1"},         // no region 16
      {"vparam", "set", "127.0.0.1:9", "1", "2"},          // three values
      {"alarm-reset", "127.0.0.1:9", "--channel", "999"},  // no such channel
      {"talk", "127.0.0.1:9", "--tone", "9000"},           // beyond 4 kHz
      {"talk", "--seconds", "2"},                          // no address
      {"nonsense"}};
  ExpectUsageErrors(cases);
}

}  // namespace
}  // namespace kv::kvnet_test
