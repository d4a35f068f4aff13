// The one-shot commands over CommandSocket.
#include "sdk/control/device_commands.h"

#include <string>

#include "sdk/control/command_socket.h"
#include "sdk/control/mctp_messages.h"

namespace kv {
namespace {

constexpr CommandTimeouts kCommandTimeouts{3000, 3000, 3000};
constexpr CommandTimeouts kPtzTimeouts{1000, 500, 500};

// Connects, sends the request in one call and receives once into reply (NUL-terminated).
// The received count, or -1 when anything failed. The connection is closed on return.
long Exchange(const DeviceEndpoint& device, const CommandTimeouts& timeouts,
              const std::string& request, char (&reply)[kMctpReplyCapacity + 1]) {
  CommandSocket socket;
  if (!OpenCommandConnection(socket, device.host, device.port, timeouts)) return -1;
  long got = -1;
  if (socket.Send(request.data(), request.size()) == static_cast<long>(request.size())) {
    got = socket.Receive(reply, kMctpReplyCapacity);
  }
  socket.Close();
  reply[got > 0 ? got : 0] = '\0';
  return got;
}

template <typename Check>
int Command(const DeviceEndpoint& device, const std::string& request, Check&& check) {
  char reply[kMctpReplyCapacity + 1];
  if (Exchange(device, kCommandTimeouts, request, reply) < 0) return 0;
  return check(reply);
}

}  // namespace

int GetMDInfo(const DeviceEndpoint& device, KVNET_MD_INFO* info) {
  return Command(device, MdRequest(MdOperation::kGet, device.channel),
                 [&](const char* reply) { return CheckMdGetReply(reply, info); });
}

int SaveMDInfo(const DeviceEndpoint& device, const KVNET_MD_INFO& info) {
  const std::optional<std::string> request = MdSaveRequest(device.channel, info);
  if (!request) return 0;
  return Command(device, *request, CheckMdResultReply);
}

int StartMD(const DeviceEndpoint& device) {
  return Command(device, MdRequest(MdOperation::kStart, device.channel), CheckMdResultReply);
}

int StopMD(const DeviceEndpoint& device) {
  return Command(device, MdRequest(MdOperation::kStop, device.channel), CheckMdResultReply);
}

int StopAlarm(const DeviceEndpoint& device, int value) {
  return Command(device, StopAlarmRequest(value, device.channel), CheckStopAlarmReply);
}

int SetVideoParam(const DeviceEndpoint& device, int p1, int p2, int p3, int mode) {
  return Command(device, SetVideoParamRequest(device.channel, p1, p2, p3, mode),
                 CheckSetVideoParamReply);
}

int GetVideoParam(const DeviceEndpoint& device, uint8_t* p1, uint8_t* p2, uint8_t* p3) {
  return Command(device, GetVideoParamRequest(device.channel),
                 [&](const char* reply) { return CheckGetVideoParamReply(reply, p1, p2, p3); });
}

int PTZCtrl(const DeviceEndpoint& device, int command, int parameter) {
  char reply[kMctpReplyCapacity + 1];
  return Exchange(device, kPtzTimeouts, PtzRequest(device.channel, command, parameter), reply) >= 0
             ? 1
             : 0;
}

}  // namespace kv
