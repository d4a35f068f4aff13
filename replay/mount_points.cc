// Drive roots from the mount table.
#include "replay/mount_points.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSet>
#include <set>
#include <utility>

namespace kvreplay {
namespace {

// File systems kept on local disks. Everything else (proc, sysfs, tmpfs, ramfs, overlay,
// squashfs, iso9660, udf, nfs, cifs, fuse file systems other than fuseblk, ...) is not a drive.
const QSet<QString>& LocalDiskTypes() {
  static const QSet<QString> types = {
      QStringLiteral("ext2"),     QStringLiteral("ext3"),     QStringLiteral("ext4"),
      QStringLiteral("xfs"),      QStringLiteral("btrfs"),    QStringLiteral("f2fs"),
      QStringLiteral("jfs"),      QStringLiteral("reiserfs"), QStringLiteral("nilfs2"),
      QStringLiteral("bcachefs"), QStringLiteral("vfat"),     QStringLiteral("msdos"),
      QStringLiteral("exfat"),    QStringLiteral("ntfs"),     QStringLiteral("ntfs3"),
      QStringLiteral("fuseblk"),  QStringLiteral("hfs"),      QStringLiteral("hfsplus")};
  return types;
}

constexpr int kRamDiskMajor = 1;
constexpr int kOpticalMajor = 11;

// Decodes the octal escapes of mountinfo fields ("\040" is a blank).
QString Unescape(const QByteArray& field) {
  QByteArray out;
  out.reserve(field.size());
  for (qsizetype i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const QByteArray digits = field.mid(i + 1, 3);
      bool ok = digits.size() == 3;
      for (char c : digits) ok = ok && c >= '0' && c <= '7';
      if (ok) {
        out.append(static_cast<char>(digits.toInt(nullptr, 8)));
        i += 3;
        continue;
      }
    }
    out.append(field[i]);
  }
  return QString::fromLocal8Bit(out);
}

QByteArray ReadSmallFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.read(4096);
}

// A block device is removable when the kernel says so for it or, for a partition, for its disk.
bool BlockDeviceRemovable(int major, int minor) {
  const QString base = QStringLiteral("/sys/dev/block/%1:%2/").arg(major).arg(minor);
  QByteArray flag = ReadSmallFile(base + QStringLiteral("removable"));
  if (flag.isEmpty()) flag = ReadSmallFile(base + QStringLiteral("../removable"));
  return flag.trimmed() == "1";
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(const QByteArray& text) {
  std::vector<MountEntry> mounts;
  for (const QByteArray& line : text.split('\n')) {
    const QList<QByteArray> fields = line.simplified().split(' ');
    // id parent major:minor root mount-point options [optional fields] - type source options
    const qsizetype dash = fields.indexOf("-");
    if (fields.size() < 10 || dash < 6 || dash + 2 >= fields.size()) continue;
    const QList<QByteArray> device = fields[2].split(':');
    if (device.size() != 2) continue;
    bool majorOk = false;
    bool minorOk = false;
    MountEntry entry;
    entry.major = device[0].toInt(&majorOk);
    entry.minor = device[1].toInt(&minorOk);
    if (!majorOk || !minorOk) continue;
    entry.root = Unescape(fields[3]);
    entry.mountPoint = Unescape(fields[4]);
    entry.fsType = Unescape(fields[dash + 1]);
    entry.source = Unescape(fields[dash + 2]);
    mounts.push_back(std::move(entry));
  }
  return mounts;
}

bool IsLocalDiskMount(const MountEntry& entry) {
  if (!LocalDiskTypes().contains(entry.fsType)) return false;
  if (entry.major == kRamDiskMajor || entry.major == kOpticalMajor) return false;
  return entry.source.startsWith(QStringLiteral("/dev/"));
}

QStringList FixedMountPoints(const std::vector<MountEntry>& mounts,
                             const std::function<bool(int major, int minor)>& isRemovable,
                             const std::function<bool(const QString& path)>& isFolder) {
  QStringList roots;
  std::set<std::pair<std::pair<int, int>, QString>> seen;
  for (const MountEntry& m : mounts) {
    if (!IsLocalDiskMount(m)) continue;
    if (!seen.insert({{m.major, m.minor}, m.root}).second) continue;
    if (isRemovable(m.major, m.minor)) continue;
    if (!isFolder(m.mountPoint)) continue;
    roots << m.mountPoint;
  }
  return roots;
}

QStringList SplitDrivesVariable(const QString& value) {
  QStringList roots;
  for (const QString& part : value.split(u':')) {
    if (!part.isEmpty()) roots << part;
  }
  return roots;
}

QStringList DriveRoots() {
  const QString variable = qEnvironmentVariable(kDrivesVariable);
  if (!variable.isEmpty()) return SplitDrivesVariable(variable);
  QFile mountInfo(QStringLiteral("/proc/self/mountinfo"));
  if (!mountInfo.open(QIODevice::ReadOnly)) return {};
  return FixedMountPoints(ParseMountInfo(mountInfo.readAll()), BlockDeviceRemovable,
                          [](const QString& path) { return QFileInfo(path).isDir(); });
}

}  // namespace kvreplay
