// The MCTP/1.0 part of the kvdevice command line.
#include "tools/kvdevice/mctp_options.h"

#include <charconv>
#include <cstdlib>
#include <map>

namespace kvdevice {
namespace {

const std::map<std::string, bool>& Known() {
  static const std::map<std::string, bool> kKnown = {
      {"mctp-reply", true},     {"mctp-gap", true},         {"mctp-log", true},
      {"mctp-control", true},   {"event-session", true},    {"motion-every", true},
      {"motion-regions", true}, {"alarm-every", true},      {"alarm-code", true},
      {"event-pieces", true},   {"event-gap", true},        {"event-batch", true},
      {"event-timeout", true},  {"event-drop-after", true}, {"talk-codec", true},
      {"talk-audio", true},     {"talk-fields", true},      {"talk-tone", true},
      {"talk-samples", true},   {"talk-drop-after", true},  {"talk-wav", true},
      {"talk-coded", true}};
  return kKnown;
}

const std::map<std::string, ReplyMode>& Modes() {
  static const std::map<std::string, ReplyMode> kModes = {
      {"accept", ReplyMode::kAccept},        {"refuse", ReplyMode::kRefuse},
      {"malformed", ReplyMode::kMalformed},  {"garbled", ReplyMode::kGarbled},
      {"no-newline", ReplyMode::kNoNewline}, {"split", ReplyMode::kSplit},
      {"silent", ReplyMode::kSilent},        {"close", ReplyMode::kClose}};
  return kModes;
}

bool Int(const std::string& text, int low, int high, int& out) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return false;
  }
  out = value;
  return true;
}

bool Seconds(const std::string& text, double& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && out >= 0 && out <= 86400;
}

// "KIND:MODE[,KIND:MODE...]"; the kind "all" sets every kind.
bool ParseReplies(const std::string& value, std::map<std::string, ReplyMode>& out) {
  static const char* const kAll[] = {"md-get", "md-save",    "md-start",   "md-stop",
                                     "alarm",  "vparam-set", "vparam-get", "ptz",
                                     "talk",   "login",      "alive"};
  size_t start = 0;
  for (;;) {
    const size_t comma = value.find(',', start);
    const std::string item = value.substr(start, comma - start);
    const size_t colon = item.find(':');
    if (colon == std::string::npos) return false;
    const std::string kind = item.substr(0, colon);
    std::optional<ReplyMode> mode = ReplyModeNamed(item.substr(colon + 1));
    if (!mode) return false;
    if (kind == "all") {
      for (const char* k : kAll) out[k] = *mode;
    } else if (KnownRequestKind(kind)) {
      out[kind] = *mode;
    } else {
      return false;
    }
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// "2,5": region numbers 0..15, each at most once; "none" for no region.
bool ParseRegions(const std::string& value, std::vector<int>& out) {
  out.clear();
  if (value == "none") return true;
  size_t start = 0;
  for (;;) {
    const size_t comma = value.find(',', start);
    int region = 0;
    if (!Int(value.substr(start, comma - start), 0, 15, region)) return false;
    for (int r : out) {
      if (r == region) return false;
    }
    out.push_back(region);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

}  // namespace

bool KnownRequestKind(const std::string& kind) {
  return kind == "md-get" || kind == "md-save" || kind == "md-start" || kind == "md-stop" ||
         kind == "alarm" || kind == "vparam-set" || kind == "vparam-get" || kind == "ptz" ||
         kind == "talk" || kind == "login" || kind == "alive";
}

std::optional<ReplyMode> ReplyModeNamed(const std::string& name) {
  auto it = Modes().find(name);
  if (it == Modes().end()) return std::nullopt;
  return it->second;
}

const char* ReplyModeName(ReplyMode mode) {
  for (const auto& [name, m] : Modes()) {
    if (m == mode) return name.c_str();
  }
  return "?";
}

std::optional<bool> MctpOptionTakesValue(const std::string& name) {
  auto it = Known().find(name);
  if (it == Known().end()) return std::nullopt;
  return it->second;
}

bool ApplyMctpOption(const std::string& name, const std::string& value, MctpOptions& m) {
  if (name == "mctp-reply") {
    return ParseReplies(value, m.replies);
  } else if (name == "mctp-gap") {
    return Int(value, 0, 2000, m.splitGapMs);
  } else if (name == "mctp-log") {
    m.logPath = value;
    return !value.empty();
  } else if (name == "mctp-control") {
    m.controlPath = value;
    return !value.empty();
  } else if (name == "event-session") {
    m.checkSession = value == "check";
    return value == "check" || value == "any";
  } else if (name == "motion-every") {
    return Seconds(value, m.motionEverySeconds);
  } else if (name == "motion-regions") {
    return ParseRegions(value, m.motionRegions);
  } else if (name == "alarm-every") {
    return Seconds(value, m.alarmEverySeconds);
  } else if (name == "alarm-code") {
    return Int(value, -1000000, 1000000, m.alarmCode);
  } else if (name == "event-pieces") {
    return Int(value, 1, 64, m.eventPieces);
  } else if (name == "event-gap") {
    return Int(value, 0, 2000, m.eventGapMs);
  } else if (name == "event-batch") {
    return Int(value, 1, 64, m.eventBatch);
  } else if (name == "event-timeout") {
    return Seconds(value, m.eventTimeoutSeconds);
  } else if (name == "event-drop-after") {
    return Seconds(value, m.eventDropAfterSeconds);
  } else if (name == "talk-codec") {
    if (value == "auto") {
      m.talkCodec = AudioCodec::kNone;
    } else if (value == "g711u") {
      m.talkCodec = AudioCodec::kG711U;
    } else if (value == "g726-32") {
      m.talkCodec = AudioCodec::kG726_32;
    } else {
      return false;
    }
    return true;
  } else if (name == "talk-audio") {
    m.talkAudio = value != "off";
    m.talkEcho = value == "echo";
    return value == "on" || value == "off" || value == "echo";
  } else if (name == "talk-fields") {
    return Int(value, 2, 3, m.talkFields);
  } else if (name == "talk-tone") {
    return Int(value, 1, 3999, m.talkToneHz);
  } else if (name == "talk-samples") {
    // Multiples of 8 keep G.726 at 32 kbit/s on whole 16-bit words.
    return Int(value, 8, 1600, m.talkFrameSamples) && m.talkFrameSamples % 8 == 0;
  } else if (name == "talk-drop-after") {
    return Seconds(value, m.talkDropAfterSeconds);
  } else if (name == "talk-wav") {
    m.talkWavPath = value;
    return !value.empty();
  } else if (name == "talk-coded") {
    m.talkCodedPath = value;
    return !value.empty();
  }
  return false;
}

std::string CheckMctpOptions(const Options& o) {
  if (o.rtsp.listen.empty() && !(o.mctp == MctpOptions{})) return "MCTP options need --listen";
  return {};
}

AudioCodec TalkCodecOf(const Options& o) {
  if (o.mctp.talkCodec != AudioCodec::kNone) return o.mctp.talkCodec;
  return o.rtsp.banner == "v200" ? AudioCodec::kG711U : AudioCodec::kG726_32;
}

std::string MctpUsageText() {
  return "MCTP/1.0 on the RTSP port (with --listen):\n"
         "  --mctp-reply KIND:MODE[,...]  how to answer a request kind: md-get, md-save,\n"
         "                            md-start, md-stop, alarm, vparam-set, vparam-get, ptz,\n"
         "                            talk, login, alive or all; modes: accept (default),\n"
         "                            refuse, malformed (wrong line count), garbled (a field\n"
         "                            that is no number), no-newline (last line without \\n),\n"
         "                            split (two TCP segments), silent, close\n"
         "  --mctp-gap MS             pause between the segments of a split reply (default 30)\n"
         "  --mctp-log FILE           a line per request, report and talk connection\n"
         "  --mctp-control FILE       follow commands appended to FILE, a line each:\n"
         "                              motion [R,R...|none]   a motion report (regions 0..15)\n"
         "                              alarm CODE [FIRST]     an alarm report (FIRST: 2)\n"
         "                              raw TEXT               TEXT as it is (\\n \\r \\\\ \\xNN)\n"
         "                              talk-raw TEXT          bytes on every talk downlink\n"
         "                              drop-events            close every event connection\n"
         "                            reports joined by ' + ' go in one TCP segment; a line\n"
         "                            starting 'split ' goes in two; they wait for a log-in\n"
         "  --event-session check|any log-ins must name an open RTSP session (default check)\n"
         "  --motion-every SECONDS    a motion report that often after the log-in\n"
         "  --motion-regions R,R...   its moving regions (default 2,5; none: no motion)\n"
         "  --alarm-every SECONDS     an alarm report that often after the log-in\n"
         "  --alarm-code N            its code (default 1)\n"
         "  --event-pieces N          write every report in N TCP segments\n"
         "  --event-gap MS            pause between the segments (default 30)\n"
         "  --event-batch N           scheduled reports go out N in one segment\n"
         "  --event-timeout SECONDS   close an event connection silent that long\n"
         "  --event-drop-after SECONDS  close an event connection that long after its log-in\n"
         "  --talk-codec auto|g711u|g726-32  talk codec (auto: g711u with the v200 banner,\n"
         "                            else g726-32, as the two device generations talk)\n"
         "  --talk-audio on|off|echo  send the device's audio while talking (default on);\n"
         "                            echo: send back each voice frame it hears\n"
         "  --talk-fields 2|3         fields of the talk reply's field line (default 2)\n"
         "  --talk-tone HZ            tone of the device's talk audio (default 500)\n"
         "  --talk-samples N          samples per downlink voice frame (default 160)\n"
         "  --talk-drop-after SECONDS close a talk connection that long after it was accepted\n"
         "  --talk-wav FILE           keep what the device hears, decoded, as a WAV file\n"
         "  --talk-coded FILE         keep it as the codec bytes received\n";
}

}  // namespace kvdevice
