// The RTSP server's part of the kvdevice command line.
#include "tools/kvdevice/rtsp_options.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <map>

#include "tools/kvdevice/rtsp_message.h"

namespace kvdevice {
namespace {

const std::map<std::string, bool>& Known() {
  static const std::map<std::string, bool> kKnown = {
      {"listen", true},        {"banner", true},          {"user", true},
      {"password", true},      {"realm", true},           {"nonce", true},
      {"session-id", true},    {"session-timeout", true}, {"expire-sessions", false},
      {"control", true},       {"stap-a", false},         {"jpeg-sampling", true},
      {"jpeg-restart", true},  {"jpeg-quality", true},    {"jpeg-q", true},
      {"mpeg4-config", true},  {"refuse", true},          {"no-answer", true},
      {"answer-pieces", true}, {"answer-gap", true},      {"drop-after", true},
      {"stall-after", true},   {"rtcp", false},           {"stray-text", true},
      {"oversize", true},      {"send-log", true}};
  return kKnown;
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

// Printable text without quotes or control characters, as a quoted header field needs.
bool QuotableText(const std::string& text, size_t maxLength) {
  if (text.empty() || text.size() > maxLength) return false;
  for (char c : text) {
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// "METHOD:CODE[,METHOD:CODE...]".
bool ParseRefusals(const std::string& value, std::map<std::string, int>& out) {
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    std::string item = value.substr(start, comma - start);
    size_t colon = item.find(':');
    int code = 0;
    if (colon == 0 || colon == std::string::npos || !Int(item.substr(colon + 1), 300, 599, code)) {
      return false;
    }
    out[Upper(item.substr(0, colon))] = code;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return !out.empty();
}

}  // namespace

std::optional<bool> RtspOptionTakesValue(const std::string& name) {
  auto it = Known().find(name);
  if (it == Known().end()) return std::nullopt;
  return it->second;
}

bool ApplyRtspOption(const std::string& name, const std::string& value, RtspOptions& r) {
  if (name == "listen") {
    r.listen = value;
    return !value.empty();
  } else if (name == "banner") {
    r.banner = value;
    return value == "v200" || value == "plain" || value == "none";
  } else if (name == "user") {
    r.user = value;
    return QuotableText(value, 64) && value.find(':') == std::string::npos;
  } else if (name == "password") {
    r.password = value;
    return value.size() <= 64;
  } else if (name == "realm") {
    r.realm = value;
    return QuotableText(value, 256);
  } else if (name == "nonce") {
    r.nonce = value;
    return QuotableText(value, 256);
  } else if (name == "session-id") {
    r.sessionId = value;
    return ValidSessionId(value);
  } else if (name == "session-timeout") {
    return Int(value, 0, 86400, r.sessionTimeout);
  } else if (name == "expire-sessions") {
    r.expireSessions = true;
    return true;
  } else if (name == "control") {
    r.control = value;
    return value == "trackid" || value == "stream" || value == "absolute";
  } else if (name == "stap-a") {
    r.aggregate = true;
    return true;
  } else if (name == "jpeg-sampling") {
    return Int(value, 420, 422, r.jpegSampling) && (r.jpegSampling == 420 || r.jpegSampling == 422);
  } else if (name == "jpeg-restart") {
    return Int(value, 0, 65535, r.jpegRestart);
  } else if (name == "jpeg-quality") {
    return Int(value, 1, 100, r.jpegQuality);
  } else if (name == "jpeg-q") {
    return Int(value, 128, 255, r.jpegQ);
  } else if (name == "mpeg4-config") {
    r.mpeg4ConfigAlone = value == "alone";
    return value == "alone" || value == "joined";
  } else if (name == "refuse") {
    return ParseRefusals(value, r.refuse);
  } else if (name == "no-answer") {
    r.noAnswerFrom = Upper(value);
    return !value.empty();
  } else if (name == "answer-pieces") {
    return Int(value, 1, 64, r.answerPieces);
  } else if (name == "answer-gap") {
    return Int(value, 0, 2000, r.answerGapMs);
  } else if (name == "drop-after") {
    return Seconds(value, r.dropAfterSeconds);
  } else if (name == "stall-after") {
    return Seconds(value, r.stallAfterSeconds);
  } else if (name == "rtcp") {
    r.rtcp = true;
    return true;
  } else if (name == "stray-text") {
    return Seconds(value, r.strayTextSeconds);
  } else if (name == "send-log") {
    r.sendLog = value;
    return !value.empty();
  } else if (name == "oversize") {
    char* end = nullptr;
    r.oversizePercent = std::strtod(value.c_str(), &end);
    return !value.empty() && end == value.c_str() + value.size() && r.oversizePercent >= 0 &&
           r.oversizePercent <= 100;
  }
  return false;
}

std::string CheckRtspOptions(const Options& o) {
  const RtspOptions& r = o.rtsp;
  if (r.listen.empty()) return {};
  if (o.videoCodec == VideoCodec::kMjpeg) {
    const bool widthOk = (o.width % 8 == 0 && o.width <= 2040) || o.width == 2560;
    if (!widthOk || o.height % 8 != 0 || o.height > 2040) {
      return "RTP JPEG needs a size in multiples of 8 up to 2040 (or a width of 2560)";
    }
  }
  if (!r.password.empty() && r.user.empty()) return "--password needs --user";
  if (r.expireSessions && r.sessionTimeout == 0) return "--expire-sessions needs --session-timeout";
  return {};
}

std::string RtspUsageText() {
  return "RTSP server (instead of sending the UDP stream):\n"
         "  --listen HOST:PORT        serve RTSP/1.0 on this TCP port (port 0: any free one)\n"
         "  --banner v200|plain|none  Server header: with V200R001, without, or no header\n"
         "  --user NAME --password PW ask for Digest authentication (RFC 2617, no qop)\n"
         "  --realm TEXT --nonce TEXT the Digest challenge\n"
         "  --session-id ID           session id (default: a decimal id per session)\n"
         "  --session-timeout N       announce Session: ID;timeout=N\n"
         "  --expire-sessions         forget a session after N s without a request of it\n"
         "  --control trackid|stream|absolute  SDP track controls (default trackid)\n"
         "  --stap-a                  aggregate small H.264 units (STAP-A)\n"
         "  --jpeg-sampling 420|422   JPEG type 1 or 0 (default 420)\n"
         "  --jpeg-restart N          restart interval in MCUs: types 65 and 64 (default 0)\n"
         "  --jpeg-quality N          libjpeg quality 1..100 (default 80)\n"
         "  --jpeg-q N                RFC 2435 Q field, 128..255 (default 255)\n"
         "  --mpeg4-config alone|joined  MPEG-4 headers in their own packet (default alone)\n"
         "  --max-payload BYTES       largest RTP payload (default 1400)\n"
         "RTSP faults (--drop, --reorder, --duplicate, --truncate and --garbage apply to RTP):\n"
         "  --refuse METHOD:CODE[,...]  answer that method with that status code\n"
         "  --no-answer METHOD|all    from that request on, answer nothing\n"
         "  --answer-pieces N         write every answer in N TCP segments\n"
         "  --answer-gap MS           pause between the pieces (default 30)\n"
         "  --drop-after SECONDS      close the connection that long after PLAY\n"
         "  --stall-after SECONDS     stop sending media that long after PLAY\n"
         "  --rtcp                    send RTCP sender reports every second\n"
         "  --stray-text SECONDS      RTSP text between interleaved packets every SECONDS\n"
         "  --oversize P              junk packets of 4097..32767 bytes after P% of packets\n"
         "  --send-log FILE           append \"picture RTP-TIME SENT-US\" per picture sent: its\n"
         "                            time stamp since the stream began (90 kHz) and the\n"
         "                            monotonic clock in microseconds when its last packet left\n";
}

}  // namespace kvdevice
