// The stream description (SDP) of the simulated camera's DESCRIBE answer: one video and an
// optional audio section with their payload types, rtpmap and fmtp lines and track controls.
#pragma once

#include <string>

#include "tools/kvdevice/options.h"

namespace kvdevice {

enum class TrackKind { kVideo = 0, kAudio = 1 };

struct SdpSettings {
  std::string host;  // the server's numeric address
  bool ipv6 = false;
  std::string baseUrl;  // the URL of the stream, without a trailing '/'
  std::string control = "trackid";
  VideoCodec video = VideoCodec::kH264;
  std::string videoFmtp;  // the value after "a=fmtp:PT ", empty for none
  AudioCodec audio = AudioCodec::kNone;
  int frameRate = 25;
};

int PayloadType(VideoCodec codec);  // 96 H.264, 99 MPEG-4, 26 JPEG
int PayloadType(AudioCodec codec);  // 0 PCMU, 8 PCMA, 97 G.726
int ClockRate(TrackKind kind);      // 90000 or 8000

// The a=control value of a track: "trackID=1"/"trackID=2", "stream=0"/"stream=1", or the base
// URL with the latter appended.
std::string TrackControl(const std::string& control, const std::string& baseUrl, TrackKind kind);

std::string BuildSdp(const SdpSettings& settings);

}  // namespace kvdevice
