// Exports: device control over the command channel and two-way talk. The glue reads the
// client's device address, refuses clients of the proprietary UDP transport (which has no
// command channel) without connecting, and hands the request to sdk/control.
#include "sdk/control/device_commands.h"
#include "sdk/core/client_control.h"
#include "sdk/core/export_guard.h"

using kv::CNetClient;
using kv::WithClient;

namespace {

bool HasCommandChannel(const CNetClient& c) {
  return c.m_link.replay == 0 && c.m_link.param.transport != TRANSPORT_UDP;
}

// Runs command(endpoint) for a client with a command channel; 0 otherwise.
template <typename Command>
int RunCommand(KVNET_HANDLE handle, Command&& command) {
  return WithClient(handle, 0, [&](CNetClient& c) {
    if (!HasCommandChannel(c)) return 0;
    return command(c, kv::EndpointOf(c));
  });
}

void HaltTalk(CNetClient& c) {
  if (c.m_talk) {
    c.m_talk->Halt();
    c.m_talk.reset();
  }
}

}  // namespace

extern "C" {

KVNET_API int KVNET_CALL KVNET_ClientSetVideoParam(KVNET_HANDLE handle, int p1, int p2, int p3,
                                                   int mode) {
  return RunCommand(handle, [&](CNetClient&, const kv::DeviceEndpoint& device) {
    return kv::SetVideoParam(device, p1, p2, p3, mode);
  });
}

KVNET_API int KVNET_CALL KVNET_ClientGetVideoParam(KVNET_HANDLE handle, uint8_t* p1, uint8_t* p2,
                                                   uint8_t* p3) {
  if (p1 == nullptr || p2 == nullptr || p3 == nullptr) return 0;
  return RunCommand(handle, [&](CNetClient&, const kv::DeviceEndpoint& device) {
    return kv::GetVideoParam(device, p1, p2, p3);
  });
}

KVNET_API int KVNET_CALL KVNET_ClientPTZCtrl(KVNET_HANDLE handle, int command, int parameter) {
  return RunCommand(handle, [&](CNetClient&, const kv::DeviceEndpoint& device) {
    return kv::PTZCtrl(device, command, parameter);
  });
}

KVNET_API int KVNET_CALL KVNET_ClientGetMDInfo(KVNET_HANDLE handle, KVNET_MD_INFO* info) {
  if (info == nullptr) return 0;
  return RunCommand(handle, [&](CNetClient& c, const kv::DeviceEndpoint& device) {
    if (!kv::GetMDInfo(device, info)) return 0;
    kv::StoreSettings(c.m_viewState.motion, *info);
    return 1;
  });
}

KVNET_API int KVNET_CALL KVNET_ClientSaveMDInfo(KVNET_HANDLE handle, const KVNET_MD_INFO* info) {
  if (info == nullptr) return 0;
  return RunCommand(handle, [&](CNetClient& c, const kv::DeviceEndpoint& device) {
    if (!kv::SaveMDInfo(device, *info)) return 0;
    kv::StoreSettings(c.m_viewState.motion, *info);
    return 1;
  });
}

KVNET_API int KVNET_CALL KVNET_ClientStartMD(KVNET_HANDLE handle) {
  return RunCommand(
      handle, [](CNetClient&, const kv::DeviceEndpoint& device) { return kv::StartMD(device); });
}

KVNET_API int KVNET_CALL KVNET_ClientStopMD(KVNET_HANDLE handle) {
  return RunCommand(
      handle, [](CNetClient&, const kv::DeviceEndpoint& device) { return kv::StopMD(device); });
}

KVNET_API int KVNET_CALL KVNET_ClientStopAlarm(KVNET_HANDLE handle, int value) {
  return RunCommand(handle, [&](CNetClient&, const kv::DeviceEndpoint& device) {
    return kv::StopAlarm(device, value);
  });
}

KVNET_API int KVNET_CALL KVNET_ClientStartTalk(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    if (!HasCommandChannel(c)) return 0;
    HaltTalk(c);
    c.m_talk = kv::StartTalkSession(c);
    return c.m_talk ? 1 : 0;
  });
}

KVNET_API void KVNET_CALL KVNET_ClientStopTalk(KVNET_HANDLE handle) {
  WithClient(handle, 0, [](CNetClient& c) {
    HaltTalk(c);
    return 0;
  });
}

}  // extern "C"
