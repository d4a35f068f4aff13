// Event message extraction across receives and the motion and alarm report rules.
#include "sdk/control/event_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kv {
namespace {

void Feed(EventStreamBuffer& buffer, const std::string& bytes) {
  ASSERT_LE(bytes.size(), buffer.Room());
  std::memcpy(buffer.WritePointer(), bytes.data(), bytes.size());
  buffer.Commit(bytes.size());
}

std::vector<std::string> Drain(EventStreamBuffer& buffer) {
  std::vector<std::string> messages;
  std::string message;
  while (buffer.NextMessage(&message)) messages.push_back(message);
  return messages;
}

const std::string kAlarm = "CMD:ALARM MCTP/1.0 CS\n@2@7\nEND\n";
const std::string kAlive = "CMD:ALIVE MCTP/1.0 CS\n@1@1@1\nEND\n";

TEST(EventStreamBufferTest, MessagesAreCutAcrossReceivesAndInOrder) {
  EventStreamBuffer buffer;
  Feed(buffer, kAlarm.substr(0, 20));
  EXPECT_TRUE(Drain(buffer).empty()) << "half a message waits for its END";
  Feed(buffer, kAlarm.substr(20));
  EXPECT_EQ(Drain(buffer), std::vector<std::string>{kAlarm});
  EXPECT_EQ(buffer.held(), 0u);

  Feed(buffer, kAlive + kAlarm + "CMD:MD");
  EXPECT_EQ(Drain(buffer), (std::vector<std::string>{kAlive, kAlarm}));
  EXPECT_EQ(buffer.held(), 6u) << "the start of the next message is kept";
}

TEST(EventStreamBufferTest, StrayTextIsDroppedAndAFullBufferStartsAfresh) {
  EventStreamBuffer buffer;
  // Text before "CMD" goes with the message; an "END\n" before any "CMD" goes with what
  // precedes it.
  Feed(buffer, "noise END\njunk" + kAlarm);
  EXPECT_EQ(Drain(buffer), std::vector<std::string>{kAlarm});

  // 4096 bytes without a complete message: nothing can be cut, and no room is left.
  const std::string filler(EventStreamBuffer::kCapacity, 'x');
  Feed(buffer, filler);
  EXPECT_TRUE(Drain(buffer).empty());
  EXPECT_EQ(buffer.Room(), 0u);
  EXPECT_TRUE(buffer.DiscardIfFull());
  EXPECT_EQ(buffer.Room(), EventStreamBuffer::kCapacity);
  Feed(buffer, kAlarm);
  EXPECT_EQ(Drain(buffer), std::vector<std::string>{kAlarm}) << "the loop goes on";
  EXPECT_FALSE(buffer.DiscardIfFull());
}

TEST(EventMessageTest, MotionReportGivesTheMaskAndRectangles) {
  const std::string report =
      "CMD:MD MCTP/1.0 CS\n"
      "@0@1@2@10@20@30@40@0\n"
      "@0@0@3@1@1@1@1@0\n"   // second field 0: no motion
      "@0@1@16@1@1@1@1@0\n"  // region 16 does not exist
      "@0@1@x@1@1@1@1@0\n"   // does not read
      "@0@1@5@50@60@70@80@0\n"
      "END\n";
  const EventMessage m = ParseEventMessage(report);
  ASSERT_EQ(m.kind, EventMessage::Kind::kMotion);
  EXPECT_EQ(m.mask, 36u);
  EXPECT_EQ(std::vector<int32_t>(m.regions[2], m.regions[2] + 4),
            (std::vector<int32_t>{10, 20, 30, 40}));
  EXPECT_EQ(std::vector<int32_t>(m.regions[5], m.regions[5] + 4),
            (std::vector<int32_t>{50, 60, 70, 80}));

  // A report without moving regions still reports (mask 0); too few or too many lines do not.
  EXPECT_EQ(ParseEventMessage("CMD:MD MCTP/1.0 CS\n@0@0@1@0@0@0@0@0\nEND\n").kind,
            EventMessage::Kind::kMotion);
  EXPECT_EQ(ParseEventMessage("CMD:MD MCTP/1.0 CS\nEND\n").kind, EventMessage::Kind::kIgnored);
  std::string longReport = "CMD:MD MCTP/1.0 CS\n";
  for (int i = 0; i < 17; ++i) longReport += "@0@1@1@1@1@1@1@0\n";
  EXPECT_EQ(ParseEventMessage(longReport + "END\n").kind, EventMessage::Kind::kIgnored);
}

TEST(EventMessageTest, AlarmReports) {
  EventMessage m = ParseEventMessage(kAlarm);
  EXPECT_EQ(m.kind, EventMessage::Kind::kAlarm);
  EXPECT_EQ(m.alarmCode, 7);
  EXPECT_EQ(ParseEventMessage("CMD:ALARM MCTP/1.0 CS\n@1@7\nEND\n").kind,
            EventMessage::Kind::kIgnored);
  EXPECT_EQ(ParseEventMessage("CMD:ALARM MCTP/1.0 CS\n@2@7\n@2@8\nEND\n").kind,
            EventMessage::Kind::kEndThread);
  EXPECT_EQ(ParseEventMessage(kAlive).kind, EventMessage::Kind::kIgnored);
}

}  // namespace
}  // namespace kv
