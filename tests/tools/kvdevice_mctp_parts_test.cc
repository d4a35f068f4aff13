// The simulator's MCTP/1.0 parts alone: taking messages off a byte stream, reading requests
// strictly, replies in each mode, the log's quoting, the control file's lines, the talk uplink's
// framing, the WAV file it keeps, and the bus that hands reports to connections.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tools/kvdevice/mctp_control.h"
#include "tools/kvdevice/mctp_message.h"
#include "tools/kvdevice/mctp_options.h"
#include "tools/kvdevice/mctp_state.h"
#include "tools/kvdevice/options.h"
#include "tools/kvdevice/talk_wire.h"
#include "tools/kvdevice/wav_file.h"

namespace {

using namespace kvdevice;

Request Parse(const std::string& text) {
  MctpMessage m;
  size_t consumed = 0;
  if (TakeMessage(text, m, consumed) != Take::kMessage || consumed != text.size()) return {};
  return ParseRequest(m);
}

TEST(KvDeviceMctpParts, MessagesAreTakenWholeFromTheStream) {
  const std::string get = "CMD:MD MCTP/1.0 CS\n@2@1@0@0@0@0@0@0\nEND\n";
  const std::string alive = "CMD:ALIVE MCTP/1.0 CS\nEND\n";
  MctpMessage m;
  size_t consumed = 0;
  for (size_t cut = 0; cut < get.size(); ++cut) {
    EXPECT_EQ(TakeMessage(get.substr(0, cut), m, consumed), Take::kIncomplete) << cut;
  }
  // Two in one buffer come one after the other.
  std::string both = get + alive;
  ASSERT_EQ(TakeMessage(both, m, consumed), Take::kMessage);
  EXPECT_EQ(consumed, get.size());
  EXPECT_EQ(m.command, "CMD:MD MCTP/1.0 CS");
  EXPECT_EQ(m.lines, std::vector<std::string>{"@2@1@0@0@0@0@0@0"});
  EXPECT_EQ(m.text, get);
  both.erase(0, consumed);
  ASSERT_EQ(TakeMessage(both, m, consumed), Take::kMessage);
  EXPECT_TRUE(m.lines.empty());
  EXPECT_EQ(consumed, alive.size());
  // Text that is no message is dropped up to its "END" line, or whole.
  EXPECT_EQ(TakeMessage("hello\nEND\n" + alive, m, consumed), Take::kBad);
  EXPECT_EQ(consumed, 10u);
  EXPECT_EQ(TakeMessage("END\n" + alive, m, consumed), Take::kBad);
  EXPECT_EQ(consumed, 4u);
  EXPECT_EQ(TakeMessage("GET / HTTP/1.1\r\n", m, consumed), Take::kBad);
  EXPECT_EQ(consumed, 16u);
  // A message that never ends is refused once it is too long.
  const std::string endless = "CMD:MD MCTP/1.0 CS\n" + std::string(kMaxMctpMessage, '@');
  EXPECT_EQ(TakeMessage(endless, m, consumed), Take::kBad);
  EXPECT_EQ(consumed, endless.size());
}

TEST(KvDeviceMctpParts, RequestsAreReadExactly) {
  struct Good {
    std::string text;
    RequestKind kind;
    int channel;
  };
  const Good good[] = {
      {"CMD:MD MCTP/1.0 CS\n@2@-3@0@0@0@0@0@0\nEND\n", RequestKind::kMdGet, -3},
      {"CMD:MD MCTP/1.0 CS\n@3@1@0@0@0@0@0@0\nEND\n", RequestKind::kMdStart, 1},
      {"CMD:MD MCTP/1.0 CS\n@4@2147483647@0@0@0@0@0@0\nEND\n", RequestKind::kMdStop, 2147483647},
      {"CMD:ALARM MCTP/1.0 CS\n@1@-7@4\nEND\n", RequestKind::kAlarm, 4},
      {"CMD:VCTRL MCTP/1.0 CS\n@4@2@0@255@9@\nEND\n", RequestKind::kVparamSet, 2},
      {"CMD:VCTRL MCTP/1.0 CS\n@1@2@0@0@0@\nEND\n", RequestKind::kVparamGet, 2},
      {"CMD:PTZ MCTP/1.0\n@5@-1@99\nEND\n", RequestKind::kPtz, 5},
      {"CMD:TALK MCTP/1.0 CS\n@1@16@\nEND\n", RequestKind::kTalk, 1},
      {"CMD:ALIVE MCTP/1.0 CS\n@87655432@3\nEND\n", RequestKind::kLogin, 3},
      {"CMD:ALIVE MCTP/1.0 CS\nEND\n", RequestKind::kAlive, 0}};
  for (const Good& g : good) {
    const Request r = Parse(g.text);
    EXPECT_EQ(r.kind, g.kind) << g.text << r.problem;
    EXPECT_EQ(r.channel, g.channel) << g.text;
  }
  EXPECT_EQ(Parse("CMD:ALIVE MCTP/1.0 CS\n@87655432@3\nEND\n").session, "87655432");

  std::string save = "CMD:MD MCTP/1.0 CS\n";
  for (int i = 0; i < 16; ++i) {
    save += "@1@6@" + std::to_string(i) + "@" + std::to_string(i * 10) + "@1@2@3@4\n";
  }
  const Request saved = Parse(save + "END\n");
  ASSERT_EQ(saved.kind, RequestKind::kMdSave) << saved.problem;
  ASSERT_EQ(saved.fields.size(), 16u);
  EXPECT_EQ(saved.fields[15], (std::vector<int>{1, 6, 15, 150, 1, 2, 3, 4}));

  for (const char* bad :
       {"CMD:MD MCTP/1.0 CS\n@2@1@0@0@0@0@0@1\nEND\n",            // a field that must be 0
        "CMD:MD MCTP/1.0 CS\n@5@1@0@0@0@0@0@0\nEND\n",            // no operation 5
        "CMD:MD MCTP/1.0 CS\n@2@1@0@0@0@0@0@+0\nEND\n",           // "+0" is not how %d writes
        "CMD:MD MCTP/1.0 CS\n@2@1@0@0@0@0@0@ 0\nEND\n",           // nor " 0"
        "CMD:MD MCTP/1.0 CS\n@2@99999999999@0@0@0@0@0@0\nEND\n",  // beyond an int
        "CMD:MD MCTP/1.0 CS\n@2@@0@0@0@0@0@0\nEND\n",             // an empty field
        "CMD:MD MCTP/1.0 CS\n2@1@0@0@0@0@0@0\nEND\n",             // no leading @
        "CMD:MD MCTP/1.0 CS\n@2@1@0@0@0@0@0@0\n@2@1@0@0@0@0@0@0\nEND\n",  // two lines
        "CMD:ALARM MCTP/1.0 CS\n@1@7\nEND\n",                             // two fields
        "CMD:VCTRL MCTP/1.0 CS\n@1@2@0@0@1@\nEND\n",                      // a query carries zeros
        "CMD:VCTRL MCTP/1.0 CS\n@5@2@0@0@0@\nEND\n",                      // no operation 5
        "CMD:TALK MCTP/1.0 CS\n@1@2\nEND\n",                              // no trailing @
        "CMD:TALK MCTP/1.0\n@1@2@\nEND\n",                                // no " CS"
        "CMD:ALIVE MCTP/1.0 CS\n@@3\nEND\n",                              // no session
        "CMD:ALIVE MCTP/1.0 CS\n@1@3@\nEND\n",                            // a log-in has no last @
        "CMD:MD  MCTP/1.0 CS\n@2@1@0@0@0@0@0@0\nEND\n"}) {                // two blanks
    const Request r = Parse(bad);
    EXPECT_EQ(r.kind, RequestKind::kBad) << bad;
    EXPECT_FALSE(r.problem.empty()) << bad;
  }
  std::string region16 = save;
  region16.replace(region16.find("@1@6@3@30@"), 10, "@1@6@3@256@");
  EXPECT_EQ(Parse(region16 + "END\n").kind, RequestKind::kBad) << "a setting byte above 255";
}

TEST(KvDeviceMctpParts, RepliesInEachMode) {
  const Request get = Parse("CMD:MD MCTP/1.0 CS\n@2@1@0@0@0@0@0@0\nEND\n");
  ReplyData data;
  for (int i = 0; i < 16; ++i) data.regions[static_cast<size_t>(i)] = {i, i, i, i + 1, i + 1};
  const std::string whole = ReplyText(get, ReplyMode::kAccept, data);
  EXPECT_EQ(std::count(whole.begin(), whole.end(), '\n'), 18);
  EXPECT_NE(whole.find("\n@2@1@8@8@8@8@9@9\n"), std::string::npos);
  const std::string garbled = ReplyText(get, ReplyMode::kGarbled, data);
  EXPECT_NE(garbled.find("\n@2@x@8@8@8@8@9@9\n"), std::string::npos) << "the ninth region";
  EXPECT_EQ(ReplyText(get, ReplyMode::kRefuse, data),
            "CMD:MD MCTP/1.0 CS\n@2@1@0@0@0@0@0@0\nEND\n");

  const Request set = Parse("CMD:VCTRL MCTP/1.0 CS\n@4@2@0@255@9@\nEND\n");
  EXPECT_EQ(ReplyText(set, ReplyMode::kAccept, {}), "CMD:VCTRL MCTP/1.0 CS\n@4@2@1@\nEND\n");
  EXPECT_EQ(ReplyText(set, ReplyMode::kMalformed, {}),
            "CMD:VCTRL MCTP/1.0 CS\n@4@2@1@\nEND\nEND\n");
  EXPECT_EQ(ReplyText(set, ReplyMode::kNoNewline, {}), "CMD:VCTRL MCTP/1.0 CS\n@4@2@1@\nEND");
  ReplyData refused;
  refused.accepted = false;
  EXPECT_EQ(ReplyText(set, ReplyMode::kSplit, refused), "CMD:VCTRL MCTP/1.0 CS\n@4@2@0@\nEND\n");

  const Request talk = Parse("CMD:TALK MCTP/1.0 CS\n@1@16@\nEND\n");
  ReplyData three;
  three.talkFields = 3;
  three.talkAudio = false;
  EXPECT_EQ(ReplyText(talk, ReplyMode::kAccept, three), "CMD:TALK MCTP/1.0 CS\n@0@1@16@\n");
  EXPECT_EQ(ReplyText(talk, ReplyMode::kGarbled, {}), "CMD:TALK MCTP/1.0 CS\n@1@x@\n");
  const Request alive = Parse("CMD:ALIVE MCTP/1.0 CS\nEND\n");
  EXPECT_EQ(ReplyText(alive, ReplyMode::kGarbled, {}), "CMD:ALIVE MCTP/1.0 CS\n@x\nEND\n");

  MdRegions regions{};
  regions[0] = {3, 1, 2, 3, 4};
  EXPECT_EQ(MotionReport(7, {}, regions), "CMD:MD MCTP/1.0 CS\n@7@0@0@1@2@3@4@3\nEND\n");
  EXPECT_EQ(AlarmReport(2, -4), "CMD:ALARM MCTP/1.0 CS\n@2@-4\nEND\n");
}

TEST(KvDeviceMctpParts, QuotingRoundTripsEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string quoted = Quoted(all);
  for (char c : quoted) {
    EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "one line of printable text";
  }
  std::string back;
  ASSERT_TRUE(Unescape(quoted.substr(1, quoted.size() - 2), back));
  EXPECT_EQ(back, all);
  EXPECT_EQ(Quoted("CMD:ALIVE MCTP/1.0 CS\nEND\n"), "\"CMD:ALIVE MCTP/1.0 CS\\nEND\\n\"");
  for (const char* bad : {"\\", "ab\\", "\\q", "\\x4", "\\x4g", "\\xg4"}) {
    EXPECT_FALSE(Unescape(bad, back)) << bad;
  }
}

TEST(KvDeviceMctpParts, ControlLines) {
  ControlCommand c;
  std::string error;
  EXPECT_EQ(ParseControlLine("", c, error), ControlParse::kNothing);
  EXPECT_EQ(ParseControlLine("# motion 2", c, error), ControlParse::kNothing);
  ASSERT_EQ(ParseControlLine("motion 2,5\r", c, error), ControlParse::kCommand);
  EXPECT_EQ(c.target, ControlTarget::kEvents);
  ASSERT_EQ(c.delivery.items.size(), 1u);
  EXPECT_EQ(c.delivery.items[0].kind, EventItem::Kind::kMotion);
  EXPECT_EQ(c.delivery.items[0].regions, (std::vector<int>{2, 5}));
  ASSERT_EQ(ParseControlLine("split motion + alarm -3 1 + raw a\\x2bb", c, error),
            ControlParse::kCommand);
  EXPECT_TRUE(c.delivery.split);
  ASSERT_EQ(c.delivery.items.size(), 3u);
  EXPECT_TRUE(c.delivery.items[0].regions.empty());
  EXPECT_EQ(c.delivery.items[1].code, -3);
  EXPECT_EQ(c.delivery.items[1].first, 1);
  EXPECT_EQ(c.delivery.items[2].raw, "a+b");
  ASSERT_EQ(ParseControlLine("talk-raw \\x00\\x01", c, error), ControlParse::kCommand);
  EXPECT_EQ(c.target, ControlTarget::kTalk);
  EXPECT_EQ(c.delivery.items[0].raw, std::string("\0\1", 2));
  ASSERT_EQ(ParseControlLine("drop-events", c, error), ControlParse::kCommand);
  EXPECT_TRUE(c.delivery.close);
  for (const char* bad : {"motion 16", "motion 2,2", "motion -1", "motion 2,", "alarm", "alarm x",
                          "alarm 1 2 3", "raw", "raw \\q", "talk-raw ", "noise", "motion 1 + "}) {
    EXPECT_EQ(ParseControlLine(bad, c, error), ControlParse::kBad) << bad;
  }
}

TEST(KvDeviceMctpParts, UplinkFraming) {
  const uint8_t good[] = {8, 0, 0, 0, 0x10, 0x20, 0, 0, 0x00, 0x01, 2, 0, 1, 2, 3, 4, 99};
  UplinkPacket p;
  size_t consumed = 0;
  std::string problem;
  for (size_t cut = 0; cut < 16; ++cut) {
    EXPECT_EQ(TakeUplinkPacket(good, cut, p, consumed, problem), UplinkTake::kIncomplete) << cut;
  }
  ASSERT_EQ(TakeUplinkPacket(good, sizeof good, p, consumed, problem), UplinkTake::kPacket);
  EXPECT_EQ(consumed, 16u);
  EXPECT_EQ(p.length, 8u);
  EXPECT_EQ(p.tick, 0x2010u);
  EXPECT_TRUE(CheckVoiceFrame(p.frame, problem)) << problem;
  EXPECT_EQ(VoiceFrame({1, 2, 3, 4}), std::vector<uint8_t>(good + 8, good + 16));

  uint8_t wide[16];
  std::memcpy(wide, good, 16);
  wide[1] = 0x04;  // bit 10
  EXPECT_EQ(TakeUplinkPacket(wide, 16, p, consumed, problem), UplinkTake::kBad);
  for (uint8_t length : {0, 2, 7}) {
    wide[0] = length;
    wide[1] = 0;
    EXPECT_EQ(TakeUplinkPacket(wide, 16, p, consumed, problem), UplinkTake::kBad) << int{length};
  }
  EXPECT_FALSE(CheckVoiceFrame({0x00, 0x01, 3, 0, 1, 2, 3, 4}, problem)) << "N too large";
  EXPECT_FALSE(CheckVoiceFrame({0x01, 0x00, 2, 0, 1, 2, 3, 4}, problem)) << "tag";
  EXPECT_FALSE(CheckVoiceFrame({0x00, 0x01, 0}, problem)) << "short";
  EXPECT_TRUE(CheckVoiceFrame({0x00, 0x01, 0, 0}, problem)) << "an empty frame is a frame";
}

TEST(KvDeviceMctpParts, WavFileIsWholeAfterEveryAppend) {
  const std::filesystem::path dir = kv::test::MakeUniqueTempDir("kvdevice_wav_");
  const std::string path = (dir / "a.wav").string();
  {
    WavFile wav;
    ASSERT_TRUE(wav.open(path));
    const int16_t first[] = {1, -2, 3};
    ASSERT_TRUE(wav.append(first, 3));
    std::ifstream in(path, std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(in), {});
    ASSERT_EQ(bytes.size(), 50u);
    WavHeader h;
    std::memcpy(&h, bytes.data(), sizeof h);
    EXPECT_EQ(std::string(h.riff, 4) + std::string(h.wave, 4) + std::string(h.data, 4),
              "RIFFWAVEdata");
    EXPECT_EQ(h.riffSize, 42u);
    EXPECT_EQ(h.dataSize, 6u);
    EXPECT_EQ(h.sampleRate, 8000u);
    EXPECT_EQ(bytes.substr(44), std::string("\x01\x00\xfe\xff\x03\x00", 6));
    ASSERT_TRUE(wav.append(first, 1));
    EXPECT_EQ(wav.samples(), 4u);
  }
  EXPECT_EQ(std::filesystem::file_size(path), 52u);
  std::filesystem::remove_all(dir);
  WavFile nowhere;
  EXPECT_FALSE(nowhere.open((dir / "missing" / "b.wav").string()));
  EXPECT_FALSE(nowhere.append(nullptr, 0));
}

TEST(KvDeviceMctpParts, BusHandsReportsToTheConnectionsOpenOrTheNext) {
  EventBus bus;
  Delivery d;
  d.items.resize(1);
  bus.publish(ControlTarget::kEvents, d);
  bus.publish(ControlTarget::kTalk, d);
  Outbox a, b;
  bus.subscribe(ControlTarget::kEvents, &a);
  EXPECT_EQ(a.take().size(), 1u) << "what waited";
  bus.subscribe(ControlTarget::kEvents, &b);
  EXPECT_TRUE(b.take().empty()) << "taken already";
  bus.publish(ControlTarget::kEvents, d);
  EXPECT_EQ(a.take().size(), 1u);
  EXPECT_EQ(b.take().size(), 1u);
  bus.unsubscribe(ControlTarget::kEvents, &a);
  bus.publish(ControlTarget::kEvents, d);
  EXPECT_TRUE(a.take().empty());
  EXPECT_EQ(b.take().size(), 1u);
  bus.unsubscribe(ControlTarget::kEvents, &b);

  SessionRegistry sessions;
  sessions.add("5");
  sessions.add("5");
  sessions.remove("5");
  EXPECT_TRUE(sessions.contains("5")) << "one of two still open";
  sessions.remove("5");
  EXPECT_FALSE(sessions.contains("5"));
}

TEST(KvDeviceMctpParts, Options) {
  std::vector<std::string> args = {"kvdevice",
                                   "--listen",
                                   "127.0.0.1:0",
                                   "--mctp-reply",
                                   "all:silent,ptz:close",
                                   "--motion-regions",
                                   "none",
                                   "--talk-codec",
                                   "g726-32",
                                   "--banner",
                                   "v200"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  std::string error;
  bool help = false;
  std::optional<Options> o = ParseOptions(static_cast<int>(argv.size()), argv.data(), error, help);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->mctp.replies.size(), 11u);
  EXPECT_EQ(o->mctp.replies.at("ptz"), ReplyMode::kClose);
  EXPECT_EQ(o->mctp.replies.at("login"), ReplyMode::kSilent);
  EXPECT_TRUE(o->mctp.motionRegions.empty());
  EXPECT_EQ(TalkCodecOf(*o), AudioCodec::kG726_32) << "given, not by the banner";
  o->mctp.talkCodec = AudioCodec::kNone;
  EXPECT_EQ(TalkCodecOf(*o), AudioCodec::kG711U);
  o->rtsp.banner = "none";
  EXPECT_EQ(TalkCodecOf(*o), AudioCodec::kG726_32);

  DeviceState state(352, 288);
  EXPECT_EQ(state.motionRegions(1)[15], (MdRegion{0, 264, 216, 352, 288}));
  MdRegions changed{};
  state.saveMotionRegions(2, changed);
  EXPECT_EQ(state.motionRegions(2)[15], MdRegion{});
  EXPECT_EQ(state.motionRegions(1)[15], (MdRegion{0, 264, 216, 352, 288}));
}

}  // namespace
