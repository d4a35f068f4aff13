// MCTP/1.0 as the simulated device reads and writes it.
#include "tools/kvdevice/mctp_message.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <initializer_list>

namespace kvdevice {
namespace {

constexpr std::string_view kCmd = "CMD:";
constexpr std::string_view kEnd = "\nEND\n";

// A signed decimal number as "%d" reads it, without blanks or a plus sign.
bool Number(std::string_view text, int& out) {
  if (text.empty() || text.size() > 11) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

// "@a@b@c" (or "@a@b@c@" when `trailing`): the fields as text; false for any other shape.
bool SplitFields(std::string_view line, bool trailing, std::vector<std::string_view>& out) {
  out.clear();
  if (line.empty() || line.front() != '@') return false;
  line.remove_prefix(1);
  if (trailing) {
    if (line.empty() || line.back() != '@') return false;
    line.remove_suffix(1);
  }
  for (;;) {
    const size_t at = line.find('@');
    std::string_view field = line.substr(0, at);
    if (field.empty()) return false;
    out.push_back(field);
    if (at == std::string_view::npos) return true;
    line.remove_prefix(at + 1);
  }
}

bool IntLine(std::string_view line, size_t count, bool trailing, std::vector<int>& out) {
  std::vector<std::string_view> parts;
  if (!SplitFields(line, trailing, parts) || parts.size() != count) return false;
  out.assign(count, 0);
  for (size_t i = 0; i < count; ++i) {
    if (!Number(parts[i], out[i])) return false;
  }
  return true;
}

std::string FieldLine(std::initializer_list<int> values, bool trailing) {
  std::string line;
  for (int v : values) line += "@" + std::to_string(v);
  if (trailing) line += "@";
  return line;
}

Request Bad(std::string problem) {
  Request r;
  r.kind = RequestKind::kBad;
  r.problem = std::move(problem);
  return r;
}

Request ParseMd(const MctpMessage& m) {
  Request r;
  std::vector<int> f;
  if (m.lines.size() == 1) {
    if (!IntLine(m.lines[0], 8, false, f)) return Bad("the field line is not 8 numbers");
    for (size_t i = 2; i < 8; ++i) {
      if (f[i] != 0) return Bad("fields 3 to 8 must be 0");
    }
    r.channel = f[1];
    r.fields.push_back(f);
    switch (f[0]) {
      case 2:
        r.kind = RequestKind::kMdGet;
        return r;
      case 3:
        r.kind = RequestKind::kMdStart;
        return r;
      case 4:
        r.kind = RequestKind::kMdStop;
        return r;
      default:
        return Bad("unknown motion operation " + std::to_string(f[0]));
    }
  }
  if (m.lines.size() != kMotionRegions) {
    return Bad(std::to_string(m.lines.size()) + " field lines in a motion request");
  }
  for (int i = 0; i < kMotionRegions; ++i) {
    if (!IntLine(m.lines[static_cast<size_t>(i)], 8, false, f)) {
      return Bad("region line " + std::to_string(i) + " is not 8 numbers");
    }
    if (i == 0) r.channel = f[1];
    if (f[0] != 1 || f[1] != r.channel || f[2] != i) {
      return Bad("region line " + std::to_string(i) + " must start with 1, the channel and " +
                 std::to_string(i));
    }
    if (f[3] < 0 || f[3] > 255) return Bad("a setting byte out of 0..255");
    r.fields.push_back(f);
  }
  r.kind = RequestKind::kMdSave;
  return r;
}

Request ParseOneLine(const MctpMessage& m, RequestKind kind, size_t count, bool trailing) {
  if (m.lines.size() != 1) return Bad(std::to_string(m.lines.size()) + " field lines, not 1");
  Request r;
  std::vector<int> f;
  if (!IntLine(m.lines[0], count, trailing, f)) {
    return Bad("the field line is not " + std::to_string(count) + " numbers" +
               (trailing ? " and a last @" : ""));
  }
  r.kind = kind;
  r.fields.push_back(f);
  return r;
}

Request ParseAlive(const MctpMessage& m) {
  Request r;
  if (m.lines.empty()) {
    r.kind = RequestKind::kAlive;
    return r;
  }
  std::vector<std::string_view> parts;
  if (m.lines.size() != 1 || !SplitFields(m.lines[0], false, parts) || parts.size() != 2 ||
      !Number(parts[1], r.channel)) {
    return Bad("a log-in is one line \"@SESSION@CHANNEL\"");
  }
  r.kind = RequestKind::kLogin;
  r.session = std::string(parts[0]);
  return r;
}

// Replaces the second field of a field line with a letter, so that it no longer reads.
void Garble(std::string& line) {
  const size_t second = line.find('@', 1);
  if (second == std::string::npos) {
    line = "@x";
    return;
  }
  const size_t third = line.find('@', second + 1);
  line.replace(second + 1, third == std::string::npos ? std::string::npos : third - second - 1,
               "x");
}

}  // namespace

Take TakeMessage(std::string_view buffer, MctpMessage& message, size_t& consumed) {
  consumed = 0;
  if (buffer.empty()) return Take::kIncomplete;
  const size_t prefix = std::min(buffer.size(), kCmd.size());
  const bool startsRight = buffer.substr(0, prefix) == kCmd.substr(0, prefix);
  const size_t end = buffer.find(kEnd);
  if (!startsRight) {
    if (buffer.rfind("END\n", 0) == 0) {
      consumed = 4;
    } else {
      consumed = end == std::string_view::npos ? buffer.size() : end + kEnd.size();
    }
    return Take::kBad;
  }
  if (end == std::string_view::npos) {
    if (buffer.size() > kMaxMctpMessage) {
      consumed = buffer.size();
      return Take::kBad;
    }
    return Take::kIncomplete;
  }
  consumed = end + kEnd.size();
  message = MctpMessage();
  message.text = std::string(buffer.substr(0, consumed));
  std::string_view rest = buffer.substr(0, end + 1);  // the lines before "END", each with "\n"
  const size_t first = rest.find('\n');
  message.command = std::string(rest.substr(0, first));
  rest.remove_prefix(first + 1);
  while (!rest.empty()) {
    const size_t at = rest.find('\n');
    message.lines.emplace_back(rest.substr(0, at));
    rest.remove_prefix(at + 1);
  }
  return Take::kMessage;
}

const char* RequestKindName(RequestKind kind) {
  switch (kind) {
    case RequestKind::kMdGet:
      return "md-get";
    case RequestKind::kMdSave:
      return "md-save";
    case RequestKind::kMdStart:
      return "md-start";
    case RequestKind::kMdStop:
      return "md-stop";
    case RequestKind::kAlarm:
      return "alarm";
    case RequestKind::kVparamSet:
      return "vparam-set";
    case RequestKind::kVparamGet:
      return "vparam-get";
    case RequestKind::kPtz:
      return "ptz";
    case RequestKind::kTalk:
      return "talk";
    case RequestKind::kLogin:
      return "login";
    case RequestKind::kAlive:
      return "alive";
    case RequestKind::kBad:
      break;
  }
  return "bad";
}

Request ParseRequest(const MctpMessage& m) {
  const std::string& c = m.command;
  if (c == "CMD:MD MCTP/1.0 CS") return ParseMd(m);
  if (c == "CMD:ALIVE MCTP/1.0 CS") return ParseAlive(m);
  Request r;
  if (c == "CMD:ALARM MCTP/1.0 CS") {
    r = ParseOneLine(m, RequestKind::kAlarm, 3, false);
    if (r.kind == RequestKind::kBad) return r;
    if (r.fields[0][0] != 1) return Bad("an alarm request starts with 1");
    r.channel = r.fields[0][2];
  } else if (c == "CMD:VCTRL MCTP/1.0 CS") {
    r = ParseOneLine(m, RequestKind::kVparamSet, 5, true);
    if (r.kind == RequestKind::kBad) return r;
    const std::vector<int>& f = r.fields[0];
    r.channel = f[1];
    if (f[0] == 1) {
      r.kind = RequestKind::kVparamGet;
      if (f[2] != 0 || f[3] != 0 || f[4] != 0) return Bad("a video parameter query has zeros");
    } else if (f[0] < 2 || f[0] > 4) {
      return Bad("unknown video operation " + std::to_string(f[0]));
    }
  } else if (c == "CMD:PTZ MCTP/1.0") {
    r = ParseOneLine(m, RequestKind::kPtz, 3, false);
    if (r.kind == RequestKind::kBad) return r;
    r.channel = r.fields[0][0];
  } else if (c == "CMD:TALK MCTP/1.0 CS") {
    r = ParseOneLine(m, RequestKind::kTalk, 2, true);
    if (r.kind == RequestKind::kBad) return r;
    r.channel = r.fields[0][0];
    if (r.fields[0][1] != 2 && r.fields[0][1] != 16) return Bad("the talk codec is 2 or 16");
  } else {
    return Bad("unknown command line " + Quoted(c));
  }
  return r;
}

std::string ReplyText(const Request& request, ReplyMode mode, ReplyData data) {
  if (mode == ReplyMode::kRefuse) data.accepted = false;
  const int result = data.accepted ? 1 : 0;
  const int ch = request.channel;
  const std::vector<int> none(8, 0);
  const std::vector<int>& f = request.fields.empty() ? none : request.fields[0];
  std::string command;
  std::vector<std::string> lines;
  bool end = true;
  size_t garbleLine = 0;
  switch (request.kind) {
    case RequestKind::kMdGet:
      command = "CMD:MD MCTP/1.0 CS";
      if (!data.accepted) {
        lines.push_back(FieldLine({2, ch, 0, 0, 0, 0, 0, 0}, false));
        break;
      }
      for (int i = 0; i < kMotionRegions; ++i) {
        const MdRegion& g = data.regions[static_cast<size_t>(i)];
        lines.push_back(FieldLine({2, ch, i, g.setting, g.left, g.top, g.right, g.bottom}, false));
      }
      garbleLine = 8;
      break;
    case RequestKind::kMdSave:
    case RequestKind::kMdStart:
    case RequestKind::kMdStop:
      command = "CMD:MD MCTP/1.0 CS";
      lines.push_back(FieldLine({f[0], ch, result, 0, 0, 0, 0, 0}, false));
      break;
    case RequestKind::kAlarm:
      command = "CMD:ALARM MCTP/1.0 CS";
      lines.push_back(FieldLine({1, ch, result}, false));
      break;
    case RequestKind::kVparamSet:
      command = "CMD:VCTRL MCTP/1.0 CS";
      lines.push_back(FieldLine({f[0], ch, result}, true));
      break;
    case RequestKind::kVparamGet:
      command = "CMD:VCTRL MCTP/1.0 CS";
      lines.push_back(data.accepted ? FieldLine({1, ch, data.videoParams[0], data.videoParams[1],
                                                 data.videoParams[2]},
                                                true)
                                    : FieldLine({1, ch, 0}, true));
      break;
    case RequestKind::kPtz:
      command = "CMD:PTZ MCTP/1.0";
      lines.push_back(FieldLine({ch, f[1], result}, false));
      break;
    case RequestKind::kTalk:
      command = "CMD:TALK MCTP/1.0 CS";
      lines.push_back(data.talkFields == 3 ? FieldLine({data.talkAudio ? 1 : 0, result, f[1]}, true)
                                           : FieldLine({data.talkAudio ? 1 : 0, result}, true));
      end = false;  // the talk reply is two lines
      break;
    case RequestKind::kLogin:
      command = "CMD:ALIVE MCTP/1.0 CS";
      lines.push_back(FieldLine({1, ch, result}, false));
      break;
    case RequestKind::kAlive:
      command = "CMD:ALIVE MCTP/1.0 CS";
      break;
    case RequestKind::kBad:
      return {};
  }
  if (mode == ReplyMode::kGarbled) {
    if (lines.empty()) lines.emplace_back();
    Garble(lines[std::min(garbleLine, lines.size() - 1)]);
  }
  if (mode == ReplyMode::kMalformed) {
    if (request.kind == RequestKind::kMdGet && data.accepted) {
      lines.pop_back();  // 17 lines
    } else {
      lines.emplace_back("END");  // one line too many
    }
  }
  std::string text = command + "\n";
  for (const std::string& line : lines) text += line + "\n";
  if (end) text += "END\n";
  if (mode == ReplyMode::kNoNewline) text.pop_back();
  return text;
}

std::string MotionReport(int channel, const std::vector<int>& moving, const MdRegions& regions) {
  std::string text = "CMD:MD MCTP/1.0 CS\n";
  if (moving.empty()) {
    const MdRegion& g = regions[0];
    text += FieldLine({channel, 0, 0, g.left, g.top, g.right, g.bottom, g.setting}, false) + "\n";
  }
  for (int r : moving) {
    const MdRegion& g = regions[static_cast<size_t>(r) % regions.size()];
    text += FieldLine({channel, 1, r, g.left, g.top, g.right, g.bottom, g.setting}, false) + "\n";
  }
  return text + "END\n";
}

std::string AlarmReport(int first, int code) {
  return "CMD:ALARM MCTP/1.0 CS\n" + FieldLine({first, code}, false) + "\nEND\n";
}

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

bool Unescape(std::string_view text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i >= text.size()) return false;
    switch (text[i]) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case '\\':
      case '"':
        out += text[i];
        break;
      case 'x': {
        unsigned value = 0;
        if (i + 2 >= text.size()) return false;
        auto [end, ec] = std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
        if (ec != std::errc() || end != text.data() + i + 3) return false;
        out += static_cast<char>(value);
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

}  // namespace kvdevice
