// The stream description (SDP) of the simulated camera.
#include "tools/kvdevice/sdp.h"

namespace kvdevice {

int PayloadType(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::kH264:
      return 96;
    case VideoCodec::kMpeg4:
      return 99;
    case VideoCodec::kMjpeg:
      return 26;
  }
  return 96;
}

int PayloadType(AudioCodec codec) {
  switch (codec) {
    case AudioCodec::kG711U:
      return 0;
    case AudioCodec::kG711A:
      return 8;
    default:
      return 97;
  }
}

int ClockRate(TrackKind kind) { return kind == TrackKind::kVideo ? 90000 : 8000; }

std::string TrackControl(const std::string& control, const std::string& baseUrl, TrackKind kind) {
  const bool video = kind == TrackKind::kVideo;
  if (control == "trackid") return video ? "trackID=1" : "trackID=2";
  const std::string name = video ? "stream=0" : "stream=1";
  if (control == "absolute") return baseUrl + "/" + name;
  return name;
}

namespace {

std::string AudioMap(AudioCodec codec) {
  switch (codec) {
    case AudioCodec::kG711U:
      return "PCMU/8000";
    case AudioCodec::kG711A:
      return "PCMA/8000";
    case AudioCodec::kG726_16:
      return "G726-16/8000";
    case AudioCodec::kG726_24:
      return "G726-24/8000";
    case AudioCodec::kG726_32:
      return "G726-32/8000";
    case AudioCodec::kG726_40:
      return "G726-40/8000";
    case AudioCodec::kNone:
      break;
  }
  return {};
}

std::string VideoMap(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::kH264:
      return "H264/90000";
    case VideoCodec::kMpeg4:
      return "MP4V-ES/90000";
    case VideoCodec::kMjpeg:
      return "JPEG/90000";
  }
  return {};
}

}  // namespace

std::string BuildSdp(const SdpSettings& s) {
  const std::string family = s.ipv6 ? "IP6" : "IP4";
  std::string t = "v=0\r\n";
  t += "o=- 1 1 IN " + family + " " + s.host + "\r\n";
  t += "s=kvdevice\r\n";
  t += "c=IN " + family + " " + (s.ipv6 ? "::" : "0.0.0.0") + "\r\n";
  t += "t=0 0\r\n";
  t += "a=control:*\r\n";
  t += "a=range:npt=0-\r\n";
  const std::string vpt = std::to_string(PayloadType(s.video));
  t += "m=video 0 RTP/AVP " + vpt + "\r\n";
  t += "a=rtpmap:" + vpt + " " + VideoMap(s.video) + "\r\n";
  if (!s.videoFmtp.empty()) t += "a=fmtp:" + vpt + " " + s.videoFmtp + "\r\n";
  t += "a=framerate:" + std::to_string(s.frameRate) + "\r\n";
  t += "a=control:" + TrackControl(s.control, s.baseUrl, TrackKind::kVideo) + "\r\n";
  if (s.audio != AudioCodec::kNone) {
    const std::string apt = std::to_string(PayloadType(s.audio));
    t += "m=audio 0 RTP/AVP " + apt + "\r\n";
    t += "a=rtpmap:" + apt + " " + AudioMap(s.audio) + "\r\n";
    t += "a=control:" + TrackControl(s.control, s.baseUrl, TrackKind::kAudio) + "\r\n";
  }
  return t;
}

}  // namespace kvdevice
