// Session description media sections.
#include "sdk/sources/sdp_description.h"

#include <sstream>

namespace kv {

std::vector<SdpMedia> ParseSdpMedia(const std::string& text) {
  std::vector<SdpMedia> media;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("m=", 0) == 0) {
      SdpMedia m;
      const size_t space = line.find(' ');
      m.kind = line.substr(2, space == std::string::npos ? std::string::npos : space - 2);
      media.push_back(m);
    } else if (line.rfind("a=control:", 0) == 0 && !media.empty() && media.back().control.empty()) {
      media.back().control = line.substr(10);
    }
  }
  return media;
}

std::string ResolveControl(const std::string& base, const std::string& control) {
  if (control.empty() || control == "*") return base;
  if (control.size() >= 7 &&
      (control.compare(0, 7, "rtsp://") == 0 || control.compare(0, 7, "RTSP://") == 0)) {
    return control;
  }
  if (!base.empty() && base.back() == '/') return base + control;
  return base + "/" + control;
}

bool FindControlUrls(const std::string& text, const std::string& base, std::string* video,
                     std::string* audio) {
  video->clear();
  audio->clear();
  bool haveVideo = false, haveAudio = false;
  for (const SdpMedia& m : ParseSdpMedia(text)) {
    if (m.kind == "video" && !haveVideo) {
      haveVideo = true;
      *video = ResolveControl(base, m.control);
    } else if (m.kind == "audio" && !haveAudio) {
      haveAudio = true;
      *audio = ResolveControl(base, m.control);
    }
  }
  return haveVideo;
}

}  // namespace kv
