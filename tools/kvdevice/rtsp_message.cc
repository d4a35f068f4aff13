// RTSP/1.0 requests, answers and header values as the simulated camera sees them.
#include "tools/kvdevice/rtsp_message.h"

#include <cctype>
#include <charconv>

namespace kvdevice {
namespace {

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

bool ToNumber(std::string_view s, int& out) {
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

// "a-b" or "a" (then b = a + 1).
bool ParsePair(std::string_view s, int& a, int& b) {
  size_t dash = s.find('-');
  if (dash == std::string_view::npos) {
    if (!ToNumber(s, a)) return false;
    b = a + 1;
    return true;
  }
  return ToNumber(s.substr(0, dash), a) && ToNumber(s.substr(dash + 1), b);
}

}  // namespace

std::optional<std::string> RtspRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (SameText(key, name)) return value;
  }
  return std::nullopt;
}

Framing ReadRequest(std::string_view data, RtspRequest& request, size_t& consumed, size_t maxHead,
                    size_t maxBody) {
  consumed = 0;
  size_t start = 0;
  while (start < data.size() && (data[start] == '\r' || data[start] == '\n')) ++start;
  if (start == data.size()) {
    consumed = start;
    return Framing::kIncomplete;
  }
  if (data[start] == '$') {
    if (data.size() - start < 4) return Framing::kIncomplete;
    const size_t length =
        size_t{static_cast<uint8_t>(data[start + 2])} << 8 | static_cast<uint8_t>(data[start + 3]);
    if (data.size() - start < 4 + length) return Framing::kIncomplete;
    consumed = start + 4 + length;
    return Framing::kInterleaved;
  }
  // A head ends with an empty line; lines end with CRLF or a bare LF.
  size_t end = std::string_view::npos, after = 0;
  for (size_t i = start; i < data.size(); ++i) {
    if (data[i] != '\n') continue;
    if (i + 1 < data.size() && data[i + 1] == '\n') {
      end = i, after = i + 2;
      break;
    }
    if (i + 2 < data.size() && data[i + 1] == '\r' && data[i + 2] == '\n') {
      end = i, after = i + 3;
      break;
    }
  }
  if (end == std::string_view::npos) {
    return data.size() - start > maxHead ? Framing::kBad : Framing::kIncomplete;
  }
  if (end - start > maxHead) return Framing::kBad;

  RtspRequest r;
  std::string_view head = data.substr(start, end - start);
  size_t lineEnd = head.find('\n');
  std::string_view first = Trim(head.substr(0, lineEnd));
  size_t sp1 = first.find(' ');
  size_t sp2 = sp1 == std::string_view::npos ? sp1 : first.find(' ', sp1 + 1);
  if (sp1 == 0 || sp2 == std::string_view::npos) return Framing::kBad;
  r.method = first.substr(0, sp1);
  r.uri = first.substr(sp1 + 1, sp2 - sp1 - 1);
  r.version = Trim(first.substr(sp2 + 1));
  if (r.version.rfind("RTSP/", 0) != 0 || r.uri.empty()) return Framing::kBad;
  for (char c : r.method) {
    if (!std::isupper(static_cast<unsigned char>(c)) && c != '_') return Framing::kBad;
  }
  while (lineEnd != std::string_view::npos) {
    size_t next = head.find('\n', lineEnd + 1);
    std::string_view line = Trim(head.substr(lineEnd + 1, next - lineEnd - 1));
    lineEnd = next;
    if (line.empty()) continue;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return Framing::kBad;
    r.headers.emplace_back(std::string(Trim(line.substr(0, colon))),
                           std::string(Trim(line.substr(colon + 1))));
  }
  int bodyLength = 0;
  if (auto length = r.header("Content-Length")) {
    if (!ToNumber(*length, bodyLength) || bodyLength < 0 ||
        static_cast<size_t>(bodyLength) > maxBody) {
      return Framing::kBad;
    }
  }
  if (data.size() - after < static_cast<size_t>(bodyLength)) return Framing::kIncomplete;
  r.body = data.substr(after, static_cast<size_t>(bodyLength));
  consumed = after + static_cast<size_t>(bodyLength);
  request = std::move(r);
  return Framing::kRequest;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 453:
      return "Not Enough Bandwidth";
    case 454:
      return "Session Not Found";
    case 455:
      return "Method Not Valid in This State";
    case 459:
      return "Aggregate Operation Not Allowed";
    case 461:
      return "Unsupported Transport";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 505:
      return "RTSP Version Not Supported";
  }
  return "Status";
}

std::string RtspAnswer::text() const {
  std::string t = "RTSP/1.0 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
  for (const auto& [name, value] : headers) t += name + ": " + value + "\r\n";
  if (!body.empty()) t += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  t += "\r\n";
  t += body;
  return t;
}

std::optional<TransportRequest> ParseTransport(std::string_view value) {
  value = Trim(value.substr(0, value.find(',')));
  TransportRequest t;
  size_t semi = value.find(';');
  std::string_view profile = Trim(value.substr(0, semi));
  if (SameText(profile, "RTP/AVP/TCP")) {
    t.tcp = true;
  } else if (!SameText(profile, "RTP/AVP") && !SameText(profile, "RTP/AVP/UDP")) {
    return std::nullopt;
  }
  while (semi != std::string_view::npos) {
    size_t next = value.find(';', semi + 1);
    std::string_view p = Trim(value.substr(semi + 1, next - semi - 1));
    semi = next;
    if (SameText(p, "multicast")) {
      t.multicast = true;
    } else if (p.rfind("interleaved=", 0) == 0) {
      if (!ParsePair(p.substr(12), t.channel0, t.channel1)) return std::nullopt;
    } else if (p.rfind("client_port=", 0) == 0) {
      if (!ParsePair(p.substr(12), t.clientPort0, t.clientPort1)) return std::nullopt;
    }
  }
  if (t.tcp) {
    if (t.channel0 < 0) t.channel0 = 0, t.channel1 = 1;  // the server may choose
    if (t.channel0 > 255 || t.channel1 < 0 || t.channel1 > 255) return std::nullopt;
  } else if (t.clientPort0 <= 0 || t.clientPort0 > 65535 || t.clientPort1 <= 0 ||
             t.clientPort1 > 65535) {
    return std::nullopt;
  }
  return t;
}

std::string SessionIdOf(std::string_view value) {
  value = Trim(value);
  size_t end = value.find_first_of("; \t");
  return std::string(value.substr(0, end));
}

bool ValidSessionId(std::string_view id) {
  if (id.empty() || id.size() > 64) return false;
  for (char c : id) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '$' && c != '-' && c != '_' &&
        c != '.' && c != '+') {
      return false;
    }
  }
  return true;
}

}  // namespace kvdevice
