// Device control for a client: its endpoint, event receiver and talk session.
#include "sdk/core/client_control.h"

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
  auto session = std::make_unique<CTalk2VS>(std::move(settings));
  if (!session->StartSession()) return nullptr;
  return session;
}

}  // namespace kv
