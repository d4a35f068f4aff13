// The live client loop of kvnet, on the public C interface only.
#include "kvnet/live_session.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "KvNetClient.h"
#include "kvnet/console.h"
#include "kvnet/event_names.h"
#include "kvnet/snapshot_requests.h"
#include "kvnet/terminal_keys.h"
#include "kvnet/video_window.h"

namespace kvnet {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kTick{50};
// How long a stopping client still waits for a snapshot it was asked for.
constexpr milliseconds kSnapshotGrace{1000};

const char* const kKeyHelp = "keys: c snapshot, q quit";

bool ParseInt(const char* text, int low, int high, int* out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

}  // namespace

bool ParseLiveOptions(int argc, char** argv, LiveOptions* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    auto value = [&]() -> const char* { return hasValue ? argv[++i] : nullptr; };
    auto intValue = [&](int low, int high, int* out) {
      const char* text = value();
      if (text == nullptr || !ParseInt(text, low, high, out)) {
        *error = "bad or missing value for " + arg;
        return false;
      }
      return true;
    };
    if (arg == "--udp") {
      const char* text = value();
      if (text == nullptr || std::strchr(text, ':') == nullptr || std::strlen(text) > 160) {
        *error = "--udp needs HOST:PORT";
        return false;
      }
      options->address = text;
      options->transport = TRANSPORT_UDP;
    } else if (arg == "--rtsp-udp" || arg == "--rtsp-tcp") {
      const char* text = value();
      if (text == nullptr || *text == '\0' || *text == ':' || std::strlen(text) > 160) {
        *error = arg + " needs HOST[:PORT]";
        return false;
      }
      options->address = text;
      options->transport = arg == "--rtsp-udp" ? TRANSPORT_RTSP_UDP : TRANSPORT_RTSP_TCP;
    } else if (arg == "--user" || arg == "--password") {
      const char* text = value();
      if (text == nullptr || std::strlen(text) > 32) {
        *error = arg + " needs a value of at most 32 characters";
        return false;
      }
      (arg == "--user" ? options->user : options->password) = text;
    } else if (arg == "--channel") {
      if (!intValue(0, 65535, &options->channel)) return false;
    } else if (arg == "--retries") {
      if (!intValue(-1, 1000000, &options->retries)) return false;
      options->waitTimesGiven = true;
    } else if (arg == "--connect-timeout") {
      if (!intValue(1, 3600, &options->connectTimeout)) return false;
      options->waitTimesGiven = true;
    } else if (arg == "--retry-interval") {
      if (!intValue(0, 3600, &options->retryInterval)) return false;
      options->waitTimesGiven = true;
    } else if (arg == "--window") {
      options->window = true;
    } else if (arg == "--sound") {
      options->sound = true;
    } else if (arg == "--record" || arg == "--alarm-record" || arg == "--screenshot" ||
               arg == "--snapshot") {
      const char* text = value();
      if (text == nullptr || *text == '\0') {
        *error = arg + " needs a path";
        return false;
      }
      (arg == "--record"         ? options->recordPath
       : arg == "--alarm-record" ? options->alarmPath
       : arg == "--snapshot"     ? options->snapshotPath
                                 : options->screenshotPath) = text;
    } else if (arg == "--record-seconds") {
      if (!intValue(0, 86400, &options->recordSeconds)) return false;
    } else if (arg == "--alarm-seconds") {
      if (!intValue(1, 1800, &options->alarmSeconds)) return false;
    } else if (arg == "--seconds") {
      if (!intValue(0, 86400 * 365, &options->seconds)) return false;
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  if (options->address.empty()) {
    *error = "--udp HOST:PORT, --rtsp-udp HOST[:PORT] or --rtsp-tcp HOST[:PORT] is required";
    return false;
  }
  if (options->transport == TRANSPORT_UDP &&
      (!options->user.empty() || !options->password.empty())) {
    *error = "--user and --password are for the RTSP transports";
    return false;
  }
  if (!options->alarmPath.empty() && options->alarmSeconds == 0) {
    *error = "--alarm-record needs --alarm-seconds N";
    return false;
  }
  if (!options->screenshotPath.empty() && !options->window) {
    *error = "--screenshot needs --window";
    return false;
  }
  return true;
}

LiveResult LiveSession::Run(const std::function<void()>& onListening) {
  LiveResult result;
  std::unique_ptr<VideoWindow> ownWindow;
  VideoWindow* window = sharedWindow_;
  if (window == nullptr && options_.window) {
    std::string error;
    ownWindow = VideoWindow::Open(options_.windowWidth, options_.windowHeight,
                                  "kvnet " + options_.address, &error);
    window = ownWindow.get();
    if (window == nullptr) PrintLine("live: " + error + "; running without a window");
  }
  if (window != nullptr) {
    const char* display = std::getenv("DISPLAY");
    PrintLine(Format("live: window 0x%x (%dx%d) on display %s", window->Id(), window->Width(),
                     window->Height(), display != nullptr ? display : "?"));
  }
  result.windowUsed = window != nullptr;

  KVNET_CLIENT_PARAM param;
  std::memset(&param, 0, sizeof param);
  param.transport = static_cast<int16_t>(options_.transport);
  param.channel = options_.channel;
  param.view = 1;
  param.videoWnd = window != nullptr ? window->Id() : 0;
  std::snprintf(param.address, sizeof param.address, "%s", options_.address.c_str());
  std::snprintf(param.userName, sizeof param.userName, "%s", options_.user.c_str());
  std::snprintf(param.password, sizeof param.password, "%s", options_.password.c_str());
  if (options_.waitTimesGiven) {
    KVNET_SetWaitTime(options_.connectTimeout, options_.retries, options_.retryInterval);
  }
  const bool rtsp = options_.transport != TRANSPORT_UDP;
  KVNET_HANDLE client = KVNET_ClientStart(&param);
  if (client == nullptr) {
    PrintError("kvnet: cannot start a live client for " + options_.address +
               (rtsp ? "" : " (is the port free?)"));
    return result;
  }
  result.started = true;
  const Clock::time_point start = Clock::now();
  PrintLine(rtsp ? Format("live: RTSP (RTP over %s) from rtsp://%s channel %d",
                          options_.transport == TRANSPORT_RTSP_TCP ? "TCP" : "UDP",
                          options_.address.c_str(), options_.channel)
                 : "live: listening for the proprietary UDP stream at " + options_.address);
  if (options_.sound) {
    PrintLine(KVNET_ClientPlayAudio(client) == 1 ? "live: sound on"
                                                 : "live: sound could not start");
  }
  if (onListening) onListening();

  // Record paths must name a directory; a bare file name is taken as one in the current folder.
  const std::string recordPath = AbsolutePath(options_.recordPath);
  const std::string alarmPath = AbsolutePath(options_.alarmPath);
  SnapshotRequests snapshots(options_.snapshotPath);
  bool snapshotAsked = false;
  std::unique_ptr<TerminalKeys> keys = options_.keys ? TerminalKeys::Open() : nullptr;
  if (keys != nullptr) PrintLine(kKeyHelp);
  bool recordsTried = false;
  Clock::time_point alarmStart;
  int second = 0;
  const Clock::time_point end = start + std::chrono::seconds(options_.seconds);
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (Interrupted()) {
      PrintLine("live: interrupted");
      break;
    }
    // The last second's status line is printed before the end.
    if (options_.seconds > 0 && now >= end && second >= options_.seconds) break;
    if (window != nullptr && !window->PumpEvents()) {
      PrintLine("live: window closed");
      break;
    }
    bool quit = false;
    for (int key = keys != nullptr ? keys->Poll() : TerminalKeys::kNone;
         key != TerminalKeys::kNone && !quit; key = keys->Poll()) {
      if (key == 'c') {
        PrintLine("key: snapshot");
        snapshots.RequestNext(client);
      } else if (key == 'q' || key == 'Q') {
        PrintLine("key: quit");
        quit = true;
      } else {
        PrintLine(kKeyHelp);
      }
    }
    if (quit) break;
    snapshots.Poll();
    const bool connected = KVNET_GetClientState(client) == LINK_CONNECTED ||
                           EventLog::Instance().Seen(KV_EVENT_LINK, LINK_CONNECTED);
    result.connected = result.connected || connected;

    // The snapshot is asked for once the stream is there; the next picture shown is saved.
    if (connected && !snapshotAsked && !options_.snapshotPath.empty()) {
      snapshotAsked = true;
      snapshots.Request(client, options_.snapshotPath);
    }
    // Recordings start once the stream is there, so their headers carry its codecs and size.
    if (connected && !recordsTried) {
      recordsTried = true;
      if (!recordPath.empty()) {
        result.recordStarted =
            KVNET_ClientStartRecord(client, recordPath.c_str(), options_.recordSeconds) == 1;
        PrintLine(result.recordStarted
                      ? Format("record: normal recording into %s for %s", recordPath.c_str(),
                               options_.recordSeconds > 0
                                   ? (std::to_string(options_.recordSeconds) + " s").c_str()
                                   : "the whole run")
                      : "record: cannot record into " + recordPath);
      }
      if (!alarmPath.empty()) {
        alarmStart = Clock::now();
        result.alarmStarted =
            KVNET_ClientStartAlarmRecord(client, alarmPath.c_str(),
                                         static_cast<unsigned>(options_.alarmSeconds)) == 1;
        PrintLine(result.alarmStarted ? Format("record: alarm recording into %s for %d s",
                                               alarmPath.c_str(), options_.alarmSeconds)
                                      : "record: cannot record the alarm into " + alarmPath);
      }
    }
    if (result.alarmStarted && !result.alarmExtended && options_.alarmExtendAfter > 0 &&
        options_.alarmExtendBy > 0 &&
        now - alarmStart >= std::chrono::seconds(options_.alarmExtendAfter)) {
      result.alarmExtended =
          KVNET_ClientStartAlarmRecord(client, alarmPath.c_str(),
                                       static_cast<unsigned>(options_.alarmExtendBy)) == 1;
      PrintLine(Format("record: alarm %s by %d s from now (a new alarm)",
                       result.alarmExtended ? "extended" : "could not be extended",
                       options_.alarmExtendBy));
    }

    if (now - start >= std::chrono::seconds(second + 1)) {
      ++second;
      int kbps = 0;
      int pictures = 0;
      KVNET_GetBitStreamInfo(client, &kbps, &pictures);
      KVNET_VIDEO_INFO info;
      std::memset(&info, 0, sizeof info);
      KVNET_GetClientParam(client, &info);
      const int state = KVNET_GetClientState(client);
      result.pictures += pictures;
      if (result.connected) {
        result.kbitSum += kbps;
        ++result.connectedSeconds;
      }
      PrintLine(Format("status: %3ds state %s %d kbit/s %d pictures/s %ux%u %s %s", second,
                       ClientStateName(state).c_str(), kbps, pictures, info.width, info.height,
                       VideoCodecName(info.videoCodec).c_str(),
                       AudioCodecName(info.audioCodec).c_str()));
    }
    std::this_thread::sleep_for(kTick);
  }

  keys.reset();  // the terminal is itself again before the last lines
  snapshots.Finish(kSnapshotGrace);
  result.snapshotWritten =
      !options_.snapshotPath.empty() && snapshots.Written(options_.snapshotPath);
  result.snapshots = snapshots.WrittenCount();
  if (window != nullptr && !options_.screenshotPath.empty()) {
    std::string error;
    result.screenshotWritten =
        window->SavePng(options_.screenshotPath, &result.screenshotBlank, &error);
    PrintLine(!result.screenshotWritten ? "screenshot: failed: " + error
              : result.screenshotBlank
                  ? "screenshot: " + options_.screenshotPath + " (blank: no picture was drawn)"
                  : "screenshot: " + options_.screenshotPath);
  }
  // Stopping the recordings first writes their index trailers before the client goes away.
  if (!recordPath.empty()) KVNET_ClientStopRecord(client);
  if (!alarmPath.empty()) KVNET_ClientStopAlarmRecord(client);
  if (options_.sound) KVNET_ClientStopAudio(client);
  KVNET_ClientStop(client);
  result.runSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  PrintLine(Format("live: client stopped after %.1f s", result.runSeconds));
  return result;
}

}  // namespace kvnet
