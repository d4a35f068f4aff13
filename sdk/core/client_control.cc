// Device control for a client: its endpoint, event receiver and talk session.
#include "sdk/core/client_control.h"

#include <cstdlib>

#include "sdk/control/event_receiver.h"
#include "sdk/control/talk_session.h"
#include "sdk/core/net_client.h"

namespace kv {

DeviceEndpoint EndpointOf(const CNetClient& client) {
  DeviceEndpoint device;
  device.host = client.m_link.host;
  // The port field is 16 bits wide; ports above 32767 are kept as their unsigned value.
  device.port = static_cast<uint16_t>(client.m_link.port);
  device.channel = client.m_link.param.channel;
  device.user = client.m_link.param.userName;
  device.password = client.m_link.param.password;
  return device;
}

std::unique_ptr<IEventReceiver> MakeEventReceiver(CNetClient& client) {
  return std::make_unique<CEventReceiver2>(EndpointOf(client), &client.m_viewState.motion, &client);
}

std::unique_ptr<ITalkSession> StartTalkSession(CNetClient& client) {
  TalkSettings settings;
  settings.device = EndpointOf(client);
  settings.deviceGeneration = &client.m_stream.deviceGeneration;
  // Talk may have wave devices of its own, apart from the live view's sound (which takes
  // KVNET_AUDIO_OUT): two devices writing one WAV file would spoil it.
  if (const char* in = std::getenv("KVNET_TALK_IN"); in != nullptr && *in != '\0') {
    settings.captureDevice = in;
  }
  if (const char* out = std::getenv("KVNET_TALK_OUT"); out != nullptr && *out != '\0') {
    settings.playbackDevice = out;
  }
  auto session = std::make_unique<CTalk2VS>(std::move(settings));
  if (!session->StartSession()) return nullptr;
  return session;
}

}  // namespace kv
