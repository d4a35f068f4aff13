// kvnet's control client.
#include "kvnet/control_client.h"

#include <cstdlib>
#include <cstring>

#include "kvnet/console.h"

namespace kvnet {

bool ParseTargetOption(int argc, char** argv, int* i, ControlTarget* target, std::string* error) {
  const std::string arg = argv[*i];
  auto value = [&]() -> const char* {
    if (*i + 1 >= argc) {
      *error = arg + " needs a value";
      return nullptr;
    }
    return argv[++*i];
  };
  if (arg == "--rtsp-udp") {
    target->udpRtp = true;
    return true;
  }
  if (arg == "--udp") {
    target->udpStream = true;
    return true;
  }
  if (arg == "--channel") {
    const char* v = value();
    if (v == nullptr) return true;
    char* end = nullptr;
    const long n = std::strtol(v, &end, 10);
    if (*v == '\0' || *end != '\0' || n < 0 || n > 255) *error = "--channel takes 0 to 255";
    target->channel = static_cast<int>(n);
    return true;
  }
  if (arg == "--user" || arg == "--password") {
    const char* v = value();
    if (v != nullptr) (arg == "--user" ? target->user : target->password) = v;
    return true;
  }
  return false;
}

ControlClient::ControlClient(const ControlTarget& target) {
  if (KVNET_Startup(0, 0, EventLog::OnEvent, 0) != 1) {
    PrintError("kvnet: the library could not start");
    return;
  }
  started_ = true;
  KVNET_CLIENT_PARAM param;
  std::memset(&param, 0, sizeof param);
  param.transport = target.udpStream ? TRANSPORT_UDP
                    : target.udpRtp  ? TRANSPORT_RTSP_UDP
                                     : TRANSPORT_RTSP_TCP;
  param.channel = target.channel;
  if (target.address.size() >= sizeof param.address ||
      target.user.size() >= sizeof param.userName ||
      target.password.size() >= sizeof param.password) {
    PrintError("kvnet: the address, user or password is too long");
    return;
  }
  std::strcpy(param.address, target.address.c_str());
  std::strcpy(param.userName, target.user.c_str());
  std::strcpy(param.password, target.password.c_str());
  handle_ = KVNET_ClientStart(&param);
  if (handle_ == nullptr) PrintError("kvnet: no client for " + target.address);
}

ControlClient::~ControlClient() {
  if (handle_ != nullptr) KVNET_ClientStop(handle_);
  if (started_) KVNET_Cleanup();
}

}  // namespace kvnet
