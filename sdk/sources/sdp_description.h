// The media sections of a session description and the control URLs of their tracks, for
// descriptions that name their tracks by a=control instead of "trackID=".
#pragma once

#include <string>
#include <vector>

namespace kv {

struct SdpMedia {
  std::string kind;     // "video", "audio", ...
  std::string control;  // the a=control value of the section, empty when none
};

// The media sections of the description in text (an RTSP answer or its body), in order.
std::vector<SdpMedia> ParseSdpMedia(const std::string& text);

// The control URL of a track: an absolute "rtsp://" control as it is, "*" or an empty one as
// the base, anything else appended to the base with one '/'. A session-level control is not
// taken into account.
std::string ResolveControl(const std::string& base, const std::string& control);

// The video and the audio track controls, resolved against base: the first video section, then
// the first audio section. False when there is no video section with a control.
bool FindControlUrls(const std::string& text, const std::string& base, std::string* video,
                     std::string* audio);

}  // namespace kv
