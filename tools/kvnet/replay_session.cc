// The record-file replay of kvnet, on the public C interface only.
#include "kvnet/replay_session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "KvNetClient.h"
#include "kvnet/console.h"
#include "kvnet/record_file_info.h"
#include "kvnet/snapshot_requests.h"
#include "kvnet/terminal_keys.h"
#include "kvnet/video_window.h"

namespace kvnet {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kTick{50};
// How often the position is shown (as the replay program's slider timer does).
constexpr milliseconds kPositionInterval{500};
// After the end event the last few queued pictures are still shown; this long at most at normal
// speed or faster, longer at the slow levels.
constexpr milliseconds kDrainLimit{2000};
constexpr unsigned kSeekStep = 10;
// How long a closing replay still waits for a snapshot it was asked for.
constexpr milliseconds kSnapshotGrace{1000};
constexpr int kSpeedLimit = 4;

const char* const kKeyHelp =
    "keys: space pause/continue, s step, + faster, - slower, 0 normal speed, , . or arrows seek "
    "10 s, a sound, c snapshot, q quit";

bool ParseInt(const char* text, int low, int high, int* out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

// What the keys change, as far as the client knows it.
struct Controls {
  KVNET_HANDLE replay = nullptr;
  bool paused = false;
  int speed = 0;
  bool sound = true;
  bool seeked = false;  // a seek was asked for since the main loop last looked
  SnapshotRequests* snapshots = nullptr;
};

std::string SpeedText(int level) {
  return Format("speed level %d (%s)", level,
                level == 0  ? "normal"
                : level > 0 ? Format("x%d", 1 << level).c_str()
                            : Format("x1/%d", 1 << -level).c_str());
}

// Raises or lowers the speed level by one and says what happened.
void ChangeSpeed(Controls* c, bool faster) {
  const int result = faster ? KVNET_SpeedFast(c->replay) : KVNET_SpeedSlow(c->replay);
  const char* what = faster ? "faster" : "slower";
  if (result == 0) {
    PrintLine(Format("key: %s: at the limit, %s", what, SpeedText(c->speed).c_str()));
    return;
  }
  c->speed += faster ? 1 : -1;
  PrintLine(Format("key: %s: %s", what, SpeedText(c->speed).c_str()));
}

void Seek(Controls* c, bool forward) {
  const unsigned total = KVNET_ReplayTotalTime(c->replay);
  const unsigned now = KVNET_ReplayCurTime(c->replay);
  const unsigned target =
      forward ? std::min(total, now + kSeekStep) : (now > kSeekStep ? now - kSeekStep : 0);
  const char* what = forward ? "forward" : "back";
  c->seeked = true;
  if (KVNET_ReplaySeek(c->replay, target) == 0) {
    PrintLine(Format("key: seek %s: not possible (the file has no length)", what));
    return;
  }
  PrintLine(Format("key: seek %s to %s/%s", what, MinutesSeconds(target).c_str(),
                   MinutesSeconds(total).c_str()));
}

// Acts on one key; false for quit.
bool HandleKey(int key, Controls* c) {
  switch (key) {
    case ' ':
      if (c->paused) {
        KVNET_ReplayContinue(c->replay);
        PrintLine("key: continue");
      } else {
        KVNET_ReplayPause(c->replay);
        PrintLine("key: pause");
      }
      c->paused = !c->paused;
      return true;
    case 's':
      KVNET_ReplayStepByStep(c->replay);
      c->paused = true;
      PrintLine("key: step (paused; space continues)");
      return true;
    case '+':
    case '=':
      ChangeSpeed(c, true);
      return true;
    case '-':
      ChangeSpeed(c, false);
      return true;
    case '0':
      KVNET_SpeedNormal(c->replay);
      c->speed = 0;
      PrintLine("key: normal speed");
      return true;
    case ',':
    case TerminalKeys::kLeft:
      Seek(c, false);
      return true;
    case '.':
    case TerminalKeys::kRight:
      Seek(c, true);
      return true;
    case 'a':
      if (c->sound) {
        KVNET_ClientStopAudio(c->replay);
        c->sound = false;
        PrintLine("key: sound off");
      } else {
        c->sound = KVNET_ClientPlayAudio(c->replay) != 0;
        PrintLine(c->sound
                      ? (c->speed == 0 ? "key: sound on" : "key: sound on (heard at normal speed)")
                      : "key: sound could not start");
      }
      return true;
    case 'c':
      PrintLine("key: snapshot");
      c->snapshots->RequestNext(c->replay);
      return true;
    case 'q':
    case 'Q':
      PrintLine("key: quit");
      return false;
    case TerminalKeys::kNone:
      return true;
  }
  PrintLine(kKeyHelp);
  return true;
}

}  // namespace

std::string MinutesSeconds(unsigned seconds) {
  return Format("%02u:%02u", seconds / 60, seconds % 60);
}

bool ParseReplayOptions(int argc, char** argv, ReplayOptions* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--window") {
      options->window = true;
    } else if (arg == "--paused") {
      options->startPaused = true;
    } else if (arg == "--no-sound") {
      options->sound = false;
    } else if (arg == "--seconds" || arg == "--speed") {
      const bool seconds = arg == "--seconds";
      if (value == nullptr ||
          !ParseInt(value, seconds ? 0 : -kSpeedLimit, seconds ? 86400 * 365 : kSpeedLimit,
                    seconds ? &options->seconds : &options->speed)) {
        *error =
            seconds ? "bad or missing value for --seconds" : "--speed needs a level from -4 to 4";
        return false;
      }
      ++i;
    } else if (arg == "--screenshot" || arg == "--snapshot") {
      if (value == nullptr || *value == '\0') {
        *error = arg + " needs a path";
        return false;
      }
      (arg == "--snapshot" ? options->snapshotPath : options->screenshotPath) = value;
      ++i;
    } else if (arg.rfind("--", 0) == 0 || arg.empty()) {
      *error = "unknown option " + arg;
      return false;
    } else if (options->path.empty()) {
      options->path = arg;
    } else {
      *error = "one file at a time (" + arg + ")";
      return false;
    }
  }
  if (options->path.empty()) {
    *error = "which file?";
    return false;
  }
  if (!options->screenshotPath.empty() && !options->window) {
    *error = "--screenshot needs --window";
    return false;
  }
  return true;
}

ReplayResult ReplaySession::Run() {
  ReplayResult result;
  std::unique_ptr<VideoWindow> ownWindow;
  VideoWindow* window = sharedWindow_;
  if (window == nullptr && options_.window) {
    // The window takes the recorded picture size when the file says it.
    int width = 352;
    int height = 288;
    std::string error;
    if (std::optional<RecordFileInfo> info = ReadRecordFileInfo(options_.path, &error);
        info && info->width >= 16 && info->height >= 16 && info->width <= 4096 &&
        info->height <= 4096) {
      width = info->width;
      height = info->height;
    }
    ownWindow = VideoWindow::Open(width, height, "kvnet replay " + options_.path, &error);
    window = ownWindow.get();
    if (window == nullptr) PrintLine("replay: " + error + "; playing without a window");
  }
  result.windowUsed = window != nullptr;

  int endsSeen = EventLog::Instance().Count(KV_EVENT_REPLAY_END);
  Controls c;
  c.replay = KVNET_OpenFile(options_.path.c_str(), window != nullptr ? window->Id() : 0,
                            options_.startPaused ? 1 : 0);
  if (c.replay == nullptr) {
    PrintError("replay: cannot open " + options_.path);
    return result;
  }
  result.opened = true;
  const Clock::time_point start = Clock::now();
  c.paused = options_.startPaused;
  result.totalSeconds = KVNET_ReplayTotalTime(c.replay);
  if (window != nullptr) {
    const char* display = std::getenv("DISPLAY");
    PrintLine(Format("replay: window 0x%x (%dx%d) on display %s", window->Id(), window->Width(),
                     window->Height(), display != nullptr ? display : "?"));
  }
  PrintLine(Format("replay: %s %s, length %s", c.paused ? "opened (paused)" : "playing",
                   options_.path.c_str(), MinutesSeconds(result.totalSeconds).c_str()));
  while (c.speed != options_.speed) {
    const bool faster = options_.speed > c.speed;
    if ((faster ? KVNET_SpeedFast(c.replay) : KVNET_SpeedSlow(c.replay)) == 0) break;
    c.speed += faster ? 1 : -1;
  }
  if (c.speed != 0) PrintLine("replay: " + SpeedText(c.speed));
  if (!options_.sound) {
    KVNET_ClientStopAudio(c.replay);
    c.sound = false;
    PrintLine("replay: sound off");
  }

  SnapshotRequests snapshots(options_.snapshotPath);
  c.snapshots = &snapshots;
  // Asked for at once: the first picture shown is saved, or the one held by the pause.
  const bool snapshotAsked =
      !options_.snapshotPath.empty() && snapshots.Request(c.replay, options_.snapshotPath);
  bool resumed = false;

  std::unique_ptr<TerminalKeys> keys = options_.keys ? TerminalKeys::Open() : nullptr;
  if (keys != nullptr) PrintLine(kKeyHelp);

  auto showPosition = [&] {
    result.lastPosition = KVNET_ReplayCurTime(c.replay);
    ++result.positionLines;
    PrintLine("replay: " + MinutesSeconds(result.lastPosition) + "/" +
              MinutesSeconds(KVNET_ReplayTotalTime(c.replay)));
  };
  showPosition();
  Clock::time_point nextPosition = start + kPositionInterval;
  bool draining = false;
  Clock::time_point drainEnd;
  const Clock::time_point end = start + std::chrono::seconds(options_.seconds);
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (Interrupted()) {
      PrintLine("replay: interrupted");
      result.quit = true;
      break;
    }
    if (window != nullptr && !window->PumpEvents()) {
      PrintLine("replay: window closed");
      result.quit = true;
      break;
    }
    if (keys != nullptr) {
      for (int key = keys->Poll(); key != TerminalKeys::kNone; key = keys->Poll()) {
        if (!HandleKey(key, &c)) {
          result.quit = true;
          break;
        }
      }
      if (result.quit) break;
    }
    snapshots.Poll();
    if (options_.resumeAfterSnapshot && snapshotAsked && !resumed && c.paused &&
        !snapshots.Pending()) {
      resumed = true;
      KVNET_ReplayContinue(c.replay);
      c.paused = false;
      PrintLine("replay: continue after the snapshot");
    }
    if (now >= nextPosition) {
      showPosition();
      nextPosition += kPositionInterval;
      if (nextPosition < now) nextPosition = now + kPositionInterval;
    }
    // The end event comes when the last frame is read; the pictures still queued are shown
    // before the replay ends. A paused replay stays open at the end until it is continued or
    // quit, and a seek away from the end waits for the next end event.
    const int ends = EventLog::Instance().Count(KV_EVENT_REPLAY_END);
    if (c.seeked) {
      c.seeked = false;
      result.endEvent = false;
      endsSeen = ends;
    } else if (ends > endsSeen) {
      result.endEvent = true;
    }
    if (result.endEvent && !c.paused) {
      if (!draining) {
        draining = true;
        drainEnd = now + kDrainLimit * (c.speed < 0 ? 1 << -c.speed : 1);
      }
      if (KVNET_ReplayCurTime(c.replay) >= KVNET_ReplayTotalTime(c.replay) || now >= drainEnd) {
        PrintLine("replay: end of the file");
        break;
      }
    } else {
      draining = false;
    }
    if (options_.seconds > 0 && now >= end) {
      PrintLine(Format("replay: %d s are up", options_.seconds));
      break;
    }
    std::this_thread::sleep_for(kTick);
  }
  keys.reset();  // the terminal is itself again before the last lines
  showPosition();
  snapshots.Finish(kSnapshotGrace);
  result.snapshotWritten = snapshotAsked && snapshots.Written(options_.snapshotPath);
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
  KVNET_CloseFile(c.replay);
  result.runSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  PrintLine(Format("replay: closed after %.1f s", result.runSeconds));
  return result;
}

}  // namespace kvnet
