// Init, Build and Start of a new client; on failure everything created is destroyed.
#include "sdk/core/client_lifecycle.h"

#include <memory>
#include <new>

#include "sdk/core/net_client.h"

namespace kv {
namespace {

CNetClient* BuildAndStart(std::unique_ptr<CNetClient> client, int startPaused) {
  client->m_self = client.get();
  if (!client->Build()) return nullptr;  // the unique_ptr destroys what was created
  if (startPaused) client->m_replayControl.state = 1;
  if (!client->Start()) return nullptr;
  return client.release();
}

}  // namespace

CNetClient* CreateLiveClient(const KVNET_CLIENT_PARAM& param) {
  auto client = std::unique_ptr<CNetClient>(new (std::nothrow) CNetClient());
  if (!client || !client->InitLive(param)) return nullptr;
  return BuildAndStart(std::move(client), 0);
}

CNetClient* CreateReplayClient(const char* path, KVNET_HWND window, int startPaused) {
  auto client = std::unique_ptr<CNetClient>(new (std::nothrow) CNetClient());
  if (!client || !client->InitReplay(path, window)) return nullptr;
  return BuildAndStart(std::move(client), startPaused);
}

void DestroyClient(CNetClient* client) {
  client->Halt();
  client->Destroy();
  delete client;
}

}  // namespace kv
