// The recording search: walks the two folder layouts under each chosen drive root and returns
// the recordings that pass the filters, in the order the scans find them.
//
//   <root>/KV_Record/<Normal|Alarm>/<day>/<name>.h264   (first layout)
//   <root>/Record/<Normal|Alarm>/<day>/<name>.h264      (second layout)
//
// Folder names and the ".h264" ending match without regard to case. Entries of one folder are
// taken in name order, ignoring case, as the recordings' original file system lists them.
#pragma once

#include <QDateTime>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <vector>

#include "replay/date_time_value.h"

namespace kvreplay {

enum class RecordType { kNormal = 1, kAlarm = 2 };
enum class FolderLayout { kFirst, kSecond };

struct RecordSearchFilter {
  int channel = 0;  // 0: every channel
  QString address;  // empty: every device
  DateTimeValue start;
  DateTimeValue end;
};

struct RecordRow {
  QString path;  // full path of the file
  int channel = 0;
  RecordType type = RecordType::kNormal;
  QDateTime created;  // local time
  QDateTime modified;
};

// One scan: type (1 normal, 2 alarm; anything else adds nothing) in one layout over the roots.
// Appends the rows to *rows and returns how many it added.
int SearchRecordTree(const QStringList& roots, const RecordSearchFilter& filter, int type,
                     FolderLayout layout, std::vector<RecordRow>* rows);

// The four scans in their fixed order (first layout normal, first layout alarm, second layout
// normal, second layout alarm), each when typeSelection (0 all, 1 normal, 2 alarm) allows it.
std::vector<RecordRow> SearchRecordings(const QStringList& roots, const RecordSearchFilter& filter,
                                        int typeSelection);

// The file's creation time: its birth time where the file system keeps one, else the time of its
// last status change. Invalid when neither can be read.
QDateTime FileCreationTime(const QFileInfo& file);

// A local time as a date-time value (invalid for an invalid time).
DateTimeValue ToDateTimeValue(const QDateTime& time);

// "%Y%m%d %H:%M:%S" in local time, the format of the list's time columns.
QString FormatListTime(const QDateTime& time);

}  // namespace kvreplay
