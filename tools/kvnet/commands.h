// Sub-commands of the kvnet command-line client.
#pragma once

namespace kvnet {

// "kvnet live": views, hears and records one live channel; returns the process exit code.
int RunLive(int argc, char** argv);
// "kvnet replay": plays a record file; returns the process exit code.
int RunReplay(int argc, char** argv);
// "kvnet demo": runs a simulated camera and a live client against it; returns the exit code.
int RunDemo(int argc, char** argv);
// "kvnet ptz", "md", "alarm-reset", "vparam": one device-control command (argv[0] names it).
int RunControl(int argc, char** argv);
// "kvnet talk": two-way talk with a device until the time is up or Ctrl-C.
int RunTalk(int argc, char** argv);
// "kvnet export": rewrites a record file into Matroska or MP4; returns the exit code.
int RunExport(int argc, char** argv);
// Silences libavcodec's log (linked for export) unless KVNET_DEBUG is set.
void QuietLibavcodecUnlessDebug();

}  // namespace kvnet
