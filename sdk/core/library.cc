// Library start-up, clean-up and the connection timing settings.
#include "sdk/core/library.h"

#include <xvid.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "sdk/core/log_writer.h"
#include "sdk/media/avcodec_loader.h"

namespace kv {
namespace {

std::mutex gHookMutex;
std::vector<void (*)()>& CleanupHooks() {
  static std::vector<void (*)()> hooks;
  return hooks;
}

}  // namespace

LibraryState& Library() {
  static LibraryState state;
  return state;
}

int LibraryStartup(int value1, int value2, KVNET_EventCallback callback, int value4) {
  // BSD sockets need no start; the socket layer sends without SIGPIPE.
  LibraryState& lib = Library();
  lib.value1 = value1;
  lib.value2 = value2;
  lib.eventCallback = callback;
  lib.value4 = value4;
  lib.h264DecoderLock.Initialise();
  lib.mjpegDecoderLock.Initialise();
  lib.codecLoaderLock.Initialise();

  xvid_gbl_init_t init{};
  init.version = XVID_MAKE_VERSION(1, 1, 3);
  init.cpu_flags = 0;  // automatic processor detection
  init.debug = 0;
  xvid_global(nullptr, XVID_GBL_INIT, &init, nullptr);
  return 1;
}

void LibraryCleanup() {
  CloseLog();
  std::vector<void (*)()> hooks;
  {
    std::lock_guard<std::mutex> lock(gHookMutex);
    hooks = CleanupHooks();
  }
  for (auto* hook : hooks) hook();
  AvcodecUnload();
}

int SetWaitTimes(int connectTimeout, int retryCount, int retryInterval) {
  WaitTimes& w = Library().waitTimes;
  w.connectTimeout = connectTimeout <= 0 ? 5 : connectTimeout;
  w.retryCount = (retryCount < 0 && retryCount != -1) ? 1 : retryCount;
  w.retryInterval = retryInterval < 0 ? 10 : retryInterval;
  return 1;
}

void RegisterCleanupHook(void (*hook)()) {
  std::lock_guard<std::mutex> lock(gHookMutex);
  auto& hooks = CleanupHooks();
  if (std::find(hooks.begin(), hooks.end(), hook) == hooks.end()) hooks.push_back(hook);
}

}  // namespace kv
