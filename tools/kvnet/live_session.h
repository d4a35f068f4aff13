// One live client of the command-line client: connect, view, sound, recordings, a status line
// per second, and a clean stop. Used by "kvnet live" and by the demo.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kvnet {

class VideoWindow;

struct LiveOptions {
  // TRANSPORT_UDP: "host:port", the local UDP port to listen on and the sending host; the RTSP
  // transports: the device, "host" or "host:port" (port 554 when none is given).
  std::string address;
  int transport = 2;  // TRANSPORT_UDP
  int channel = 1;
  std::string user, password;  // RTSP Digest credentials
  // KVNET_SetWaitTime, called when one of them was given (the others keep their defaults).
  bool waitTimesGiven = false;
  int connectTimeout = 5;  // seconds
  int retries = 1;         // -1: without limit
  int retryInterval = 10;  // seconds
  bool window = false;     // show the picture in an X11 window when a display is there
  int windowWidth = 352;
  int windowHeight = 288;
  bool sound = false;
  std::string recordPath;  // normal recording; empty: none
  int recordSeconds = 0;   // 0: until the end
  std::string alarmPath;   // alarm recording; empty: none
  int alarmSeconds = 0;
  // When both are positive the alarm recording is extended once, alarmExtendAfter seconds after
  // it began, to run alarmExtendBy seconds from then (as a new alarm would).
  int alarmExtendAfter = 0;
  int alarmExtendBy = 0;
  int seconds = 0;             // 0: until Ctrl-C
  std::string screenshotPath;  // PNG of the window taken just before the client stops
  std::string snapshotPath;    // JPEG of the first picture shown once the stream is there
  bool keys = true;            // read keys when standard input is a terminal
};

struct LiveResult {
  bool started = false;    // the client was created
  bool connected = false;  // a stream was established
  int64_t pictures = 0;    // pictures decoded: the sum of the per-second counts
  int64_t kbitSum = 0;     // sum of the per-second bit rates after the connection
  int connectedSeconds = 0;
  bool windowUsed = false;
  bool screenshotWritten = false;
  bool screenshotBlank = false;  // the window held one flat colour: no picture was drawn
  bool recordStarted = false;
  bool alarmStarted = false;
  bool alarmExtended = false;
  bool snapshotWritten = false;  // the --snapshot file was written
  int snapshots = 0;             // snapshot files written in all
  double runSeconds = 0;

  int averageKbps() const {
    return connectedSeconds > 0 ? static_cast<int>(kbitSum / connectedSeconds) : 0;
  }
};

class LiveSession {
 public:
  // With a window given (it must outlive the session) the picture goes there and
  // options.window is not looked at; the demo replays into the same window afterwards.
  explicit LiveSession(LiveOptions options, VideoWindow* window = nullptr)
      : options_(std::move(options)), sharedWindow_(window) {}

  // Runs the client until the time is up, Ctrl-C, or the window is closed. onListening runs
  // once the client listens (the demo starts its device there). The library must be started.
  LiveResult Run(const std::function<void()>& onListening);

 private:
  LiveOptions options_;
  VideoWindow* sharedWindow_;
};

// Parses "kvnet live" options (argv[0] is "live"); false with *error on a bad command line.
bool ParseLiveOptions(int argc, char** argv, LiveOptions* options, std::string* error);

}  // namespace kvnet
