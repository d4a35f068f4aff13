// What device control takes from a client: its control endpoint, its event receiver and its
// talk session.
#pragma once

#include <memory>

#include "sdk/control/control_seams.h"

namespace kv {

class CNetClient;

// The client's device host and port (the RTSP port), channel and credentials.
DeviceEndpoint EndpointOf(const CNetClient& client);
// The event receiver of an RTSP client, raising its events through the client.
std::unique_ptr<IEventReceiver> MakeEventReceiver(CNetClient& client);
// A talk session for the client, its thread started; null when it could not be started.
std::unique_ptr<ITalkSession> StartTalkSession(CNetClient& client);

}  // namespace kv
