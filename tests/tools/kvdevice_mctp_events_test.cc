// kvdevice's MCTP/1.0 event channel seen from a bare client: the log-in checked against the
// RTSP sessions the device has open, keep-alives counted and answered, and motion and alarm
// reports on request (control file) and on a schedule, split over two segments or several in
// one, read back by the library's rules for cutting the stream and reading the reports.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/tools/mctp_bare_client.h"

namespace {

using namespace kvdevice_mctp_test;
using kvdevice_rtsp_test::PlayInterleaved;
using kvdevice_rtsp_test::Simple;

// The library's cut of the event stream: a message runs from "CMD" to the next "END\n".
std::vector<std::string> TakeMessages(std::string& held) {
  std::vector<std::string> messages;
  for (;;) {
    const size_t cmd = held.find("CMD");
    const size_t end = held.find("END\n");
    if (cmd == std::string::npos || end == std::string::npos) return messages;
    if (end > cmd) messages.push_back(held.substr(cmd, end + 4 - cmd));
    held.erase(0, end + 4);
  }
}

// The library's reading of a motion report: the mask of regions whose line says motion, and
// their rectangles; -1 when the report is ignored.
struct Motion {
  int mask = -1;
  std::map<int, std::vector<int>> rectangles;
};
Motion ReadMotion(const std::string& message) {
  Motion m;
  const std::vector<std::string> lines = Lines(message);
  if (message.find("CMD:MD") == std::string::npos || lines.size() < 3 || lines.size() > 18) {
    return m;
  }
  m.mask = 0;
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    int v[8];
    if (Scan(lines[i], "@%d@%d@%d@%d@%d@%d@%d@%d\n", v) == 8 && v[1] == 1 && v[2] >= 0 &&
        v[2] <= 15) {
      m.mask |= 1 << v[2];
      m.rectangles[v[2]] = {v[3], v[4], v[5], v[6]};
    }
  }
  return m;
}

// The alarm code the library raises for an alarm report, or -1 when it raises none.
int ReadAlarm(const std::string& message) {
  const std::vector<std::string> lines = Lines(message);
  int v[8];
  if (message.find("CMD:ALARM") == std::string::npos || lines.size() != 3 ||
      Scan(lines[1], "@%d@%d", v) != 2 || v[0] != 2) {
    return -1;
  }
  return v[1];
}

// An event connection logged in with the device; reads messages as they come.
class Events {
 public:
  Events(int port, const std::string& session, int channel) : client_(port) {
    client_.send(Login(session, channel));
  }
  // The next receive's bytes (nothing within timeoutMs: empty).
  std::string receive(int timeoutMs = 5000) { return client_.receiveOnce(timeoutMs).value_or(""); }
  // The next n messages, however many receives they take.
  std::vector<std::string> next(size_t n, int timeoutMs = 5000) {
    std::vector<std::string> got;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < n && Clock::now() < end) {
      std::optional<std::string> bytes = client_.receiveOnce(50, 4096);
      if (bytes && bytes->empty()) break;
      if (bytes) held_ += *bytes;
      for (std::string& m : TakeMessages(held_)) got.push_back(std::move(m));
    }
    return got;
  }
  MctpClient& client() { return client_; }

 private:
  MctpClient client_;
  std::string held_;
};

const std::string kAliveReply = "CMD:ALIVE MCTP/1.0 CS\nEND\n";

TEST(KvDeviceMctpEvents, LogInNamesAnOpenRtspSession) {
  Device device(kLight);
  ASSERT_TRUE(device.ok());
  std::optional<std::string> stranger = OneShot(device.port(), Login("12345", 1));
  EXPECT_EQ(stranger, "CMD:ALIVE MCTP/1.0 CS\n@1@1@0\nEND\n");

  kvdevice_rtsp_test::Client rtsp(device.port());
  const std::string session = PlayInterleaved(rtsp, device.url(), false);
  ASSERT_FALSE(session.empty());
  Events events(device.port(), session, 2);
  const std::string reply = events.receive();
  EXPECT_EQ(reply, "CMD:ALIVE MCTP/1.0 CS\n@1@2@1\nEND\n");
  EXPECT_TRUE(Accepted(Command::kLogin, reply));

  // Once the RTSP session ends its id logs in no more; the channel already open goes on.
  EXPECT_EQ(rtsp.request(Simple("TEARDOWN", device.url(), 9, session)).status, 200);
  EXPECT_FALSE(Accepted(Command::kLogin, OneShot(device.port(), Login(session, 2)).value_or("")));
  events.client().send(kKeepAlive);
  EXPECT_EQ(events.receive(), kAliveReply);

  Device lenient(kLight + "--event-session any");
  ASSERT_TRUE(lenient.ok());
  EXPECT_TRUE(Accepted(Command::kLogin, OneShot(lenient.port(), Login("777", 3)).value_or("")));
}

TEST(KvDeviceMctpEvents, LogInFaults) {
  Device device(kLight + "--event-session any --mctp-reply login:close");
  ASSERT_TRUE(device.ok());
  EXPECT_EQ(OneShot(device.port(), Login("1", 1)), "");
  Device silent(kLight + "--event-session any --mctp-reply login:silent");
  ASSERT_TRUE(silent.ok());
  EXPECT_FALSE(OneShot(silent.port(), Login("1", 1), 500));
  Device garbled(kLight + "--event-session any --mctp-reply login:garbled");
  ASSERT_TRUE(garbled.ok());
  EXPECT_EQ(OneShot(garbled.port(), Login("1", 1)), "CMD:ALIVE MCTP/1.0 CS\n@1@x@1\nEND\n");
}

TEST(KvDeviceMctpEvents, ReportsOnRequest) {
  Folder folder;
  const std::string log = folder / "mctp.log", control = folder / "control";
  Device device(kLight + "--event-session any --event-gap 300 --mctp-log " + log +
                " --mctp-control " + control);
  ASSERT_TRUE(device.ok());
  // The rectangles of the reports are the regions saved for the channel.
  std::vector<Region> regions(16, Region{0, 0, 0, 0, 0});
  regions[2] = {7, 10, 20, 30, 40};
  regions[5] = {9, 50, 60, 70, 80};
  ASSERT_TRUE(Accepted(Command::kMdSet, OneShot(device.port(), MdSave(3, regions)).value_or("")));
  // A report asked for before any log-in waits for one.
  AppendLine(control, "motion 2,5");
  ASSERT_TRUE(WaitForLog(log, "control \"motion 2,5\""));
  Events events(device.port(), "1", 3);
  // The log-in reply comes alone (the client reads it with one receive); reports follow the
  // first keep-alive.
  EXPECT_TRUE(Accepted(Command::kLogin, events.receive()));
  events.client().send(kKeepAlive);
  std::vector<std::string> got = events.next(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], kAliveReply);
  EXPECT_EQ(got[1], "CMD:MD MCTP/1.0 CS\n@3@1@2@10@20@30@40@7\n@3@1@5@50@60@70@80@9\nEND\n");
  const Motion motion = ReadMotion(got[1]);
  EXPECT_EQ(motion.mask, 36);
  EXPECT_EQ(motion.rectangles.at(5), (std::vector<int>{50, 60, 70, 80}));

  AppendLine(control, "alarm 7");
  got = events.next(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(ReadAlarm(got[0]), 7);
  AppendLine(control, "alarm 7 1");
  got = events.next(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], "CMD:ALARM MCTP/1.0 CS\n@1@7\nEND\n");
  EXPECT_EQ(ReadAlarm(got[0]), -1) << "the library ignores a first field other than 2";
  AppendLine(control, "motion none");
  got = events.next(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(ReadMotion(got[0]).mask, 0);

  // Split: the first receive holds no whole message; the second completes it.
  AppendLine(control, "split motion 2,5");
  std::string first = events.receive();
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(first.find("END\n"), std::string::npos) << first;
  first += events.receive();
  std::vector<std::string> joined = TakeMessages(first);
  ASSERT_EQ(joined.size(), 1u);
  EXPECT_EQ(ReadMotion(joined[0]).mask, 36);

  // Joined: one receive holds both, in order.
  AppendLine(control, "motion 2 + alarm 9");
  std::string both = events.receive();
  std::vector<std::string> two = TakeMessages(both);
  ASSERT_EQ(two.size(), 2u) << both;
  EXPECT_EQ(ReadMotion(two[0]).mask, 4);
  EXPECT_EQ(ReadAlarm(two[1]), 9);

  // Raw text goes out as written: here an alarm report of four lines, and a region 16.
  AppendLine(control, "raw CMD:ALARM MCTP/1.0 CS\\n@2@7\\n@0\\nEND\\n");
  EXPECT_EQ(events.next(1), std::vector<std::string>{"CMD:ALARM MCTP/1.0 CS\n@2@7\n@0\nEND\n"});
  AppendLine(control, "raw CMD:MD MCTP/1.0 CS\\n@3@1@16@1@2@3@4@0\\nEND\\n");
  got = events.next(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(ReadMotion(got[0]).mask, 0);

  // Every logged-in connection gets the reports; a bad line is refused in the log.
  Events second(device.port(), "1", 3);
  ASSERT_EQ(second.next(1).size(), 1u);
  second.client().send(kKeepAlive);
  ASSERT_EQ(second.next(1), std::vector<std::string>{kAliveReply});
  AppendLine(control, "motion 17");
  AppendLine(control, "alarm 3");
  EXPECT_EQ(ReadAlarm(events.next(1).at(0)), 3);
  EXPECT_EQ(ReadAlarm(second.next(1).at(0)), 3);
  EXPECT_EQ(LogLines(log, "control \"motion 17\" refused").size(), 1u);

  AppendLine(control, "drop-events");
  EXPECT_TRUE(events.client().closes(5000));
  EXPECT_TRUE(second.client().closes(5000));
  EXPECT_TRUE(WaitForLog(log, "event end dropped", 2));
}

TEST(KvDeviceMctpEvents, ScheduledReportsInBatchesAndPieces) {
  Device device(kLight +
                "--event-session any --motion-every 0.5 --motion-regions 1,15 --alarm-every 0.5 "
                "--alarm-code 9 --event-batch 2");
  ASSERT_TRUE(device.ok());
  Events events(device.port(), "1", 1);
  ASSERT_TRUE(Accepted(Command::kLogin, events.receive()));
  // Each segment carries a whole motion report and a whole alarm report.
  for (int i = 0; i < 4; ++i) {
    std::string bytes = events.receive();
    std::vector<std::string> pair = TakeMessages(bytes);
    ASSERT_GE(pair.size(), 2u) << bytes;
    EXPECT_EQ(bytes, "") << "nothing cut";
    EXPECT_EQ(ReadMotion(pair[0]).mask, (1 << 1) | (1 << 15));
    EXPECT_EQ(ReadAlarm(pair[1]), 9);
  }

  Device pieces(kLight + "--event-session any --alarm-every 1 --event-pieces 2 --event-gap 300");
  ASSERT_TRUE(pieces.ok());
  Events cut(pieces.port(), "1", 1);
  ASSERT_TRUE(Accepted(Command::kLogin, cut.receive()));
  std::string part = cut.receive();
  EXPECT_EQ(part.find("END\n"), std::string::npos) << part;
  part += cut.receive();
  std::vector<std::string> whole = TakeMessages(part);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(ReadAlarm(whole[0]), 1);
}

TEST(KvDeviceMctpEvents, KeepAlivesAreCountedAndAnswered) {
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--event-session any --mctp-log " + log);
  ASSERT_TRUE(device.ok());
  Events events(device.port(), "1", 1);
  ASSERT_TRUE(Accepted(Command::kLogin, events.receive()));
  for (int i = 0; i < 3; ++i) {
    events.client().send(kKeepAlive);
    EXPECT_EQ(events.next(1), std::vector<std::string>{kAliveReply});
  }
  // Two in one segment, and one in two segments.
  events.client().send(kKeepAlive + kKeepAlive);
  EXPECT_EQ(events.next(2).size(), 2u);
  events.client().send(kKeepAlive.substr(0, 10));
  EXPECT_FALSE(events.client().receiveOnce(300));
  events.client().send(kKeepAlive.substr(10));
  EXPECT_EQ(events.next(1), std::vector<std::string>{kAliveReply});
  ASSERT_TRUE(WaitForLog(log, "keepalive 6 -> accept"));
  // Each keep-alive has its time, in order.
  const std::vector<std::string> lines = LogLines(log, "keepalive ");
  ASSERT_EQ(lines.size(), 6u);
  for (size_t i = 1; i < lines.size(); ++i) {
    EXPECT_LE(std::stod(lines[i - 1]), std::stod(lines[i]));
  }

  const std::string quietLog = folder / "quiet.log";
  Device quiet(kLight + "--event-session any --mctp-reply alive:silent --mctp-log " + quietLog);
  ASSERT_TRUE(quiet.ok());
  Events unanswered(quiet.port(), "1", 1);
  ASSERT_TRUE(Accepted(Command::kLogin, unanswered.receive()));
  unanswered.client().send(kKeepAlive + kKeepAlive);
  EXPECT_FALSE(unanswered.client().receiveOnce(300));
  EXPECT_FALSE(unanswered.client().closes(300)) << "unanswered, the channel goes on";
  unanswered.client().send(kKeepAlive);
  ASSERT_TRUE(WaitForLog(quietLog, "keepalive 3 -> silent"));
  EXPECT_EQ(quiet.stop()["keepalives"], 3u);
  EXPECT_EQ(device.stop()["keepalives"], 6u);
}

TEST(KvDeviceMctpEvents, SilentClientsTimeOutAndConnectionsDrop) {
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--event-session any --event-timeout 2 --mctp-log " + log);
  ASSERT_TRUE(device.ok());
  Events events(device.port(), "1", 1);
  ASSERT_TRUE(Accepted(Command::kLogin, events.receive()));
  // Keep-alives every 300 ms hold it past its time-out.
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    events.client().send(kKeepAlive);
    EXPECT_EQ(events.next(1), std::vector<std::string>{kAliveReply});
  }
  EXPECT_TRUE(events.client().closes(10000));
  EXPECT_TRUE(WaitForLog(log, "event end timed out keepalives 5"));

  Device dropping(kLight + "--event-session any --event-drop-after 0.5");
  ASSERT_TRUE(dropping.ok());
  Events dropped(dropping.port(), "1", 1);
  ASSERT_TRUE(Accepted(Command::kLogin, dropped.receive()));
  EXPECT_TRUE(dropped.client().closes(10000));
}

}  // namespace
