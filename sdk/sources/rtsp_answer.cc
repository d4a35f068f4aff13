// RTSP answer parsing.
#include "sdk/sources/rtsp_answer.h"

#include <cctype>
#include <cstring>
#include <limits>
#include <string_view>

#include "KvNetClient.h"

namespace kv {
namespace {

constexpr char kBannerFirst[] = "\r\nServer: MorvaLinder Rtsp Server V200R001";
constexpr char kBannerSecond[] = "\r\nServer: MorvaLinder Rtsp Server ";

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool sameLetters(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Reads one integer as "%d" does (leading white space, optional sign, digits); false when there
// are no digits or the value does not fit.
bool readInt(const char*& p, int64_t* value) {
  while (isBlank(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  int64_t v = 0;
  while (*p >= '0' && *p <= '9') {
    v = v * 10 + (*p++ - '0');
    if (v > std::numeric_limits<int32_t>::max()) return false;
  }
  *value = negative ? -v : v;
  return true;
}

// "W*H*F*B" at p into the banner; all four or nothing.
void readFour(const char* p, StreamBanner* banner) {
  int64_t v[4];
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && *p++ != '*') return;
    if (!readInt(p, &v[i])) return;
  }
  const int64_t bitRate = v[3] * 1024;
  if (bitRate > std::numeric_limits<int32_t>::max() ||
      bitRate < std::numeric_limits<int32_t>::min()) {
    return;
  }
  banner->width = static_cast<int32_t>(v[0]);
  banner->height = static_cast<int32_t>(v[1]);
  banner->frameRate = static_cast<int32_t>(v[2]);
  banner->bitRate = static_cast<int32_t>(bitRate);
  banner->sizeStated = true;
}

// The quoted value that follows key (which ends with the opening quote), searched from `from`.
ChallengeResult quotedField(const char* from, const char* key, std::string* out) {
  const char* at = std::strstr(from, key);
  if (at == nullptr) return ChallengeResult::kMissing;
  const char* value = at + std::strlen(key);
  const char* close = std::strchr(value, '"');
  if (close == nullptr || static_cast<size_t>(close - value) > kDigestFieldMax) {
    return ChallengeResult::kTooLong;
  }
  out->assign(value, close);
  return ChallengeResult::kOk;
}

// from + skip, but never past the terminating NUL.
const char* advance(const char* from, size_t skip) {
  const size_t length = std::strlen(from);
  return from + (skip < length ? skip : length);
}

}  // namespace

size_t RtspMessageLength(const char* data, size_t length) {
  const std::string_view text(data, length);
  const size_t end = text.find("\r\n\r\n");
  if (end == std::string_view::npos) return 0;
  const size_t headers = end + 4;
  const std::string head(text.substr(0, headers));
  const std::string value = HeaderValue(head.c_str(), "Content-Length");
  if (value.empty()) return headers;
  const char* p = value.c_str();
  int64_t body = 0;
  if (!readInt(p, &body) || body < 0) return headers;
  if (static_cast<uint64_t>(body) > length - headers) return 0;
  return headers + static_cast<size_t>(body);
}

bool AnswerOk(const char* text) { return std::strstr(text, "200 OK") != nullptr; }

void ParseBannerFirstForm(const char* text, StreamBanner* banner) {
  const char* at = std::strstr(text, kBannerFirst);
  if (at == nullptr) return;
  banner->deviceGeneration = true;
  // The character right after "V200R001" is skipped whatever it is.
  const char* p = at + sizeof(kBannerFirst) - 1;
  if (*p == '\0') return;
  readFour(p + 1, banner);
}

void ParseBannerSecondForm(const char* text, StreamBanner* banner) {
  const char* at = std::strstr(text, kBannerSecond);
  if (at == nullptr) return;
  readFour(at + sizeof(kBannerSecond) - 1, banner);
}

ChallengeResult ParseDigestChallenge(const char* text, std::string* realm, std::string* nonce) {
  const char* header = std::strstr(text, "WWW-Authenticate:");
  if (header == nullptr) return ChallengeResult::kMissing;
  const char* digest = std::strstr(advance(header, 18), "Digest");
  if (digest == nullptr) return ChallengeResult::kMissing;
  const char* realmFrom = advance(digest, 7);
  const char* nonceFrom = advance(digest, 8);
  if (std::strstr(realmFrom, "realm=\"") == nullptr ||
      std::strstr(nonceFrom, "nonce=\"") == nullptr) {
    return ChallengeResult::kMissing;
  }
  const ChallengeResult r = quotedField(realmFrom, "realm=\"", realm);
  if (r != ChallengeResult::kOk) return r;
  return quotedField(nonceFrom, "nonce=\"", nonce);
}

void FindTrackIds(const char* text, char* video, char* audio) {
  static constexpr char kKey[] = "trackID=";
  auto usable = [](char c) { return c > ' ' && c < 0x7F ? c : '\0'; };
  *video = 0;
  *audio = 0;
  const char* first = std::strstr(text, kKey);
  if (first == nullptr) return;
  *video = usable(first[sizeof(kKey) - 1]);
  const char* second = std::strstr(first + 1, kKey);
  if (second != nullptr) *audio = usable(second[sizeof(kKey) - 1]);
}

StreamCodecs DetectCodecs(const char* text) {
  auto has = [text](const char* s) { return std::strstr(text, s) != nullptr; };
  StreamCodecs c;
  if (has("a=rtpmap:26 JPEG/90000")) {
    c.video = VCODEC_MJPEG;
  } else if (has("a=rtpmap:99")) {
    c.video = VCODEC_MPEG4;
  } else {
    c.video = VCODEC_H264;
  }
  static const struct {
    const char* map;
    uint8_t codec;
  } kAudio[] = {
      {"a=rtpmap:97 G726-32/8000", ACODEC_G726_32}, {"a=rtpmap:97 G726-24/8000", ACODEC_G726_24},
      {"a=rtpmap:97 G726-16/8000", ACODEC_G726_16}, {"a=rtpmap:97 G726-40/8000", ACODEC_G726_40},
      {"a=rtpmap:0 PCMU/8000", ACODEC_G711U},       {"a=rtpmap:8 PCMA/8000", ACODEC_G711A}};
  c.audio = ACODEC_G711U;
  for (const auto& a : kAudio) {
    if (has(a.map)) {
      c.audio = a.codec;
      break;
    }
  }
  return c;
}

SessionIdResult ParseSessionId(const char* text, std::string* id, uint32_t* timeoutSeconds) {
  id->clear();
  *timeoutSeconds = 0;
  const char* at = std::strstr(text, "Session:");
  if (at == nullptr) return SessionIdResult::kNone;
  const char* p = at + 8;
  while (*p == ' ' || *p == '\t') ++p;
  const char* start = p;
  while (*p != '\0' && *p != ';' && !isBlank(*p)) ++p;
  if (p == start) return SessionIdResult::kNone;
  if (static_cast<size_t>(p - start) > kSessionIdMax) return SessionIdResult::kTooLong;
  id->assign(start, p);
  // Parameters on the same line: ";timeout=N".
  const char* lineEnd = std::strpbrk(p, "\r\n");
  const std::string rest(p, lineEnd != nullptr ? lineEnd : p + std::strlen(p));
  const size_t t = rest.find("timeout=");
  if (t != std::string::npos) {
    const char* q = rest.c_str() + t + 8;
    int64_t seconds = 0;
    if (readInt(q, &seconds) && seconds > 0) *timeoutSeconds = static_cast<uint32_t>(seconds);
  }
  return SessionIdResult::kOk;
}

std::string HeaderValue(const char* text, const char* name) {
  const size_t nameLength = std::strlen(name);
  for (const char* line = text; *line != '\0';) {
    const char* end = std::strpbrk(line, "\r\n");
    const size_t length = end != nullptr ? static_cast<size_t>(end - line) : std::strlen(line);
    if (length > nameLength && line[nameLength] == ':' && sameLetters(line, name, nameLength)) {
      const char* v = line + nameLength + 1;
      const char* vEnd = line + length;
      while (v < vEnd && (*v == ' ' || *v == '\t')) ++v;
      while (vEnd > v && (vEnd[-1] == ' ' || vEnd[-1] == '\t')) --vEnd;
      return std::string(v, vEnd);
    }
    if (end == nullptr) break;
    line = end + 1;
    if (*end == '\r' && *line == '\n') ++line;
  }
  return std::string();
}

}  // namespace kv
