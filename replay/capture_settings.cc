// Snapshot folder and file path.
#include "replay/capture_settings.h"

#include <QDir>
#include <QStandardPaths>

namespace kvreplay {
namespace {

constexpr int kMaxCapturePathChars = 255;

QString WithTrailingSeparator(const QString& folder) {
  if (folder.isEmpty() || folder.endsWith(u'/')) return folder;
  return folder + u'/';
}

}  // namespace

CRegistry::~CRegistry() = default;

bool CRegistry::OpenViewerKey() {
  m_strKeyPath = QStringLiteral("%1/%2").arg(QLatin1String(kSettingsOrganisation),
                                             QLatin1String(kSettingsApplication));
  m_hKey = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QLatin1String(kSettingsOrganisation),
                                       QLatin1String(kSettingsApplication));
  m_lResult = m_hKey->status();
  m_dwSize = 0;
  if (m_lResult != QSettings::NoError) m_hKey.reset();
  return m_hKey != nullptr;
}

bool CRegistry::ReadCapturePath(QString* out) {
  if (m_hKey == nullptr) return false;
  const QVariant value = m_hKey->value(QLatin1String(kCapturePathValue));
  m_lResult = m_hKey->status();
  if (!value.isValid() || m_lResult != QSettings::NoError) return false;
  QString text = value.toString();
  m_dwSize = static_cast<uint32_t>(text.size());
  if (text.size() > kMaxCapturePathChars) return false;
  const qsizetype terminator = text.indexOf(QChar(u'\0'));
  if (terminator >= 0) text.truncate(terminator);
  if (text.isEmpty()) return false;
  *out = text;
  return true;
}

QString DefaultCaptureRoot() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
  if (folder.isEmpty()) folder = QDir::homePath();
  return WithTrailingSeparator(folder);
}

QString ReadCaptureRoot() {
  CRegistry registry;
  QString root;
  if (registry.OpenViewerKey() && registry.ReadCapturePath(&root)) return root;
  return DefaultCaptureRoot();
}

QString SnapshotFilePath(const QString& root, const QDateTime& localTime, int32_t tick) {
  const QString day = localTime.toString(QStringLiteral("yyyy-MM-dd"));
  const QString stamp = localTime.toString(QStringLiteral("yyyy_MM_dd_HH_mm_ss"));
  return QStringLiteral("%1KV_Capture/%2/ReplayShot_%3_%4.jpg")
      .arg(WithTrailingSeparator(root), day, stamp, QString::number(tick));
}

}  // namespace kvreplay
