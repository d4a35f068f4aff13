// Creation and destruction of clients behind KVNET_ClientStart/Stop and KVNET_OpenFile/CloseFile.
#pragma once

#include "KvNetClient.h"

namespace kv {

class CNetClient;

CNetClient* CreateLiveClient(const KVNET_CLIENT_PARAM& param);
CNetClient* CreateReplayClient(const char* path, KVNET_HWND window, int startPaused);
// Halt, Destroy and free.
void DestroyClient(CNetClient* client);

}  // namespace kv
