// Fuzz target for the RTSP answer parsing of the session: message length, success, both Server
// banner forms, the Digest challenge, track identifiers, codecs, the session identifier and the
// a=control fallback, over the input as one NUL-terminated answer of at most 2,047 bytes.
#include <cstdint>
#include <cstring>
#include <string>

#include "sdk/sources/rtsp_answer.h"
#include "sdk/sources/sdp_description.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char answer[kv::kRtspAnswerCapacity + 1];
  const size_t length = size < kv::kRtspAnswerCapacity ? size : kv::kRtspAnswerCapacity;
  std::memcpy(answer, data, length);
  answer[length] = '\0';

  size_t result = kv::RtspMessageLength(answer, length);
  if (result > length) __builtin_trap();
  result += kv::AnswerOk(answer) ? 1 : 0;
  kv::StreamBanner banner;
  kv::ParseBannerFirstForm(answer, &banner);
  kv::ParseBannerSecondForm(answer, &banner);
  std::string realm, nonce;
  if (kv::ParseDigestChallenge(answer, &realm, &nonce) == kv::ChallengeResult::kOk &&
      (realm.size() > kv::kDigestFieldMax || nonce.size() > kv::kDigestFieldMax)) {
    __builtin_trap();
  }
  char video = 0, audio = 0;
  kv::FindTrackIds(answer, &video, &audio);
  const kv::StreamCodecs codecs = kv::DetectCodecs(answer);
  std::string id;
  uint32_t timeout = 0;
  if (kv::ParseSessionId(answer, &id, &timeout) == kv::SessionIdResult::kOk &&
      (id.empty() || id.size() > kv::kSessionIdMax)) {
    __builtin_trap();
  }
  std::string base = kv::HeaderValue(answer, "Content-Base");
  if (base.empty()) base = "rtsp://127.0.0.1:554/1";
  std::string videoUrl, audioUrl;
  kv::FindControlUrls(answer, base, &videoUrl, &audioUrl);
  return static_cast<int>(result + codecs.video + video + audio + banner.width) == -12345 ? 1 : 0;
}
