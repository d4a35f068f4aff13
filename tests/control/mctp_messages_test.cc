// The pure MCTP/1.0 parts: the line reader, request texts and reply rules.
#include "sdk/control/mctp_messages.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "sdk/control/text_cursor.h"

namespace kv {
namespace {

TEST(TextCursorTest, CountsLinesWithAndWithoutTheLastNewline) {
  EXPECT_EQ(TextCursor(nullptr).CountLines(), 0u);
  EXPECT_EQ(TextCursor("").CountLines(), 0u);
  EXPECT_EQ(TextCursor("a\nb\n").CountLines(), 2u);
  EXPECT_EQ(TextCursor("a\nb").CountLines(), 2u);
  EXPECT_EQ(TextCursor("\n\n\n").CountLines(), 3u);

  TextCursor cursor("one\ntwo");
  EXPECT_EQ(cursor.CountLines(), 2u);
  EXPECT_EQ(cursor.position(), 0u) << "counting rewinds";
  char line[8];
  ASSERT_EQ(cursor.ReadLine(line, sizeof line), 1);
  EXPECT_STREQ(line, "one\n");
  ASSERT_EQ(cursor.ReadLine(line, sizeof line), 1);
  EXPECT_STREQ(line, "two");
  EXPECT_EQ(cursor.ReadLine(line, sizeof line), 0);

  // A line longer than the destination is cut, and the whole line is still consumed.
  TextCursor longLine("abcdefghijkl\nz\n");
  ASSERT_EQ(longLine.ReadLine(line, sizeof line), 1);
  EXPECT_STREQ(line, "abcdefg");
  ASSERT_EQ(longLine.ReadLine(line, sizeof line), 1);
  EXPECT_STREQ(line, "z\n");
}

TEST(MctpRequestTest, RequestsAreFormattedExactly) {
  EXPECT_EQ(MdRequest(MdOperation::kStart, 1), "CMD:MD MCTP/1.0 CS\n@3@1@0@0@0@0@0@0\nEND\n");
  EXPECT_EQ(MdRequest(MdOperation::kGet, 0), "CMD:MD MCTP/1.0 CS\n@2@0@0@0@0@0@0@0\nEND\n");
  EXPECT_EQ(StopAlarmRequest(9, 2), "CMD:ALARM MCTP/1.0 CS\n@1@9@2\nEND\n");
  // Mode 1 sets with operation 3; 300 keeps its low 8 bits, 44.
  EXPECT_EQ(SetVideoParamRequest(1, 300, 5, 6, 1), "CMD:VCTRL MCTP/1.0 CS\n@3@1@44@5@6@\nEND\n");
  EXPECT_EQ(SetVideoParamRequest(1, 1, 2, 3, 2), "CMD:VCTRL MCTP/1.0 CS\n@4@1@1@2@3@\nEND\n");
  EXPECT_EQ(SetVideoParamRequest(1, -1, 2, 3, 7), "CMD:VCTRL MCTP/1.0 CS\n@2@1@255@2@3@\nEND\n");
  EXPECT_EQ(GetVideoParamRequest(3), "CMD:VCTRL MCTP/1.0 CS\n@1@3@0@0@0@\nEND\n");
  EXPECT_EQ(PtzRequest(1, 4, -2), "CMD:PTZ MCTP/1.0\n@1@4@-2\nEND\n");
  EXPECT_EQ(TalkRequest(1, 16), "CMD:TALK MCTP/1.0 CS\n@1@16@\nEND\n");
  EXPECT_EQ(LoginRequest("12345678", 1), "CMD:ALIVE MCTP/1.0 CS\n@12345678@1\nEND\n");
}

TEST(MctpRequestTest, SaveRequestCarriesEveryRegionAndRefusesWhatWouldNotFit) {
  KVNET_MD_INFO info{};
  info.setting[3] = 200;
  info.region[3][0] = 10;
  info.region[3][1] = 20;
  info.region[3][2] = 300;
  info.region[3][3] = 400;
  const std::optional<std::string> request = MdSaveRequest(1, info);
  ASSERT_TRUE(request);
  EXPECT_EQ(TextCursor(request->c_str()).CountLines(), 18u);
  EXPECT_NE(request->find("\n@1@1@3@200@10@20@300@400\n"), std::string::npos);
  EXPECT_EQ(request->substr(request->size() - 4), "END\n");

  // Sixteen lines of the longest values need about 1.5 KB: refused, not overflowed.
  for (auto& region : info.region) {
    for (int32_t& v : region) v = INT_MIN;
  }
  EXPECT_FALSE(MdSaveRequest(INT_MIN, info));
}

TEST(MctpReplyTest, ResultRepliesNeedThreeLinesAndAResultOfOne) {
  const std::string head = "CMD:MD MCTP/1.0 CS\n";
  EXPECT_EQ(CheckMdResultReply((head + "@3@1@1@0@0@0@0@0\nEND\n").c_str()), 1);
  EXPECT_EQ(CheckMdResultReply((head + "@3@1@0@0@0@0@0@0\nEND\n").c_str()), 0);
  // The last line without its "\n" still counts.
  EXPECT_EQ(CheckMdResultReply((head + "@3@1@1@0@0@0@0@0\nEND").c_str()), 1);
  EXPECT_EQ(CheckMdResultReply((head + "@3@1@1@0@0@0@0@0\n").c_str()), 0);
  EXPECT_EQ(CheckMdResultReply((head + "@3@1@1@0@0@0@0@x\nEND\n").c_str()), 0);
  EXPECT_EQ(CheckMdResultReply(""), 0);

  EXPECT_EQ(CheckStopAlarmReply("CMD:ALARM MCTP/1.0 CS\n@1@9@1\nEND\n"), 1);
  EXPECT_EQ(CheckStopAlarmReply("CMD:ALARM MCTP/1.0 CS\n@1@9@2\nEND\n"), 0);
  EXPECT_EQ(CheckStopAlarmReply("CMD:ALARM MCTP/1.0 CS\n@1@9\nEND\n"), 0);
  EXPECT_EQ(CheckSetVideoParamReply("CMD:VCTRL MCTP/1.0 CS\n@3@1@1@\nEND\n"), 1);
  EXPECT_EQ(CheckSetVideoParamReply("CMD:VCTRL MCTP/1.0 CS\n@3@1@0@\nEND\n"), 0);

  uint8_t p1 = 0, p2 = 0, p3 = 0;
  EXPECT_EQ(CheckGetVideoParamReply("CMD:VCTRL MCTP/1.0 CS\n@1@1@300@-1@7@\nEND\n", &p1, &p2, &p3),
            1);
  EXPECT_EQ(p1, 44);
  EXPECT_EQ(p2, 255);
  EXPECT_EQ(p3, 7);
  p1 = 9;
  EXPECT_EQ(CheckGetVideoParamReply("CMD:VCTRL MCTP/1.0 CS\n@1@1@3@4@\nEND\n", &p1, &p2, &p3), 0);
  EXPECT_EQ(p1, 9) << "nothing is stored from a reply that does not read";
}

TEST(MctpReplyTest, MotionSettingsReplyFillsTheRecordLineByLine) {
  const std::string head = "CMD:MD MCTP/1.0 CS\n";
  std::string reply = head;
  for (int i = 0; i < 16; ++i) {
    reply += "@2@1@" + std::to_string(i) + "@" + std::to_string(256 + i) + "@" + std::to_string(i) +
             "@" + std::to_string(2 * i) + "@" + std::to_string(3 * i) + "@" +
             std::to_string(4 * i) + "\n";
  }
  KVNET_MD_INFO info{};
  EXPECT_EQ(CheckMdGetReply((reply + "END\n").c_str(), &info), 1);
  EXPECT_EQ(info.setting[5], 5) << "the setting keeps the low byte of field 4";
  EXPECT_EQ(info.region[15][0], 15);
  EXPECT_EQ(info.region[15][3], 60);

  // Seventeen lines: refused before anything is read.
  KVNET_MD_INFO untouched{};
  EXPECT_EQ(CheckMdGetReply(reply.c_str(), &untouched), 0);
  EXPECT_EQ(untouched.region[1][0], 0);
  // A bad line in the middle: the lines before it are kept.
  std::string broken = reply;
  broken.replace(broken.find("@2@1@4@"), 7, "@2@1@x@");
  KVNET_MD_INFO partial{};
  EXPECT_EQ(CheckMdGetReply((broken + "END\n").c_str(), &partial), 0);
  EXPECT_EQ(partial.region[3][1], 6);
  EXPECT_EQ(partial.region[4][1], 0);
  // The command line must name the command.
  std::string wrong = reply + "END\n";
  wrong.replace(0, 6, "CMD:XX");
  EXPECT_EQ(CheckMdGetReply(wrong.c_str(), &info), 0);
}

TEST(MctpReplyTest, TalkAndLoginReplies) {
  TalkReply talk = CheckTalkReply("CMD:TALK MCTP/1.0 CS\n@1@1@\n");
  EXPECT_TRUE(talk.accepted);
  EXPECT_TRUE(talk.deviceSendsAudio);
  talk = CheckTalkReply("CMD:TALK MCTP/1.0 CS\n@0@1@5@\n");
  EXPECT_TRUE(talk.accepted);
  EXPECT_FALSE(talk.deviceSendsAudio);
  EXPECT_FALSE(CheckTalkReply("CMD:TALK MCTP/1.0 CS\n@1@1@\nEND\n").accepted) << "3 lines";
  EXPECT_FALSE(CheckTalkReply("CMD:TALK MCTP/1.0 CS\n@1@0@\n").accepted);
  EXPECT_FALSE(CheckTalkReply("CMD:MD MCTP/1.0 CS\n@1@1@\n").accepted);
  EXPECT_FALSE(CheckTalkReply("CMD:TALK MCTP/1.0 CS\n@1@\n").accepted);

  EXPECT_EQ(CheckLoginReply("CMD:ALIVE MCTP/1.0 CS\n@1@1@1\nEND\n"), 1);
  EXPECT_EQ(CheckLoginReply("CMD:ALIVE MCTP/1.0 CS\n@1@1@0\nEND\n"), 0);
  EXPECT_EQ(CheckLoginReply("CMD:ALIVE MCTP/1.0 CS\n@1@1@1\n"), 0);
}

}  // namespace
}  // namespace kv
