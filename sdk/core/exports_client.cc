// Exports: creation, destruction and state queries of clients.
#include "sdk/core/client_lifecycle.h"
#include "sdk/core/export_guard.h"

using kv::CNetClient;
using kv::Guarded;
using kv::WithClient;

extern "C" {

KVNET_API KVNET_HANDLE KVNET_CALL KVNET_ClientStart(const KVNET_CLIENT_PARAM* param) {
  if (param == nullptr) return nullptr;
  return Guarded<KVNET_HANDLE>(nullptr, [&]() -> KVNET_HANDLE {
    CNetClient* client = kv::CreateLiveClient(*param);
    return client != nullptr ? client->Handle() : nullptr;
  });
}

KVNET_API int KVNET_CALL KVNET_ClientStop(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    kv::DestroyClient(&c);
    return 1;
  });
}

KVNET_API KVNET_HANDLE KVNET_CALL KVNET_OpenFile(const char* path, KVNET_HWND wnd,
                                                 int startPaused) {
  if (path == nullptr) return nullptr;
  return Guarded<KVNET_HANDLE>(nullptr, [&]() -> KVNET_HANDLE {
    CNetClient* client = kv::CreateReplayClient(path, wnd, startPaused);
    return client != nullptr ? client->Handle() : nullptr;
  });
}

KVNET_API int KVNET_CALL KVNET_CloseFile(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    kv::DestroyClient(&c);
    return 1;
  });
}

KVNET_API int KVNET_CALL KVNET_GetClientState(KVNET_HANDLE handle) {
  return WithClient(handle, KVNET_INVALID_STATE,
                    [](CNetClient& c) { return c.m_link.state.load(); });
}

KVNET_API int KVNET_CALL KVNET_GetBitStreamInfo(KVNET_HANDLE handle, int* bitRate, int* frameRate) {
  return WithClient(handle, 0, [&](CNetClient& c) {
    if (bitRate != nullptr) *bitRate = static_cast<int>(c.m_counters.bitRate.load());
    if (frameRate != nullptr) *frameRate = static_cast<int>(c.m_counters.frameRate.load());
    return 1;
  });
}

KVNET_API int KVNET_CALL KVNET_GetClientParam(KVNET_HANDLE handle, KVNET_VIDEO_INFO* info) {
  return WithClient(handle, 0, [&](CNetClient& c) {
    if (info != nullptr) {
      info->width = static_cast<uint16_t>(c.m_stream.width.load());
      info->height = static_cast<uint16_t>(c.m_stream.height.load());
      info->frameRate = static_cast<uint16_t>(c.m_stream.frameRate.load());
      info->videoCodec = c.m_stream.videoCodec.load();
      info->audioCodec = c.m_stream.audioCodec.load();
      info->bitRate = static_cast<uint32_t>(c.m_stream.bitRate.load());
    }
    return 0;
  });
}

}  // extern "C"
