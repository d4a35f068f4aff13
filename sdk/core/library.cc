// Library start-up, clean-up and the connection timing settings.
#include "sdk/core/library.h"

#include "sdk/media/avcodec_loader.h"
#include "sdk/platform/xvid_dec.h"
#include "sdk/state/log_writer.h"

namespace kv {

int LibraryStartup(int value1, int value2, KVNET_EventCallback callback, int value4) {
  // BSD sockets need no start; the socket layer sends without SIGPIPE.
  LibraryState& lib = Library();
  lib.startupFirstValue = value1;
  lib.startupSecondValue = value2;
  lib.eventCallback = callback;
  lib.startupFourthValue = value4;
  lib.h264DecoderLock.Initialise();
  lib.mjpegDecoderLock.Initialise();
  lib.codecLoaderLock.Initialise();

  // The MPEG-4 decoder's process-wide set-up (automatic processor detection).
  platform::XvidGlobalInit();
  return 1;
}

void LibraryCleanup() {
  CloseLog();
  RunCleanupHooks();
  AvcodecUnload();
}

int SetWaitTimes(int connectTimeout, int retryCount, int retryInterval) {
  WaitTimes& w = Library().waitTimes;
  w.connectTimeout = connectTimeout <= 0 ? 5 : connectTimeout;
  w.retryCount = (retryCount < 0 && retryCount != -1) ? 1 : retryCount;
  w.retryInterval = retryInterval < 0 ? 10 : retryInterval;
  return 1;
}

}  // namespace kv
