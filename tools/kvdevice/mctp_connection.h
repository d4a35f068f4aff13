// One MCTP/1.0 connection to the simulated device: reads its first request and serves it: a
// one-shot command (motion detection, alarm reset, video parameters, pan/tilt/zoom) answered
// and closed, an event channel after a log-in, or talk.
#pragma once

#include <atomic>

#include "tools/kvdevice/mctp_context.h"
#include "tools/kvdevice/tcp_server.h"

namespace kvdevice {

class MctpConnection : public ConnectionHandler {
 public:
  explicit MctpConnection(MctpContext& context) : context_(context) {}
  void serve(TcpConnection& connection, const std::atomic<bool>& stopping) override;

 private:
  void answer(TcpConnection& connection, const std::atomic<bool>& stopping, const Request& request,
              const MctpMessage& message);

  MctpContext& context_;
};

}  // namespace kvdevice
