// The library functions the program uses, bound by name when the program starts: it uses
// libKvNetClient through its public header only, like any other program would.
#pragma once

#include <QByteArray>
#include <QLibrary>
#include <QString>
#include <QStringList>

#include "KvNetClient.h"

namespace kvreplay {

// The environment variable that names the library file to load instead of the default.
inline constexpr char kLibraryVariable[] = "KVREPLAY_LIBRARY";

// The 17 functions the program calls: the replay family, start-up and clean-up, and
// KVNET_ClientSetWnd, which moves drawing to the video area's new window when the window system
// had to make a new one for it.
struct KvNetApi {
  decltype(&KVNET_Startup) Startup = nullptr;
  decltype(&KVNET_Cleanup) Cleanup = nullptr;
  decltype(&KVNET_OpenFile) OpenFile = nullptr;
  decltype(&KVNET_CloseFile) CloseFile = nullptr;
  decltype(&KVNET_ClientRefreshWnd) ClientRefreshWnd = nullptr;
  decltype(&KVNET_ClientSetWnd) ClientSetWnd = nullptr;
  decltype(&KVNET_ClientPlayAudio) ClientPlayAudio = nullptr;
  decltype(&KVNET_ClientStopAudio) ClientStopAudio = nullptr;
  decltype(&KVNET_ClientCapturePicture) ClientCapturePicture = nullptr;
  decltype(&KVNET_ReplayPause) ReplayPause = nullptr;
  decltype(&KVNET_ReplayContinue) ReplayContinue = nullptr;
  decltype(&KVNET_ReplayStepByStep) ReplayStepByStep = nullptr;
  decltype(&KVNET_SpeedFast) SpeedFast = nullptr;
  decltype(&KVNET_SpeedSlow) SpeedSlow = nullptr;
  decltype(&KVNET_ReplayTotalTime) ReplayTotalTime = nullptr;
  decltype(&KVNET_ReplayCurTime) ReplayCurTime = nullptr;
  decltype(&KVNET_ReplaySeek) ReplaySeek = nullptr;

  // True when every function is bound.
  bool Complete() const;
};

// Loads the library and binds the functions. The library stays loaded for the life of the
// process: its threads may still be ending when the program's objects go.
class KvNetLibrary {
 public:
  // Loads the first file of the candidates that loads; false with *error naming what failed
  // (a missing file or a missing function).
  bool Load(const QStringList& candidates, QString* error);
  const KvNetApi& Api() const { return api_; }

 private:
  QLibrary library_;
  KvNetApi api_;
};

// Where the program looks for the library: KVREPLAY_LIBRARY when set, then beside the program,
// then in the build tree (the program's folder and the relative path given), then the system's
// library search by name.
QStringList LibraryCandidates(const QString& programFolder, const QString& buildTreeRelative);

// A path as the library takes it: the bytes of its local 8-bit encoding in a 1024-byte buffer
// with its terminator. A path of more than 1022 characters, or one whose encoding does not fit
// the buffer, gives an empty text (which the library refuses).
QByteArray PathForLibrary(const QString& path);

}  // namespace kvreplay
