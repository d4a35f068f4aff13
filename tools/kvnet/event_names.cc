// Names of the library's event classes, event codes, client states and codec codes.
#include "kvnet/event_names.h"

#include <cstdio>

#include "KvNetClient.h"

namespace kvnet {
namespace {

const char* LinkName(int code) {
  switch (code) {
    case LINK_CONNECTED:
      return "LINK_CONNECTED";
    case LINK_CONNECTING:
      return "LINK_CONNECTING";
    case LINK_CONNECT_FAILED:
      return "LINK_CONNECT_FAILED";
    case LINK_LOST:
      return "LINK_LOST";
    case LINK_RETRYING:
      return "LINK_RETRYING";
    case LINK_CLOSED:
      return "LINK_CLOSED";
    case LINK_AUTH_FAILED:
      return "LINK_AUTH_FAILED";
  }
  return nullptr;
}

const char* RecordName(int code) {
  switch (code) {
    case REC_STARTED:
      return "REC_STARTED";
    case REC_STOPPED:
      return "REC_STOPPED";
    case ALARM_REC_STARTED:
      return "ALARM_REC_STARTED";
    case ALARM_REC_STOPPED:
      return "ALARM_REC_STOPPED";
    case REC_TIME_UP:
      return "REC_TIME_UP";
    case ALARM_REC_TIME_UP:
      return "ALARM_REC_TIME_UP";
  }
  return nullptr;
}

}  // namespace

std::string EventClassName(int eventClass) {
  switch (eventClass) {
    case KV_EVENT_LINK:
      return "LINK";
    case KV_EVENT_MOTION:
      return "MOTION";
    case KV_EVENT_ALARM:
      return "ALARM";
    case KV_EVENT_RECORD:
      return "RECORD";
    case KV_EVENT_REPLAY_END:
      return "REPLAY_END";
  }
  return "class " + std::to_string(eventClass);
}

std::string EventCodeName(int eventClass, int code) {
  const char* name = nullptr;
  if (eventClass == KV_EVENT_LINK) name = LinkName(code);
  if (eventClass == KV_EVENT_RECORD) name = RecordName(code);
  if (name != nullptr) return name;
  if (eventClass == KV_EVENT_REPLAY_END && code == 0) return "";
  if (eventClass == KV_EVENT_MOTION) {
    char mask[16];
    std::snprintf(mask, sizeof mask, "0x%04X", static_cast<unsigned>(code) & 0xFFFFu);
    // The moving regions by number, as the overlay labels them: "regions 0x0024 (2 5)".
    std::string list;
    for (int i = 0; i < 16; ++i) {
      if ((code >> i) & 1) list += (list.empty() ? "" : " ") + std::to_string(i);
    }
    return std::string("regions ") + mask + " (" + (list.empty() ? "none" : list) + ")";
  }
  return std::to_string(code);
}

std::string ClientStateName(int state) {
  if (state == KVNET_INVALID_STATE) return "INVALID";
  if (const char* name = LinkName(state)) return name;
  return std::to_string(state);
}

std::string VideoCodecName(int code) {
  switch (code) {
    case 0:
      return "-";
    case VCODEC_H264:
      return "H.264";
    case VCODEC_MPEG4:
      return "MPEG-4";
    case VCODEC_MJPEG:
      return "MJPEG";
  }
  return "video " + std::to_string(code);
}

std::string AudioCodecName(int code) {
  switch (code) {
    case 0:
      return "-";
    case ACODEC_G711A:
      return "G.711A";
    case ACODEC_G711U:
      return "G.711U";
    case ACODEC_G726_16:
      return "G.726-16";
    case ACODEC_G726_24:
      return "G.726-24";
    case ACODEC_G726_32:
      return "G.726-32";
    case ACODEC_G726_40:
      return "G.726-40";
  }
  return "audio " + std::to_string(code);
}

}  // namespace kvnet
