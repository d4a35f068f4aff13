// kvnet talk: two-way talk with a device. What is said comes from the microphone (the default
// capture device), a tone or a WAV file; what the device sends is played on the default
// playback device or written to a WAV file. Ends after N seconds or on Ctrl-C.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "KvNetClient.h"
#include "kvnet/commands.h"
#include "kvnet/console.h"
#include "kvnet/control_client.h"

namespace kvnet {

int RunTalk(int argc, char** argv) {
  ControlTarget target;
  std::string capture, playback, error;
  double seconds = 0;
  const char* usage =
      "usage: kvnet talk HOST[:PORT] [--tone HZ | --wav FILE] [--play FILE.wav] [--seconds N]\n"
      "                  [--channel N] [--rtsp-udp | --udp] [--user U] [--password P]";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (ParseTargetOption(argc, argv, &i, &target, &error)) {
      if (!error.empty()) break;
      continue;
    }
    const bool takesValue =
        arg == "--tone" || arg == "--wav" || arg == "--play" || arg == "--seconds";
    if (takesValue && i + 1 >= argc) {
      error = arg + " needs a value";
      break;
    }
    if (arg == "--tone") {
      const double hz = std::atof(argv[++i]);
      if (hz <= 0 || hz >= 4000) error = "--tone takes a frequency below 4000 Hz";
      capture = std::string("tone:") + argv[i];
    } else if (arg == "--wav") {
      capture = std::string("wav:") + argv[++i];
    } else if (arg == "--play") {
      playback = std::string("wav:") + argv[++i];
    } else if (arg == "--seconds") {
      seconds = std::atof(argv[++i]);
      if (seconds <= 0) error = "--seconds takes a positive number";
    } else if (arg.rfind("--", 0) == 0 || !target.address.empty()) {
      error = "unexpected " + arg;
    } else {
      target.address = arg;
    }
    if (!error.empty()) break;
  }
  if (error.empty() && target.address.empty()) error = "no device address";
  if (!error.empty()) {
    PrintError("kvnet talk: " + error);
    PrintError(usage);
    return 2;
  }
  // The library's talk takes its own wave devices from these variables; the live client
  // behind the handle keeps the default ones, so the two never share a WAV file.
  if (!capture.empty()) setenv("KVNET_TALK_IN", capture.c_str(), 1);
  if (!playback.empty()) setenv("KVNET_TALK_OUT", playback.c_str(), 1);

  InstallInterruptHandler();
  ControlClient client(target);
  if (client.handle() == nullptr) return 1;
  if (KVNET_ClientStartTalk(client.handle()) != 1) {
    PrintError(
        target.udpStream
            ? "kvnet talk: refused: talk needs an RTSP client, not a UDP stream client (--udp)"
            : "kvnet talk: talk could not start");
    return 1;
  }
  PrintLine("talking to " + target.address + (seconds > 0 ? "" : " until Ctrl-C"));
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!Interrupted() && (seconds <= 0 || std::chrono::steady_clock::now() < end)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  KVNET_ClientStopTalk(client.handle());
  PrintLine("talk ended");
  return 0;
}

}  // namespace kvnet
