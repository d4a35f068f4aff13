// kvnet demo: the simulated camera on loopback and a live client against it, end to end through
// the public interface: view (in an X11 window, on a private Xvfb when there is no display),
// sound into a WAV file, a normal and an alarm recording, events, status, a screenshot and a
// JPEG snapshot; then the normal recording is opened paused, a snapshot is taken of the held
// picture, and it is replayed into the same window at twice its speed to its end; last, the
// simulator turns RTSP camera and an RTSP client (RTP interleaved on TCP) views it there.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KvNetClient.h"
#include "kvnet/child_process.h"
#include "kvnet/commands.h"
#include "kvnet/console.h"
#include "kvnet/event_names.h"
#include "kvnet/live_session.h"
#include "kvnet/record_file_info.h"
#include "kvnet/replay_session.h"
#include "kvnet/video_window.h"
#include "kvnet/xvfb_display.h"

namespace kvnet {
namespace {

namespace fs = std::filesystem;

// Timeline: the device sends for 12 s, the client runs 10 s; the normal recording covers 8 s
// and the alarm recording 2 s, extended after 1 s by 3 s (4 s in all).
constexpr int kDeviceSeconds = 12;
constexpr int kClientSeconds = 10;
constexpr int kRecordSeconds = 8;
constexpr int kAlarmSeconds = 2;
constexpr int kAlarmExtendAfter = 1;
constexpr int kAlarmExtendBy = 3;
// The replay runs at speed level 1 (twice normal): the 8 s recording takes about 4 s; the bound
// is there in case the end never comes.
constexpr int kReplaySpeed = 1;
constexpr int kReplaySeconds = 8;
// The RTSP client runs 4 s; it retries every second until the camera listens.
constexpr int kRtspSeconds = 4;

// A port of the socket type that is free right now on the given local address (the UDP client
// binds the wildcard; the RTSP camera listens on loopback).
int FreePort(int type, uint32_t host) {
  const int fd = ::socket(AF_INET, type, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(host);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}
int FreeUdpPort() { return FreePort(SOCK_DGRAM, INADDR_ANY); }
int FreeTcpPort() { return FreePort(SOCK_STREAM, INADDR_LOOPBACK); }

// The RTSP part: kvdevice as an RTSP camera on loopback and one client with RTP interleaved on
// the RTSP connection, in the demo's window.
LiveResult RunRtspPhase(const std::string& device, const fs::path& out, VideoWindow* window) {
  LiveResult result;
  const int port = FreeTcpPort();
  if (port == 0) {
    PrintError("kvnet demo: no free TCP port for the RTSP camera");
    return result;
  }
  const std::string address = "127.0.0.1:" + std::to_string(port);
  std::string error;
  std::unique_ptr<ChildProcess> camera =
      ChildProcess::Start({device, "--listen", address, "--codec", "h264", "--audio", "g711a",
                           "--size", "352x288", "--key-interval", "10", "--motion-every", "1"},
                          (out / "kvdevice-rtsp.log").string(), -1, &error);
  if (camera == nullptr) {
    PrintError("kvnet demo: cannot start " + device + " as an RTSP camera: " + error);
    return result;
  }
  PrintLine(
      Format("demo: kvdevice (pid %d) serves RTSP at rtsp://%s/1 and reports motion in regions 2 "
             "and 5 every second; an RTSP/TCP client views it, the moving regions framed in red",
             camera->Pid(), address.c_str()));
  LiveOptions options;
  options.address = address;
  options.transport = TRANSPORT_RTSP_TCP;
  options.window = true;
  options.seconds = kRtspSeconds;
  options.keys = false;
  options.waitTimesGiven = true;
  options.connectTimeout = 2;
  options.retries = 5;
  options.retryInterval = 1;
  if (window != nullptr) options.screenshotPath = (out / "demo-rtsp-window.png").string();
  result = LiveSession(options, window).Run(nullptr);
  camera->Stop(2000);
  return result;
}

uint32_t Le32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// "N bytes, S.S s of sound" for a RIFF/WAVE file, or why not.
std::string DescribeWav(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "missing";
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    return Format("%zu bytes, not a WAV file", bytes.size());
  }
  uint32_t byteRate = 0;
  uint32_t dataBytes = 0;
  for (size_t at = 12; at + 8 <= bytes.size();) {
    const uint32_t size = Le32(&bytes[at + 4]);
    if (std::memcmp(&bytes[at], "fmt ", 4) == 0 && at + 8 + 12 <= bytes.size()) {
      byteRate = Le32(&bytes[at + 8 + 8]);
    } else if (std::memcmp(&bytes[at], "data", 4) == 0) {
      dataBytes = static_cast<uint32_t>(std::min<uint64_t>(size, bytes.size() - at - 8));
      break;
    }
    at += 8 + size + (size & 1);
  }
  if (byteRate == 0) return Format("%zu bytes, no format chunk", bytes.size());
  return Format("%zu bytes, %.1f s of sound", bytes.size(), double(dataBytes) / byteRate);
}

// Prints one recording's line of the summary; returns its index-point count (0 when unusable).
uint32_t DescribeRecording(const char* label, const std::string& path) {
  std::string error;
  std::optional<RecordFileInfo> info = ReadRecordFileInfo(path, &error);
  if (!info) {
    PrintLine(Format("  %-20s %s", label, error.c_str()));
    return 0;
  }
  PrintLine(Format("  %-20s %s: %llu bytes, %u index points (%s/%s %ux%u)", label, path.c_str(),
                   static_cast<unsigned long long>(info->size), info->indexPoints,
                   VideoCodecName(info->videoCodec).c_str(),
                   AudioCodecName(info->audioCodec).c_str(), info->width, info->height));
  return info->indexPoints;
}

// "PATH: N bytes" for a snapshot file, or "not written".
std::string DescribeSnapshot(const std::string& path) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(path, ec);
  return ec ? "not written" : Format("%s: %ju bytes", path.c_str(), size);
}

// The last line the device wrote (its "kvdevice sent: ..." summary).
std::string LastLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::string last;
  while (std::getline(file, line)) {
    if (!line.empty()) last = line;
  }
  return last;
}

}  // namespace

int RunDemo(int argc, char** argv) {
  fs::path out = "kvnet-demo-out";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
      out = argv[++i];
    } else {
      PrintError(std::string("kvnet demo: unknown option ") + argv[i] +
                 "\nusage: kvnet demo [--out DIR]");
      return 2;
    }
  }
  std::error_code ec;
  fs::create_directories(out, ec);
  out = fs::absolute(out, ec);
  if (ec || !fs::is_directory(out)) {
    PrintError("kvnet demo: cannot create the output folder " + out.string());
    return 1;
  }
  InstallInterruptHandler();

  const std::string device = FindProgram("kvdevice/kvdevice", "kvdevice");
  if (device.empty()) {
    PrintError(
        "kvnet demo: the device simulator kvdevice was found neither next to kvnet nor "
        "on PATH");
    return 1;
  }

  // The library picks its window system at the first window it meets, so the display is settled
  // before the library starts.
  std::unique_ptr<XvfbDisplay> xvfb;
  const char* display = std::getenv("DISPLAY");
  if (display != nullptr && *display != '\0' && DisplayReachable(nullptr)) {
    PrintLine(Format("demo: using the X display %s", display));
  } else {
    std::string error;
    xvfb = XvfbDisplay::Start(&error);
    if (xvfb != nullptr) {
      ::setenv("DISPLAY", xvfb->Name().c_str(), 1);
      PrintLine("demo: no X display here; started Xvfb on " + xvfb->Name());
    } else {
      ::unsetenv("DISPLAY");
      PrintLine("demo: no X display and " + error + "; running without a window");
    }
  }

  const std::string normalPath = (out / "demo-normal.rec").string();
  const std::string alarmPath = (out / "demo-alarm.rec").string();
  const std::string screenshotPath = (out / "demo-window.png").string();
  const std::string replayScreenshotPath = (out / "demo-replay.png").string();
  const std::string liveSnapshotPath = (out / "demo-live.jpg").string();
  const std::string pausedSnapshotPath = (out / "demo-replay-paused.jpg").string();
  const std::string deviceLog = (out / "kvdevice.log").string();
  std::string wavPath;
  const char* audioOut = std::getenv("KVNET_AUDIO_OUT");
  if (audioOut == nullptr || *audioOut == '\0') {
    wavPath = (out / "demo-audio.wav").string();
    ::setenv("KVNET_AUDIO_OUT", ("wav:" + wavPath).c_str(), 1);
  }
  // Files of an earlier run must not pass for this run's results.
  for (const std::string& stale :
       {normalPath, alarmPath, screenshotPath, replayScreenshotPath, liveSnapshotPath,
        pausedSnapshotPath, wavPath, deviceLog, (out / "demo-rtsp-window.png").string()}) {
    if (!stale.empty()) fs::remove(stale, ec);
  }

  const int port = FreeUdpPort();
  if (port == 0) {
    PrintError("kvnet demo: no free UDP port on this machine");
    return 1;
  }
  const std::string address = "127.0.0.1:" + std::to_string(port);
  if (KVNET_Startup(0, 0, EventLog::OnEvent, 0) != 1) {
    PrintError("kvnet: the library could not start");
    return 1;
  }
  PrintLine(
      Format("demo: sound goes to %s", wavPath.empty() ? audioOut : ("wav:" + wavPath).c_str()));

  // One window for the live view and the replay after it.
  std::unique_ptr<VideoWindow> window;
  if (std::getenv("DISPLAY") != nullptr) {
    std::string error;
    window = VideoWindow::Open(352, 288, "kvnet demo", &error);
    if (window == nullptr) PrintLine("demo: " + error + "; running without a window");
  }

  LiveOptions options;
  options.address = address;
  options.window = true;
  options.sound = true;
  options.recordPath = normalPath;
  options.recordSeconds = kRecordSeconds;
  options.alarmPath = alarmPath;
  options.alarmSeconds = kAlarmSeconds;
  options.alarmExtendAfter = kAlarmExtendAfter;
  options.alarmExtendBy = kAlarmExtendBy;
  options.seconds = kClientSeconds;
  options.screenshotPath = screenshotPath;
  options.snapshotPath = liveSnapshotPath;
  options.keys = false;

  // The device starts once the client listens, so its first key frame is not lost.
  std::unique_ptr<ChildProcess> deviceProcess;
  LiveResult result = LiveSession(options, window.get()).Run([&] {
    std::string error;
    deviceProcess =
        ChildProcess::Start({device, "--target", address, "--codec", "h264", "--audio", "g711u",
                             "--duration", std::to_string(kDeviceSeconds), "--realtime"},
                            deviceLog, -1, &error);
    if (deviceProcess == nullptr) {
      PrintError("kvnet demo: cannot start " + device + ": " + error);
    } else {
      PrintLine(
          Format("demo: kvdevice (pid %d) sends a generated H.264 picture and a G.711 "
                 "tone to %s for %d s",
                 deviceProcess->Pid(), address.c_str(), kDeviceSeconds));
    }
  });
  if (deviceProcess != nullptr) deviceProcess->Stop(2000);

  // The replay must not write over the live sound file: its sound goes nowhere (at speed level 1
  // there is none anyway).
  if (!wavPath.empty()) ::setenv("KVNET_AUDIO_OUT", "null", 1);
  ReplayResult replay;
  if (!Interrupted()) {
    PrintLine(Format("demo: replaying %s at speed level %d%s, after a snapshot while paused",
                     normalPath.c_str(), kReplaySpeed,
                     window != nullptr ? " in the same window" : " without a window"));
    ReplayOptions replayOptions;
    replayOptions.path = normalPath;
    replayOptions.speed = kReplaySpeed;
    replayOptions.seconds = kReplaySeconds;
    replayOptions.sound = false;
    replayOptions.keys = false;
    // Opened paused: the held first picture is saved, then the replay goes on.
    replayOptions.startPaused = true;
    replayOptions.snapshotPath = pausedSnapshotPath;
    replayOptions.resumeAfterSnapshot = true;
    if (window != nullptr) replayOptions.screenshotPath = replayScreenshotPath;
    replay = ReplaySession(replayOptions, window.get()).Run();
  }
  LiveResult rtsp;
  if (!Interrupted()) rtsp = RunRtspPhase(device, out, window.get());
  KVNET_Cleanup();

  PrintLine("summary:");
  PrintLine(Format("  %-20s %lld (sum of the per-second counts)", "pictures decoded",
                   static_cast<long long>(result.pictures)));
  PrintLine(Format("  %-20s %d kbit/s", "average bit rate", result.averageKbps()));
  std::string events;
  for (const auto& [name, count] : EventLog::Instance().Counts()) {
    events += (events.empty() ? "" : ", ") + name + (count > 1 ? " x" + std::to_string(count) : "");
  }
  PrintLine(Format("  %-20s %d: %s", "events seen", EventLog::Instance().Total(), events.c_str()));
  const uint32_t normalIndex = DescribeRecording("normal recording", normalPath);
  DescribeRecording("alarm recording", alarmPath);
  if (!wavPath.empty()) {
    PrintLine(Format("  %-20s %s: %s", "sound", wavPath.c_str(), DescribeWav(wavPath).c_str()));
  }
  if (result.windowUsed) {
    PrintLine(Format("  %-20s %s", "screenshot",
                     !result.screenshotWritten ? "not written"
                     : result.screenshotBlank
                         ? (screenshotPath + " (blank: no picture was drawn)").c_str()
                         : screenshotPath.c_str()));
  } else {
    PrintLine(Format("  %-20s none (no window)", "screenshot"));
  }
  PrintLine(
      Format("  %-20s %s", "replay",
             !replay.opened
                 ? "the normal recording could not be opened"
                 : Format("length %u s, %s, stopped at %s, %d position lines", replay.totalSeconds,
                          replay.endEvent ? "end event came" : "NO end event",
                          MinutesSeconds(replay.lastPosition).c_str(), replay.positionLines)
                       .c_str()));
  if (replay.windowUsed) {
    PrintLine(Format("  %-20s %s", "replay screenshot",
                     !replay.screenshotWritten ? "not written"
                     : replay.screenshotBlank
                         ? (replayScreenshotPath + " (blank: no picture was drawn)").c_str()
                         : replayScreenshotPath.c_str()));
  }
  PrintLine(Format("  %-20s %lld pictures decoded%s", "RTSP/TCP client",
                   static_cast<long long>(rtsp.pictures),
                   !rtsp.windowUsed          ? ""
                   : !rtsp.screenshotWritten ? ", screenshot not written"
                   : rtsp.screenshotBlank    ? ", screenshot blank"
                                             : ", screenshot demo-rtsp-window.png"));
  PrintLine(Format("  %-20s %s", "live snapshot", DescribeSnapshot(liveSnapshotPath).c_str()));
  PrintLine(Format("  %-20s %s", "paused snapshot", DescribeSnapshot(pausedSnapshotPath).c_str()));
  PrintLine(Format("  %-20s %s", "device", LastLine(deviceLog).c_str()));
  PrintLine(Format("  %-20s %s", "output folder", out.c_str()));

  const bool ok = result.started && result.pictures > 0 && normalIndex > 0 &&
                  result.snapshotWritten && replay.snapshotWritten &&
                  (!result.windowUsed || (result.screenshotWritten && !result.screenshotBlank)) &&
                  replay.opened && replay.endEvent &&
                  (!replay.windowUsed || (replay.screenshotWritten && !replay.screenshotBlank)) &&
                  rtsp.started && rtsp.pictures > 0 &&
                  (!rtsp.windowUsed || (rtsp.screenshotWritten && !rtsp.screenshotBlank)) &&
                  !Interrupted();
  PrintLine(ok ? "demo finished: ok" : "demo finished: FAILED");
  return ok ? 0 : 1;
}

}  // namespace kvnet
