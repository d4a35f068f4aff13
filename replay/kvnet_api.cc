// Binding the library by name.
#include "replay/kvnet_api.h"

#include <QDir>
#include <QFile>

namespace kvreplay {
namespace {

constexpr qsizetype kPathBufferBytes = 1024;
constexpr qsizetype kMaxPathChars = 1022;

template <typename F>
bool Bind(QLibrary& library, const char* name, F* slot, QStringList* missing) {
  *slot = reinterpret_cast<F>(library.resolve(name));
  if (*slot == nullptr) missing->append(QLatin1String(name));
  return *slot != nullptr;
}

}  // namespace

bool KvNetApi::Complete() const {
  return Startup && Cleanup && OpenFile && CloseFile && ClientRefreshWnd && ClientSetWnd &&
         ClientPlayAudio && ClientStopAudio && ClientCapturePicture && ReplayPause &&
         ReplayContinue && ReplayStepByStep && SpeedFast && SpeedSlow && ReplayTotalTime &&
         ReplayCurTime && ReplaySeek;
}

bool KvNetLibrary::Load(const QStringList& candidates, QString* error) {
  QStringList failures;
  for (const QString& candidate : candidates) {
    library_.setFileName(candidate);
    if (library_.load()) break;
    failures << library_.errorString();
  }
  if (!library_.isLoaded()) {
    *error =
        QStringLiteral("libKvNetClient could not be loaded: ") + failures.join(QLatin1String("; "));
    return false;
  }
  KvNetApi api;
  QStringList missing;
  Bind(library_, "KVNET_Startup", &api.Startup, &missing);
  Bind(library_, "KVNET_Cleanup", &api.Cleanup, &missing);
  Bind(library_, "KVNET_OpenFile", &api.OpenFile, &missing);
  Bind(library_, "KVNET_CloseFile", &api.CloseFile, &missing);
  Bind(library_, "KVNET_ClientRefreshWnd", &api.ClientRefreshWnd, &missing);
  Bind(library_, "KVNET_ClientSetWnd", &api.ClientSetWnd, &missing);
  Bind(library_, "KVNET_ClientPlayAudio", &api.ClientPlayAudio, &missing);
  Bind(library_, "KVNET_ClientStopAudio", &api.ClientStopAudio, &missing);
  Bind(library_, "KVNET_ClientCapturePicture", &api.ClientCapturePicture, &missing);
  Bind(library_, "KVNET_ReplayPause", &api.ReplayPause, &missing);
  Bind(library_, "KVNET_ReplayContinue", &api.ReplayContinue, &missing);
  Bind(library_, "KVNET_ReplayStepByStep", &api.ReplayStepByStep, &missing);
  Bind(library_, "KVNET_SpeedFast", &api.SpeedFast, &missing);
  Bind(library_, "KVNET_SpeedSlow", &api.SpeedSlow, &missing);
  Bind(library_, "KVNET_ReplayTotalTime", &api.ReplayTotalTime, &missing);
  Bind(library_, "KVNET_ReplayCurTime", &api.ReplayCurTime, &missing);
  Bind(library_, "KVNET_ReplaySeek", &api.ReplaySeek, &missing);
  if (!missing.isEmpty()) {
    *error = library_.fileName() + QStringLiteral(" lacks ") + missing.join(QLatin1String(", "));
    return false;
  }
  api_ = api;
  return true;
}

QStringList LibraryCandidates(const QString& programFolder, const QString& buildTreeRelative) {
  QStringList candidates;
  const QString named = qEnvironmentVariable(kLibraryVariable);
  if (!named.isEmpty()) return {named};
  const QDir folder(programFolder);
  const QString beside = folder.filePath(QStringLiteral("libKvNetClient.so"));
  if (QFile::exists(beside)) candidates << beside;
  if (!buildTreeRelative.isEmpty()) {
    const QString inBuildTree = QDir::cleanPath(folder.filePath(buildTreeRelative));
    if (QFile::exists(inBuildTree)) candidates << inBuildTree;
  }
  candidates << QStringLiteral("KvNetClient");
  return candidates;
}

QByteArray PathForLibrary(const QString& path) {
  if (path.size() > kMaxPathChars) return {};
  const QByteArray encoded = QFile::encodeName(path);
  if (encoded.size() >= kPathBufferBytes) return {};
  return encoded;
}

}  // namespace kvreplay
