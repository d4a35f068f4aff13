// Exports: library start-up and clean-up, timing settings, the log and process-wide callbacks.
#include <cstdarg>

#include "sdk/core/export_guard.h"
#include "sdk/core/library.h"
#include "sdk/state/log_writer.h"

using kv::Guarded;

extern "C" {

KVNET_API int KVNET_CALL KVNET_Startup(int value1, int value2, KVNET_EventCallback callback,
                                       int value4) {
  return Guarded(0, [&] { return kv::LibraryStartup(value1, value2, callback, value4); });
}

KVNET_API void KVNET_CALL KVNET_Cleanup(void) {
  Guarded(0, [] {
    kv::LibraryCleanup();
    return 0;
  });
}

KVNET_API int KVNET_CALL KVNET_SetWaitTime(int connectTimeout, int retryCount, int retryInterval) {
  return Guarded(1, [&] { return kv::SetWaitTimes(connectTimeout, retryCount, retryInterval); });
}

KVNET_API int KVNET_Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = Guarded(0, [&] { return kv::LogPrintV(format, args); });
  va_end(args);
  return n;
}

KVNET_API KVNET_AVCallback KVNET_CALL KVNET_SetAVCallback(KVNET_AVCallback callback) {
  kv::Library().avCallback = callback;
  return callback;
}

KVNET_API KVNET_DrawCallback KVNET_CALL KVNET_SetDrawCallback(KVNET_DrawCallback callback) {
  kv::Library().drawCallback = callback;
  return callback;
}

KVNET_API int KVNET_CALL KVNET_ClientShowcallback(int, int, int) { return 1; }

}  // extern "C"
