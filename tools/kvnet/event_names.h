// Names of the library's event classes, event codes, client states and codec codes, for printing.
#pragma once

#include <string>

namespace kvnet {

// "LINK", "MOTION", "ALARM", "RECORD", "REPLAY_END", or "class N".
std::string EventClassName(int eventClass);
// The code's name for link and record events ("LINK_CONNECTED", "REC_TIME_UP"), the region mask
// in hex with the region numbers for motion ("regions 0x0024 (2 5)"), the value for alarms, nothing
// for the end of a replay (its code is always 0), otherwise the number.
std::string EventCodeName(int eventClass, int code);
// "LINK_CONNECTED" ... "LINK_AUTH_FAILED", "INVALID" for KVNET_INVALID_STATE, else the number.
std::string ClientStateName(int state);
// "H.264", "MPEG-4", "MJPEG"; "-" while unknown (0).
std::string VideoCodecName(int code);
// "G.711A", "G.711U", "G.726-16" ... "G.726-40"; "-" while unknown (0).
std::string AudioCodecName(int code);

}  // namespace kvnet
