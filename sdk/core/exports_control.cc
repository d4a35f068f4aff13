// Exports: device control over the command channel and two-way talk. This build has no
// command channel yet: every request fails without sending anything. Talk stop still ends a
// session if one exists.
#include "sdk/core/export_guard.h"

using kv::CNetClient;
using kv::WithClient;

namespace {

// Every command fails: over the proprietary UDP transport there is no command channel at all,
// and the command channel of the RTSP transports is not part of this build.
int CommandUnavailable(CNetClient&) { return 0; }

}  // namespace

extern "C" {

KVNET_API int KVNET_CALL KVNET_ClientSetVideoParam(KVNET_HANDLE handle, int, int, int, int) {
  return WithClient(handle, 0, CommandUnavailable);
}

KVNET_API int KVNET_CALL KVNET_ClientGetVideoParam(KVNET_HANDLE handle, uint8_t*, uint8_t*,
                                                   uint8_t*) {
  return WithClient(handle, 0, CommandUnavailable);
}

KVNET_API int KVNET_CALL KVNET_ClientPTZCtrl(KVNET_HANDLE handle, int, int) {
  return WithClient(handle, 0, CommandUnavailable);
}

KVNET_API int KVNET_CALL KVNET_ClientGetMDInfo(KVNET_HANDLE handle, KVNET_MD_INFO*) {
  return WithClient(handle, 0, CommandUnavailable);
}

KVNET_API int KVNET_CALL KVNET_ClientSaveMDInfo(KVNET_HANDLE handle, const KVNET_MD_INFO*) {
  return WithClient(handle, 0, CommandUnavailable);
}

KVNET_API int KVNET_CALL KVNET_ClientStartMD(KVNET_HANDLE handle) {
  return WithClient(handle, 0, CommandUnavailable);
}

KVNET_API int KVNET_CALL KVNET_ClientStopMD(KVNET_HANDLE handle) {
  return WithClient(handle, 0, CommandUnavailable);
}

KVNET_API int KVNET_CALL KVNET_ClientStopAlarm(KVNET_HANDLE handle, int) {
  return WithClient(handle, 0, CommandUnavailable);
}

KVNET_API int KVNET_CALL KVNET_ClientStartTalk(KVNET_HANDLE handle) {
  return WithClient(handle, 0, CommandUnavailable);
}

KVNET_API void KVNET_CALL KVNET_ClientStopTalk(KVNET_HANDLE handle) {
  WithClient(handle, 0, [](CNetClient& c) {
    if (c.m_talk) {
      c.m_talk->Halt();
      c.m_talk.reset();
    }
    return 0;
  });
}

}  // extern "C"
