// Exports: recording and snapshots. This build has no record-file writer and no JPEG
// snapshot writer yet, so each request fails and changes nothing.
#include "sdk/core/export_guard.h"

using kv::CNetClient;
using kv::WithClient;

namespace {

int RecorderUnavailable(CNetClient&) { return 0; }

}  // namespace

extern "C" {

KVNET_API int KVNET_CALL KVNET_ClientCapturePicture(KVNET_HANDLE handle, const char*) {
  return WithClient(handle, 0, RecorderUnavailable);
}

KVNET_API int KVNET_CALL KVNET_ClientStartRecord(KVNET_HANDLE handle, const char*, int) {
  return WithClient(handle, 0, RecorderUnavailable);
}

KVNET_API int KVNET_CALL KVNET_ClientStopRecord(KVNET_HANDLE handle) {
  return WithClient(handle, 0, RecorderUnavailable);
}

KVNET_API int KVNET_CALL KVNET_ClientStartAlarmRecord(KVNET_HANDLE handle, const char*,
                                                      unsigned int) {
  return WithClient(handle, 0, RecorderUnavailable);
}

KVNET_API int KVNET_CALL KVNET_ClientStopAlarmRecord(KVNET_HANDLE handle) {
  return WithClient(handle, 0, RecorderUnavailable);
}

}  // extern "C"
