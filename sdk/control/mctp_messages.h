// MCTP/1.0 requests and reply checks, pure: request texts as the device expects them, and the
// rules that decide whether a reply accepts a command and what it carries. Replies are
// NUL-terminated texts as one receive gave them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "KvNetClient.h"

namespace kv {

// Requests are formatted into a buffer of this size; one that would not fit is refused.
inline constexpr size_t kMctpRequestCapacity = 1024;
// A reply is read with one receive of at most this many bytes.
inline constexpr size_t kMctpReplyCapacity = 1024;

// Motion-detection operations (first field of a "CMD:MD" request).
enum class MdOperation { kSave = 1, kGet = 2, kStart = 3, kStop = 4 };

std::string MdRequest(MdOperation operation, int channel);
// The save request with all 16 region lines; nothing when it would not fit the request buffer.
std::optional<std::string> MdSaveRequest(int channel, const KVNET_MD_INFO& info);
std::string StopAlarmRequest(int value, int channel);
// mode 1 sets (operation 3), mode 2 operation 4, anything else operation 2; each value is
// reduced to its low 8 bits.
std::string SetVideoParamRequest(int channel, int p1, int p2, int p3, int mode);
std::string GetVideoParamRequest(int channel);
std::string PtzRequest(int channel, int command, int parameter);
// codec: 2 for G.711 mu-law talk, 16 for G.726 at 32 kbit/s.
std::string TalkRequest(int channel, int codec);
std::string LoginRequest(const std::string& sessionId, int channel);
inline constexpr const char* kKeepAliveRequest = "CMD:ALIVE MCTP/1.0 CS\nEND\n";

// 18 lines, the "CMD:MD MCTP/1.0" line and 16 region lines of 8 fields. The caller's record is
// filled line by line, so after a failure it holds the lines read so far. 1/0.
int CheckMdGetReply(const char* reply, KVNET_MD_INFO* info);
// Three lines; the second of 8 fields ("@%d" x 8) with the third field 1 (save, start, stop).
int CheckMdResultReply(const char* reply);
// Three lines; the second "@%d@%d@%d" with the third field 1.
int CheckStopAlarmReply(const char* reply);
// Three lines; the second "@%d@%d@%d@" with the third field 1.
int CheckSetVideoParamReply(const char* reply);
// Three lines; the second "@%d@%d@%d@%d@%d@"; fields 3, 4, 5 to p1, p2, p3 (low 8 bits).
int CheckGetVideoParamReply(const char* reply, uint8_t* p1, uint8_t* p2, uint8_t* p3);

struct TalkReply {
  bool accepted = false;
  bool deviceSendsAudio = false;
};
// Exactly two lines, the "CMD:TALK" line and "@%d@%d@" (or "@%d@%d@%d@") with the second
// field 1; the first field non-zero when the device will send audio.
TalkReply CheckTalkReply(const char* reply);
// Exactly three lines; the second "@%d@%d@%d" with a non-zero third field.
int CheckLoginReply(const char* reply);

}  // namespace kv
