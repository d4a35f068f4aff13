// The recording search over the folder layouts.
#include "replay/record_finder.h"

#include <QDir>

#include "replay/record_names.h"

namespace kvreplay {
namespace {

constexpr QDir::Filters kEveryEntry =
    QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
constexpr QDir::SortFlags kNameOrder = QDir::Name | QDir::IgnoreCase;

// The sub-folders of dir whose name is `name` in any case, in name order.
QStringList MatchingFolders(const QString& dir, const QString& name) {
  QStringList found;
  const QFileInfoList entries = QDir(dir).entryInfoList(kEveryEntry, kNameOrder);
  for (const QFileInfo& entry : entries) {
    if (entry.isDir() && entry.fileName().compare(name, Qt::CaseInsensitive) == 0) {
      found << entry.filePath();
    }
  }
  return found;
}

void ScanDayFolder(const QString& dayPath, const RecordSearchFilter& filter, RecordType type,
                   std::vector<RecordRow>* rows, int* added) {
  QDir day(dayPath, QStringLiteral("*.h264"), kNameOrder, kEveryEntry);
  const QFileInfoList files = day.entryInfoList();
  for (const QFileInfo& file : files) {
    const QString name = file.fileName();
    int channel = 0;
    if (!ParseChannel(name, &channel)) continue;
    if (filter.channel != 0 && filter.channel != channel) continue;
    if (!filter.address.isEmpty() && !MatchDeviceAddress(name, filter.address)) continue;
    const QDateTime created = FileCreationTime(file);
    if (!TimeInRange(filter.start, filter.end, ToDateTimeValue(created))) continue;
    rows->push_back(RecordRow{file.filePath(), channel, type, created, file.lastModified()});
    ++*added;
  }
}

}  // namespace

int SearchRecordTree(const QStringList& roots, const RecordSearchFilter& filter, int type,
                     FolderLayout layout, std::vector<RecordRow>* rows) {
  if (type != 1 && type != 2) return 0;
  const RecordType recordType = static_cast<RecordType>(type);
  const QString typeFolder = type == 1 ? QStringLiteral("Normal") : QStringLiteral("Alarm");
  const QString layoutFolder =
      layout == FolderLayout::kFirst ? QStringLiteral("KV_Record") : QStringLiteral("Record");
  int added = 0;
  for (const QString& root : roots) {
    for (const QString& layoutPath : MatchingFolders(root, layoutFolder)) {
      for (const QString& typePath : MatchingFolders(layoutPath, typeFolder)) {
        const QFileInfoList days = QDir(typePath).entryInfoList(kEveryEntry, kNameOrder);
        for (const QFileInfo& day : days) {
          if (!day.isDir()) continue;
          DateTimeValue date;
          if (!ParseDateFolder(day.fileName(), &date)) continue;
          if (!DateInRange(filter.start, filter.end, date)) continue;
          ScanDayFolder(day.filePath(), filter, recordType, rows, &added);
        }
      }
    }
  }
  return added;
}

std::vector<RecordRow> SearchRecordings(const QStringList& roots, const RecordSearchFilter& filter,
                                        int typeSelection) {
  std::vector<RecordRow> rows;
  const bool normal = typeSelection == 0 || typeSelection == 1;
  const bool alarm = typeSelection == 0 || typeSelection == 2;
  if (normal) SearchRecordTree(roots, filter, 1, FolderLayout::kFirst, &rows);
  if (alarm) SearchRecordTree(roots, filter, 2, FolderLayout::kFirst, &rows);
  if (normal) SearchRecordTree(roots, filter, 1, FolderLayout::kSecond, &rows);
  if (alarm) SearchRecordTree(roots, filter, 2, FolderLayout::kSecond, &rows);
  return rows;
}

QDateTime FileCreationTime(const QFileInfo& file) {
  const QDateTime birth = file.birthTime();
  if (birth.isValid()) return birth.toLocalTime();
  return file.metadataChangeTime().toLocalTime();
}

DateTimeValue ToDateTimeValue(const QDateTime& time) {
  if (!time.isValid()) return DateTimeValue::FromFields(-1, -1, -1, -1, -1, -1);
  const QDateTime local = time.toLocalTime();
  const QDate d = local.date();
  const QTime t = local.time();
  return DateTimeValue::FromFields(d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second());
}

QString FormatListTime(const QDateTime& time) {
  return time.toLocalTime().toString(QStringLiteral("yyyyMMdd HH:mm:ss"));
}

}  // namespace kvreplay
