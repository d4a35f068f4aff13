// Where snapshots go: the capture folder the viewer's settings name ("CapturePath" in the
// per-user settings of organisation "MorvaLinder", application "KVViewerX"), the fallback when
// there is none, and the snapshot file path under it.
#pragma once

#include <QDateTime>
#include <QSettings>
#include <QString>
#include <cstdint>
#include <memory>

namespace kvreplay {

inline constexpr char kSettingsOrganisation[] = "MorvaLinder";
inline constexpr char kSettingsApplication[] = "KVViewerX";
inline constexpr char kCapturePathValue[] = "CapturePath";

// Reads the viewer's settings: open the store, then read the capture folder.
class CRegistry {
 public:
  CRegistry() = default;
  virtual ~CRegistry();
  CRegistry(const CRegistry&) = delete;
  CRegistry& operator=(const CRegistry&) = delete;

  // Opens the viewer's settings store; true when it can be read.
  bool OpenViewerKey();
  // The capture folder: true with *out set when the value exists, is not empty and holds at
  // most 255 characters (its text up to the first NUL); else *out is unchanged.
  bool ReadCapturePath(QString* out);

 private:
  QSettings::Status m_lResult = QSettings::NoError;
  uint32_t m_dwSize = 0;  // characters of the last value read
  std::unique_ptr<QSettings> m_hKey;
  QString m_strKeyPath;
};

// The folder used when the settings name none: the user's pictures folder (or home folder),
// with a separator at its end, so snapshots land inside the folder that is opened.
QString DefaultCaptureRoot();

// The snapshot root: the settings' capture folder, else DefaultCaptureRoot().
QString ReadCaptureRoot();

// root + "KV_Capture/" + day + "/ReplayShot_" + time stamp + "_" + tick + ".jpg", with the day
// as "yyyy-MM-dd" and the time stamp as "yyyy_MM_dd_HH_mm_ss" of localTime. A separator is put
// between root and "KV_Capture" when root does not end with one.
QString SnapshotFilePath(const QString& root, const QDateTime& localTime, int32_t tick);

}  // namespace kvreplay
