// Exports: sound on and off.
#include "sdk/core/export_guard.h"
#include "sdk/media/conduit.h"

using kv::CNetClient;
using kv::WithClient;

extern "C" {

KVNET_API int KVNET_CALL KVNET_ClientPlayAudio(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    c.m_sound.on = 1;
    return 1;
  });
}

KVNET_API int KVNET_CALL KVNET_ClientStopAudio(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    c.m_sound.on = 0;
    // Drop queued sound so that none of it plays at the next start.
    if (c.m_audioConduit != nullptr) c.m_audioConduit->Clear();
    return 1;
  });
}

}  // extern "C"
