// kvnet replay: plays a record file, in a window or without one, with keys on a terminal.
#include <string>

#include "KvNetClient.h"
#include "kvnet/commands.h"
#include "kvnet/console.h"
#include "kvnet/replay_session.h"

namespace kvnet {

int RunReplay(int argc, char** argv) {
  ReplayOptions options;
  std::string error;
  if (!ParseReplayOptions(argc, argv, &options, &error)) {
    PrintError("kvnet replay: " + error);
    PrintError(
        "usage: kvnet replay FILE [--window] [--paused] [--seconds N] [--speed L] "
        "[--screenshot FILE.png] [--snapshot FILE.jpg] [--no-sound]");
    return 2;
  }
  InstallInterruptHandler();
  if (KVNET_Startup(0, 0, EventLog::OnEvent, 0) != 1) {
    PrintError("kvnet: the library could not start");
    return 1;
  }
  const ReplayResult result = ReplaySession(options).Run();
  KVNET_Cleanup();
  if (!result.opened) return 1;
  PrintLine(Format("summary: length %s, stopped at %s, end of file %s, snapshots %d",
                   MinutesSeconds(result.totalSeconds).c_str(),
                   MinutesSeconds(result.lastPosition).c_str(),
                   result.endEvent ? "reached" : "not reached", result.snapshots));
  return 0;
}

}  // namespace kvnet
