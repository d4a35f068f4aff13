// Sends the simulated camera's frames as the proprietary UDP stream: packetises, passes the
// datagrams through the fault injector and writes them to the socket.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/kvdevice/faults.h"
#include "tools/kvdevice/media_source.h"
#include "tools/kvdevice/options.h"
#include "tools/kvdevice/proprietary_packetiser.h"
#include "tools/kvdevice/udp_socket.h"

namespace kvdevice {

struct SendCounts {
  uint64_t pictures = 0;
  uint64_t audioFrames = 0;
  uint64_t datagrams = 0;  // put on the wire, after fault injection
  uint64_t bytes = 0;
};

// Sequence numbers a frame was given (first..last, both included) and its stream id.
struct FrameSequence {
  uint32_t streamId = 0;
  uint32_t first = 0;
  uint32_t last = 0;
};

class ProprietarySender {
 public:
  ProprietarySender(const Options& options, std::unique_ptr<UdpSocket> socket);

  bool send(const MediaFrame& frame, FrameSequence& sequence);
  // Sends what the reordering window still holds.
  bool finish();

  const SendCounts& counts() const { return counts_; }
  const FaultCounts& faultCounts() const { return faults_.counts(); }
  std::string errorText() const { return socket_->errorText(); }

 private:
  bool transmit();

  std::unique_ptr<UdpSocket> socket_;
  ProprietaryPacketiser packetiser_;
  FaultInjector faults_;
  std::vector<Datagram> packed_;
  std::vector<Datagram> wire_;
  SendCounts counts_;
};

}  // namespace kvdevice
