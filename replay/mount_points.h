// The "drives" the search offers: the mount points of local, fixed file systems (no removable,
// optical, network, RAM or pseudo file systems), or the folders named by KVREPLAY_DRIVES.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

namespace kvreplay {

// The environment variable whose folders, separated by ":", replace the drive list.
inline constexpr char kDrivesVariable[] = "KVREPLAY_DRIVES";

// One line of /proc/self/mountinfo.
struct MountEntry {
  int major = 0;
  int minor = 0;
  QString root;  // the folder of the file system that is mounted here
  QString mountPoint;
  QString fsType;
  QString source;  // the device, e.g. /dev/sda1
};

// The lines of a mountinfo text; malformed lines are skipped. Escaped characters (\040 for a
// blank and so on) are decoded.
std::vector<MountEntry> ParseMountInfo(const QByteArray& text);

// True for a file system type that lives on a local disk and a source that is a block device.
bool IsLocalDiskMount(const MountEntry& entry);

// The mount points of local fixed file systems, in mount order: a device's file system counts
// once (bind mounts of the same folder are skipped), removable devices are left out, and so are
// mount points that are not folders.
QStringList FixedMountPoints(const std::vector<MountEntry>& mounts,
                             const std::function<bool(int major, int minor)>& isRemovable,
                             const std::function<bool(const QString& path)>& isFolder);

// The folders of a KVREPLAY_DRIVES value; empty entries are skipped.
QStringList SplitDrivesVariable(const QString& value);

// The drive list of this machine: KVREPLAY_DRIVES when it is set and not empty, else the fixed
// mount points read from /proc/self/mountinfo and /sys.
QStringList DriveRoots();

}  // namespace kvreplay
