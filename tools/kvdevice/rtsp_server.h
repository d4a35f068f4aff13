// kvdevice as an RTSP camera: listens on its TCP port, serves RTSP sessions from one live
// stream, and ends when keepGoing() turns false or the stream ends.
#pragma once

#include <functional>

#include "tools/kvdevice/options.h"

namespace kvdevice {

// Prints "kvdevice: listening on rtsp://HOST:PORT/" (always, so a caller can learn a chosen
// port) and, at the end, the summary line. Returns the process's exit status.
int RunRtspServer(const Options& options, const std::function<bool()>& keepGoing);

}  // namespace kvdevice
