// Reading the device's RTSP answers: completeness of a message, success, the Server banner, the
// Digest challenge, track identifiers, codecs and the session identifier. The texts are
// NUL-terminated and searched as plain substrings, as the device writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv {

constexpr size_t kRtspAnswerCapacity = 2047;
constexpr size_t kDigestFieldMax = 64;
constexpr size_t kSessionIdMax = 31;

// Length of the first whole message in data (headers to the blank line, then Content-Length
// bytes of body), or 0 while it is incomplete.
size_t RtspMessageLength(const char* data, size_t length);

// "200 OK" occurs anywhere in the answer.
bool AnswerOk(const char* text);

struct StreamBanner {
  bool deviceGeneration = false;  // the first form ("... V200R001") was found
  bool sizeStated = false;        // the four numbers were read
  int32_t width = 0, height = 0, frameRate = 0, bitRate = 0;  // bit rate in bit/s
};
// The first form: "\r\nServer: MorvaLinder Rtsp Server V200R001", one character, then
// "W*H*F*B\r\n". Sets deviceGeneration when the banner is there, the numbers when all four read.
void ParseBannerFirstForm(const char* text, StreamBanner* banner);
// The second form: "\r\nServer: MorvaLinder Rtsp Server " directly followed by "W*H*F*B\r\n".
void ParseBannerSecondForm(const char* text, StreamBanner* banner);

enum class ChallengeResult { kOk, kMissing, kTooLong };
// The realm and nonce of "WWW-Authenticate: Digest realm=\"...\", nonce=\"...\"". A field longer
// than 64 characters (or without its closing quote) is refused.
ChallengeResult ParseDigestChallenge(const char* text, std::string* realm, std::string* nonce);

// The character after the first and after the second "trackID=", 0 when missing (or when it is
// no printable character).
void FindTrackIds(const char* text, char* video, char* audio);

struct StreamCodecs {
  uint8_t video = 0;
  uint8_t audio = 0;
};
StreamCodecs DetectCodecs(const char* text);

enum class SessionIdResult { kNone, kOk, kTooLong };
// The "Session:" header: the identifier up to ";", white space or the line end (RFC 2326), at
// most 31 characters, and the timeout=N parameter in seconds (0 when not given).
SessionIdResult ParseSessionId(const char* text, std::string* id, uint32_t* timeoutSeconds);

// The value of header name (case-insensitive, at a line start), empty when absent.
std::string HeaderValue(const char* text, const char* name);

}  // namespace kv
