// MCTP/1.0 as the simulated device reads and writes it: lines ended by "\n", a first line
// "CMD:WORD MCTP/1.0[ CS]", field lines "@v@v...", a last line "END". Pure text functions: taking
// a request off a connection's bytes, reading its fields, and building replies and reports.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/kvdevice/options.h"

namespace kvdevice {

// Largest message the device takes; more without an "END" line is a bad request.
inline constexpr size_t kMaxMctpMessage = 64 * 1024;
inline constexpr int kMotionRegions = 16;

// One message: the command line and the field lines, each without its "\n".
struct MctpMessage {
  std::string command;
  std::vector<std::string> lines;
  std::string text;  // the whole message as received, "END\n" included
};

enum class Take { kIncomplete, kMessage, kBad };

// Takes the message at the front of `buffer`: from "CMD:" to the first line "END". `consumed`
// tells how much to drop: the message, or for kBad everything up to and including the next line
// "END" (all of the buffer when there is none; then the connection cannot go on).
Take TakeMessage(std::string_view buffer, MctpMessage& message, size_t& consumed);

enum class RequestKind {
  kMdGet,
  kMdSave,
  kMdStart,
  kMdStop,
  kAlarm,
  kVparamSet,
  kVparamGet,
  kPtz,
  kTalk,
  kLogin,
  kAlive,
  kBad
};

// The name --mctp-reply and the log use ("md-get", ..., "bad").
const char* RequestKindName(RequestKind kind);

struct Request {
  RequestKind kind = RequestKind::kBad;
  std::string problem;  // why a request is bad
  int channel = 0;
  std::vector<std::vector<int>> fields;  // the numbers of each field line
  std::string session;                   // the log-in's session id
};

// Reads a request exactly as the client must send it: the command line with or without " CS"
// as the command has it, the field count, the trailing "@" where the format has one, and the
// values the format fixes; anything else is kBad with a reason.
Request ParseRequest(const MctpMessage& message);

// A motion-detection region as the device keeps it: its setting byte and rectangle.
struct MdRegion {
  int setting = 0;
  int left = 0, top = 0, right = 0, bottom = 0;
  bool operator==(const MdRegion&) const = default;
};
using MdRegions = std::array<MdRegion, kMotionRegions>;

// What a reply says besides its shape.
struct ReplyData {
  MdRegions regions{};               // md-get
  std::array<int, 3> videoParams{};  // vparam-get
  bool talkAudio = true;             // talk: the device sends audio
  int talkFields = 2;                // talk: 2 or 3 fields
  bool accepted = true;              // the result field: 1, or 0 when refused
};

// The reply to a request in one of the text modes (accept, refuse, malformed, garbled,
// no-newline; the other modes send the accepting text or nothing). kRefuse is the accepting
// reply with its result field 0; for md-get, which has none, a three-line reply.
std::string ReplyText(const Request& request, ReplyMode mode, ReplyData data);

// A motion report of the device's channel: a region line "@ch@1@r@left@top@right@bottom@setting"
// per moving region; with none, one line for region 0 with 0 in the second field.
std::string MotionReport(int channel, const std::vector<int>& moving, const MdRegions& regions);
// An alarm report "CMD:ALARM MCTP/1.0 CS\n@first@code\nEND\n" (the client acts on first 2).
std::string AlarmReport(int first, int code);

// Text for a log line: "\n", "\r", "\t", "\\", "\"" and other control bytes escaped, in quotes.
std::string Quoted(std::string_view text);
// The reverse, without the quotes, for the control file: "\n", "\r", "\t", "\\", "\"" and
// "\xNN"; false on a bad escape.
bool Unescape(std::string_view text, std::string& out);

}  // namespace kvdevice
