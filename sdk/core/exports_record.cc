// Exports: normal and alarm recording, and snapshots.
#include <algorithm>
#include <cstring>

#include "sdk/core/display_control.h"
#include "sdk/core/export_guard.h"
#include "sdk/platform/clock.h"
#include "sdk/record/ensure_directory.h"
#include "sdk/sources/av_source.h"

using kv::CNetClient;
using kv::WithClient;

namespace {

constexpr uint32_t kAlarmRecordLimitMs = 1800000;  // 30 minutes from the alarm's start

// True when text with its terminator fits a field of `field` bytes.
bool FitsField(const char* text, size_t field) {
  for (size_t i = 0; i < field; ++i) {
    if (text[i] == '\0') return true;
  }
  return false;
}

// Copies path into a 256-character field; false when it is empty or does not fit.
bool CopyPath(char (&field)[256], const char* path) {
  if (path == nullptr || path[0] == '\0' || !FitsField(path, sizeof field)) return false;
  std::strcpy(field, path);
  return true;
}

// Runs body with one of the source's record locks held. Starts and stops take the same lock,
// so the check of the flag, the path and limits written and the start are one step: a stop on
// the source thread (the time limit) never sees them half changed.
template <typename Body>
int UnderRecordLock(kv::CAVSource& source, void (kv::IRecord::*lock)(),
                    void (kv::IRecord::*unlock)(), Body body) {
  struct Leave {
    kv::CAVSource& source;
    void (kv::IRecord::*unlock)();
    ~Leave() { (source.*unlock)(); }
  };
  (source.*lock)();
  const Leave leave{source, unlock};
  return body();
}

}  // namespace

extern "C" {

// The file is written by the decode worker when the next picture is shown (or, while replay is
// paused or stepping, within 100 ms); a later request before that replaces the path.
KVNET_API int KVNET_CALL KVNET_ClientCapturePicture(KVNET_HANDLE handle, const char* path) {
  return WithClient(handle, 0, [&](CNetClient& c) {
    if (path == nullptr || path[0] == '\0' || !FitsField(path, sizeof c.m_snapshotPath)) return 0;
    kv::IDisplayControl* display = c.m_source ? c.m_source->Display() : nullptr;
    if (display == nullptr) return 0;
    if (kv::EnsureDirectory(path) == 0) return 0;
    return display->RequestCapture(path);
  });
}

KVNET_API int KVNET_CALL KVNET_ClientStartRecord(KVNET_HANDLE handle, const char* path,
                                                 int seconds) {
  return WithClient(handle, 0, [&](CNetClient& c) {
    if (!c.m_source) return 0;
    kv::CAVSource& source = *c.m_source;
    return UnderRecordLock(source, &kv::IRecord::LockRecord, &kv::IRecord::UnlockRecord, [&] {
      if (source.IsRecording()) return 1;
      if (!CopyPath(c.m_recordPath, path)) return 0;
      c.m_recordStart = kv::platform::GetTickCount();
      c.m_recordDuration = static_cast<uint32_t>(seconds) * 1000u;
      return source.StartRecord();
    });
  });
}

KVNET_API int KVNET_CALL KVNET_ClientStopRecord(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    if (!c.m_source || !c.m_source->IsRecording()) return 1;
    return c.m_source->StopRecord();
  });
}

KVNET_API int KVNET_CALL KVNET_ClientStartAlarmRecord(KVNET_HANDLE handle, const char* path,
                                                      unsigned int seconds) {
  return WithClient(handle, 0, [&](CNetClient& c) {
    if (!c.m_source) return 0;
    kv::CAVSource& source = *c.m_source;
    return UnderRecordLock(
        source, &kv::IRecord::LockAlarmRecord, &kv::IRecord::UnlockAlarmRecord, [&] {
          if (source.IsAlarmRecording()) {
            const uint32_t elapsed = kv::platform::GetTickCount() - c.m_alarmRecordStart;
            const uint64_t wanted = static_cast<uint64_t>(elapsed) + uint64_t{seconds} * 1000u;
            c.m_alarmRecordDuration =
                static_cast<uint32_t>(std::min<uint64_t>(wanted, kAlarmRecordLimitMs));
            return 1;
          }
          if (!CopyPath(c.m_alarmRecordPath, path)) return 0;
          c.m_alarmRecordDuration = seconds * 1000u;
          c.m_alarmRecordStart = kv::platform::GetTickCount();
          return source.StartAlarmRecord();
        });
  });
}

KVNET_API int KVNET_CALL KVNET_ClientStopAlarmRecord(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    if (!c.m_source || !c.m_source->IsAlarmRecording()) return 1;
    return c.m_source->StopAlarmRecord();
  });
}

}  // extern "C"
