// Library start-up and clean-up and the connection timing settings, over the library-wide
// state of sdk/state.
#pragma once

#include "KvNetClient.h"
#include "sdk/state/library_state.h"

namespace kv {

// KVNET_Startup / KVNET_Cleanup / KVNET_SetWaitTime without the C frame.
int LibraryStartup(int value1, int value2, KVNET_EventCallback callback, int value4);
void LibraryCleanup();
int SetWaitTimes(int connectTimeout, int retryCount, int retryInterval);

}  // namespace kv
