// Exports: replay transport (pause, step, speed, position). The display worker and the file
// source carry the requests out.
#include <algorithm>

#include "sdk/core/export_guard.h"

using kv::CNetClient;
using kv::WithClient;

namespace {

constexpr int kMaxSpeed = 4;
constexpr int kMinSpeed = -4;

}  // namespace

extern "C" {

KVNET_API int KVNET_CALL KVNET_ReplayPause(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    c.m_replayControl.state = 1;
    c.m_replayControl.changed.Notify();
    return 1;
  });
}

KVNET_API int KVNET_CALL KVNET_ReplayContinue(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    c.m_replayControl.state = 0;
    c.m_replayControl.changed.Notify();
    return 1;
  });
}

KVNET_API int KVNET_CALL KVNET_ReplayStepByStep(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    c.m_replayControl.state = 2;
    c.m_replayControl.stepRequest = 1;
    c.m_replayControl.changed.Notify();
    return 1;
  });
}

KVNET_API int KVNET_CALL KVNET_SpeedFast(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    if (c.m_replayControl.speed.load() >= kMaxSpeed) return 0;
    ++c.m_replayControl.speed;
    return 1;
  });
}

KVNET_API int KVNET_CALL KVNET_SpeedNormal(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    c.m_replayControl.speed = 0;
    return 1;
  });
}

KVNET_API int KVNET_CALL KVNET_SpeedSlow(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    if (c.m_replayControl.speed.load() <= kMinSpeed) return 0;
    --c.m_replayControl.speed;
    return 1;
  });
}

KVNET_API unsigned int KVNET_CALL KVNET_ReplayTotalTime(KVNET_HANDLE handle) {
  return WithClient(handle, 0u, [](CNetClient& c) { return c.m_replayControl.totalTime.load(); });
}

KVNET_API unsigned int KVNET_CALL KVNET_ReplayCurTime(KVNET_HANDLE handle) {
  return WithClient(handle, 0u, [](CNetClient& c) {
    return std::min(c.m_replayControl.curTime.load(), c.m_replayControl.totalTime.load());
  });
}

KVNET_API int KVNET_CALL KVNET_ReplaySeek(KVNET_HANDLE handle, unsigned int seconds) {
  return WithClient(handle, 0, [&](CNetClient& c) {
    const uint32_t total = c.m_replayControl.totalTime.load();
    if (total == 0) return 0;
    const uint32_t t = std::min(seconds, total);
    c.m_replayControl.seekTarget = t;
    c.m_replayControl.curTime = t;
    c.m_replayControl.seekPending = 1;
    if (c.m_replayControl.state.load() == 1) c.m_replayControl.seekWhilePaused = 1;
    c.m_replayControl.changed.Notify();
    return 1;
  });
}

}  // extern "C"
