// A live client for kvnet's device-control commands: one RTSP channel of a device, without a
// window, through the public interface; stopped and the library cleaned up with the object.
#pragma once

#include <string>

#include "KvNetClient.h"

namespace kvnet {

struct ControlTarget {
  std::string address;  // "host" or "host:port"
  int channel = 1;
  bool udpRtp = false;     // RTSP over UDP instead of interleaved TCP
  bool udpStream = false;  // the proprietary UDP stream (a local HOST:PORT to listen on)
  std::string user;
  std::string password;
};

// Reads "--channel N", "--rtsp-udp", "--udp", "--user U", "--password P" at argv[*i] into target;
// true when argv[*i] was one of them (and *i moved past its value). *error tells a bad value.
bool ParseTargetOption(int argc, char** argv, int* i, ControlTarget* target, std::string* error);

class ControlClient {
 public:
  explicit ControlClient(const ControlTarget& target);
  ~ControlClient();
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;
  // Null when the library or the client could not start (printed).
  KVNET_HANDLE handle() const { return handle_; }

 private:
  bool started_ = false;
  KVNET_HANDLE handle_ = nullptr;
};

}  // namespace kvnet
