// kvnet live: one live channel (proprietary UDP, or RTSP with RTP over UDP or TCP) until the
// time is up or Ctrl-C.
#include <string>

#include "KvNetClient.h"
#include "kvnet/commands.h"
#include "kvnet/console.h"
#include "kvnet/live_session.h"

namespace kvnet {

int RunLive(int argc, char** argv) {
  LiveOptions options;
  std::string error;
  if (!ParseLiveOptions(argc, argv, &options, &error)) {
    PrintError("kvnet live: " + error);
    PrintError(
        "usage: kvnet live --udp HOST:PORT [options]\n"
        "       kvnet live --rtsp-udp|--rtsp-tcp HOST[:PORT] [--user NAME --password PW]\n"
        "                  [--channel N] [--retries N] [--connect-timeout S] "
        "[--retry-interval S] [options]\n"
        "options: [--window] [--sound] [--record PATH [--record-seconds N]]\n"
        "         [--alarm-record PATH --alarm-seconds N] [--seconds N] [--screenshot FILE.png]\n"
        "         [--snapshot FILE.jpg]");
    return 2;
  }
  InstallInterruptHandler();
  if (KVNET_Startup(0, 0, EventLog::OnEvent, 0) != 1) {
    PrintError("kvnet: the library could not start");
    return 1;
  }
  const LiveResult result = LiveSession(options).Run(nullptr);
  KVNET_Cleanup();
  if (!result.started) return 1;
  PrintLine("summary: pictures decoded " + std::to_string(result.pictures) + ", average " +
            std::to_string(result.averageKbps()) + " kbit/s, events " +
            std::to_string(EventLog::Instance().Total()) + ", snapshots " +
            std::to_string(result.snapshots));
  return 0;
}

}  // namespace kvnet
