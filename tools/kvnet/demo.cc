// kvnet demo: starts the library, shows its settings, events and client lifecycle through the
// public interface, and reports what this build can and cannot do yet.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "KvNetClient.h"
#include "kvnet/commands.h"

namespace kvnet {
namespace {

std::atomic<int> gEvents{0};

void KVNET_CALL OnEvent(KVNET_HANDLE client, int eventClass, int code, int userValue) {
  ++gEvents;
  std::printf("event: client %p class %d code %d user %d\n", static_cast<void*>(client),
              eventClass, code, userValue);
}

bool Check(const char* what, bool ok) {
  std::printf("  %-58s %s\n", what, ok ? "ok" : "FAILED");
  return ok;
}

}  // namespace

int RunDemo(int, char**) {
  bool ok = true;
  std::puts("KvNetClient demo");
  ok &= Check("KVNET_Startup", KVNET_Startup(0, 0, OnEvent, 0) == 1);
  ok &= Check("KVNET_SetWaitTime(3, -1, 2)", KVNET_SetWaitTime(3, -1, 2) == 1);
  ok &= Check("KVNET_GetClientState(null) is 0xFFFF", KVNET_GetClientState(nullptr) == 0xFFFF);

  KVNET_CLIENT_PARAM param;
  std::memset(&param, 0, sizeof param);
  param.transport = 3;
  std::strcpy(param.address, "127.0.0.1:5000");
  ok &= Check("an unknown transport is refused", KVNET_ClientStart(&param) == nullptr);

  param.transport = TRANSPORT_UDP;
  KVNET_HANDLE live = KVNET_ClientStart(&param);
  if (live != nullptr) {
    std::printf("  live client started: state %d\n", KVNET_GetClientState(live));
    KVNET_ClientStop(live);
  } else {
    std::puts("  live view: no stream source is part of this build yet (client refused cleanly)");
  }
  KVNET_HANDLE replay = KVNET_OpenFile("/nonexistent/demo.rec", 0, 1);
  ok &= Check("a missing record file is refused", replay == nullptr);

  KVNET_Cleanup();
  std::printf("events received: %d\n", gEvents.load());
  std::puts(ok ? "demo finished: ok" : "demo finished: FAILED");
  return ok ? 0 : 1;
}

}  // namespace kvnet
