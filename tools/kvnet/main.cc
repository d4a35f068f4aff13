// kvnet: the SDK's command-line client. It uses the public C interface only.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "kvnet/commands.h"

namespace {

void Usage() {
  std::puts(
      "usage: kvnet <command> [options]\n"
      "commands:\n"
      "  live --udp HOST:PORT [--window] [--sound] [--record PATH [--record-seconds N]]\n"
      "       [--alarm-record PATH --alarm-seconds N] [--seconds N] [--screenshot FILE.png]\n"
      "       [--snapshot FILE.jpg]\n"
      "          view, hear and record one live channel of the proprietary UDP stream\n"
      "          (the local port PORT receives from HOST); --snapshot saves the first picture\n"
      "          once the stream is there; on a terminal: c snapshot, q quit; ends after N\n"
      "          seconds or on Ctrl-C\n"
      "  replay FILE [--window] [--paused] [--seconds N] [--speed L] [--screenshot FILE.png]\n"
      "         [--snapshot FILE.jpg] [--no-sound]\n"
      "          plays a record file (speed level L from -4 to 4) and shows the position;\n"
      "          --snapshot saves the first picture shown (with --paused, while paused);\n"
      "          on a terminal: space pause/continue, s step, + - 0 speed, , . or arrows seek\n"
      "          10 s, a sound on/off, c snapshot, q quit; ends at the end of the file, after N\n"
      "          seconds or on Ctrl-C\n"
      "          (c saves kvnet-snapshot-N.jpg beside --snapshot's file, or in the current\n"
      "          folder)\n"
      "  demo [--out DIR]\n"
      "          runs the device simulator and a live client against it on loopback, then\n"
      "          replays the recording it made; leaves recordings, sound and screenshots in DIR\n"
      "          (default ./kvnet-demo-out)\n"
      "  ptz HOST[:PORT] COMMAND PARAMETER\n"
      "  md get|start|stop HOST[:PORT]\n"
      "  md save HOST[:PORT] I:LEFT,TOP,RIGHT,BOTTOM[:SETTING] ...\n"
      "  alarm-reset HOST[:PORT] [VALUE]\n"
      "  vparam get HOST[:PORT]  |  vparam set HOST[:PORT] P1 P2 P3 [MODE]\n"
      "          one device-control command on the device's RTSP port (channel 1 unless\n"
      "          --channel N; --rtsp-udp, --udp, --user U, --password P as for the stream)\n"
      "  talk HOST[:PORT] [--tone HZ | --wav FILE] [--play FILE.wav] [--seconds N]\n"
      "          two-way talk: says what the microphone (or the tone or WAV file) gives and\n"
      "          plays what the device sends (or writes it to FILE.wav)\n"
      "  export FILE OUT.mkv|OUT.mp4\n"
      "          rewrites a record file into Matroska (every codec as it is) or MP4 (sound as\n"
      "          AAC), without re-encoding the video; damaged files export as far as they can\n"
      "          be read");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return 2;
  }
  kvnet::QuietLibavcodecUnlessDebug();
  if (std::strcmp(argv[1], "live") == 0) return kvnet::RunLive(argc - 1, argv + 1);
  if (std::strcmp(argv[1], "replay") == 0) return kvnet::RunReplay(argc - 1, argv + 1);
  if (std::strcmp(argv[1], "demo") == 0) return kvnet::RunDemo(argc - 1, argv + 1);
  for (const char* control : {"ptz", "md", "alarm-reset", "vparam"}) {
    if (std::strcmp(argv[1], control) == 0) return kvnet::RunControl(argc - 1, argv + 1);
  }
  if (std::strcmp(argv[1], "talk") == 0) return kvnet::RunTalk(argc - 1, argv + 1);
  if (std::strcmp(argv[1], "export") == 0) return kvnet::RunExport(argc - 1, argv + 1);
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0) {
    Usage();
    return 0;
  }
  Usage();
  return 2;
}
