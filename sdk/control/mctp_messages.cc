// MCTP/1.0 request formatting and reply checks.
#include "sdk/control/mctp_messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sdk/control/text_cursor.h"

namespace kv {
namespace {

constexpr const char* kEightFields = "@%d@%d@%d@%d@%d@%d@%d@%d\n";

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[kMctpRequestCapacity];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return n < 0 ? std::string() : std::string(buffer, std::min<size_t>(n, sizeof buffer - 1));
}

// The next line of the reply; empty when none is left.
struct Line {
  char text[kMctpReplyCapacity + 1];
  bool present;
};
Line NextLine(TextCursor& cursor) {
  Line line{};
  line.present = cursor.ReadLine(line.text, sizeof line.text) == 1;
  return line;
}

// Reads up to 8 integers with format; the number read.
int Scan(const Line& line, const char* format, int* v) {
  if (!line.present) return 0;
  return std::sscanf(line.text, format, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
}

// Three lines; the second read with format must give `fields` values with the third 1.
int CheckThreeLineResult(const char* reply, const char* format, int fields) {
  TextCursor cursor(reply);
  if (cursor.CountLines() != 3) return 0;
  NextLine(cursor);
  int v[8] = {};
  return Scan(NextLine(cursor), format, v) == fields && v[2] == 1 ? 1 : 0;
}

}  // namespace

std::string MdRequest(MdOperation operation, int channel) {
  return Format("CMD:MD MCTP/1.0 CS\n@%d@%d@%d@%d@%d@%d@%d@%d\nEND\n", static_cast<int>(operation),
                channel, 0, 0, 0, 0, 0, 0);
}

std::optional<std::string> MdSaveRequest(int channel, const KVNET_MD_INFO& info) {
  char buffer[kMctpRequestCapacity];
  size_t used = 0;
  auto append = [&](int n) {
    if (n < 0 || static_cast<size_t>(n) >= sizeof buffer - used) return false;
    used += static_cast<size_t>(n);
    return true;
  };
  if (!append(std::snprintf(buffer, sizeof buffer, "CMD:MD MCTP/1.0 CS\n"))) return std::nullopt;
  for (int i = 0; i < 16; ++i) {
    const int32_t* r = info.region[i];
    if (!append(std::snprintf(buffer + used, sizeof buffer - used, kEightFields, 1, channel, i,
                              info.setting[i], r[0], r[1], r[2], r[3]))) {
      return std::nullopt;
    }
  }
  if (!append(std::snprintf(buffer + used, sizeof buffer - used, "END\n"))) return std::nullopt;
  return std::string(buffer, used);
}

std::string StopAlarmRequest(int value, int channel) {
  return Format("CMD:ALARM MCTP/1.0 CS\n@%d@%d@%d\nEND\n", 1, value, channel);
}

std::string SetVideoParamRequest(int channel, int p1, int p2, int p3, int mode) {
  const int operation = mode == 1 ? 3 : mode == 2 ? 4 : 2;
  return Format("CMD:VCTRL MCTP/1.0 CS\n@%d@%d@%d@%d@%d@\nEND\n", operation, channel, p1 & 0xFF,
                p2 & 0xFF, p3 & 0xFF);
}

std::string GetVideoParamRequest(int channel) {
  return Format("CMD:VCTRL MCTP/1.0 CS\n@%d@%d@%d@%d@%d@\nEND\n", 1, channel, 0, 0, 0);
}

std::string PtzRequest(int channel, int command, int parameter) {
  return Format("CMD:PTZ MCTP/1.0\n@%d@%d@%d\nEND\n", channel, command, parameter);
}

std::string TalkRequest(int channel, int codec) {
  return Format("CMD:TALK MCTP/1.0 CS\n@%d@%d@\nEND\n", channel, codec);
}

std::string LoginRequest(const std::string& sessionId, int channel) {
  return "CMD:ALIVE MCTP/1.0 CS\n@" + sessionId + "@" + std::to_string(channel) + "\nEND\n";
}

int CheckMdGetReply(const char* reply, KVNET_MD_INFO* info) {
  if (reply == nullptr || reply[0] == '\0') return 0;
  TextCursor cursor(reply);
  if (cursor.CountLines() != 18) return 0;
  const Line first = NextLine(cursor);
  if (std::strstr(first.text, "CMD:MD MCTP/1.0") == nullptr) return 0;
  for (int i = 0; i < 16; ++i) {
    int v[8] = {};
    if (Scan(NextLine(cursor), kEightFields, v) != 8) return 0;
    info->setting[i] = static_cast<uint8_t>(v[3]);
    for (int k = 0; k < 4; ++k) info->region[i][k] = v[4 + k];
  }
  return 1;
}

int CheckMdResultReply(const char* reply) { return CheckThreeLineResult(reply, kEightFields, 8); }

int CheckStopAlarmReply(const char* reply) { return CheckThreeLineResult(reply, "@%d@%d@%d\n", 3); }

int CheckSetVideoParamReply(const char* reply) {
  return CheckThreeLineResult(reply, "@%d@%d@%d@\n", 3);
}

int CheckGetVideoParamReply(const char* reply, uint8_t* p1, uint8_t* p2, uint8_t* p3) {
  TextCursor cursor(reply);
  if (cursor.CountLines() != 3) return 0;
  NextLine(cursor);
  int v[8] = {};
  if (Scan(NextLine(cursor), "@%d@%d@%d@%d@%d@\n", v) != 5) return 0;
  *p1 = static_cast<uint8_t>(v[2]);
  *p2 = static_cast<uint8_t>(v[3]);
  *p3 = static_cast<uint8_t>(v[4]);
  return 1;
}

TalkReply CheckTalkReply(const char* reply) {
  TalkReply result;
  TextCursor cursor(reply);
  if (cursor.CountLines() != 2) return result;
  const Line first = NextLine(cursor);
  if (std::strstr(first.text, "CMD:TALK") == nullptr) return result;
  const Line second = NextLine(cursor);
  int v[8] = {};
  if (Scan(second, "@%d@%d@\n", v) != 2) {
    v[0] = v[1] = v[2] = 0;
    if (Scan(second, "@%d@%d@%d@\n", v) != 3) return result;
  }
  if (v[1] != 1) return result;
  result.accepted = true;
  result.deviceSendsAudio = v[0] != 0;
  return result;
}

int CheckLoginReply(const char* reply) {
  TextCursor cursor(reply);
  if (cursor.CountLines() != 3) return 0;
  NextLine(cursor);
  int v[8] = {};
  return Scan(NextLine(cursor), "@%d@%d@%d\n", v) == 3 && v[2] != 0 ? 1 : 0;
}

}  // namespace kv
