// One record-file replay of the command-line client: open, play with the keys of the terminal,
// the position twice a second, the end event, and a clean close. Used by "kvnet replay" and by
// the demo.
#pragma once

#include <string>

namespace kvnet {

class VideoWindow;

struct ReplayOptions {
  std::string path;
  bool window = false;       // show the pictures in an X11 window when a display is there
  bool startPaused = false;  // show the first picture and wait
  int seconds = 0;           // 0: until the end of the file
  int speed = 0;             // speed level, -4 (slowest) to 4 (fastest)
  std::string screenshotPath;
  std::string snapshotPath;  // JPEG of the first picture shown (taken while paused with --paused)
  bool resumeAfterSnapshot = false;  // a paused replay continues once the snapshot is done
  bool sound = true;                 // a replay starts with its sound on
  bool keys = true;                  // read keys when standard input is a terminal
};

struct ReplayResult {
  bool opened = false;
  bool endEvent = false;      // the library reported the end of the file
  unsigned totalSeconds = 0;  // the file's length
  unsigned lastPosition = 0;  // the position when the replay stopped
  int positionLines = 0;      // "mm:ss/mm:ss" lines printed
  bool quit = false;          // 'q', Ctrl-C or the window was closed
  bool windowUsed = false;
  bool screenshotWritten = false;
  bool screenshotBlank = false;
  bool snapshotWritten = false;  // the --snapshot file was written
  int snapshots = 0;             // snapshot files written in all
  double runSeconds = 0;
};

class ReplaySession {
 public:
  // With a window given (it must outlive the session) the pictures go there and options.window
  // is not looked at.
  explicit ReplaySession(ReplayOptions options, VideoWindow* window = nullptr)
      : options_(std::move(options)), sharedWindow_(window) {}

  // Plays until the end of the file, the time is up, 'q', Ctrl-C, or the window is closed. The
  // library must be started with EventLog::OnEvent as its callback.
  ReplayResult Run();

 private:
  ReplayOptions options_;
  VideoWindow* sharedWindow_;
};

// "mm:ss" (minutes grow past 99 as needed).
std::string MinutesSeconds(unsigned seconds);

// Parses "kvnet replay" options (argv[0] is "replay"); false with *error on a bad command line.
bool ParseReplayOptions(int argc, char** argv, ReplayOptions* options, std::string* error);

}  // namespace kvnet
