// The main dialog's search panel: the drive lists and the search into the recording list.
#include <QAbstractItemView>
#include <QComboBox>
#include <QDateEdit>
#include <QTimeEdit>

#include "replay/kv_replay_dlg.h"
#include "replay/mount_points.h"
#include "replay/record_finder.h"
#include "replay/record_names.h"
#include "replay/small_controls.h"
#include "replay/sort_list_ctrl.h"

namespace kvreplay {
namespace {

constexpr int kPopupMargin = 24;

}  // namespace

void CKV_ReplayDlg::FillDriveLists() {
  m_driveRoots = kvreplay::DriveRoots();
  m_cbStartDrive->clear();
  m_cbEndDrive->clear();
  m_cbStartDrive->addItems(m_driveRoots);
  m_cbEndDrive->addItems(m_driveRoots);
  for (QComboBox* list : {m_cbStartDrive, m_cbEndDrive}) {
    list->setCurrentIndex(m_driveRoots.isEmpty() ? -1 : 0);
    // Mount points can be longer than the list is wide: the open list shows them whole.
    list->view()->setMinimumWidth(list->view()->sizeHintForColumn(0) + kPopupMargin);
  }
}

void CKV_ReplayDlg::OnSearch() {
  m_dwDeviceAddress = m_deviceAddress->Address();
  const int startDrive = m_cbStartDrive->currentIndex();
  const int endDrive = m_cbEndDrive->currentIndex();
  if (startDrive > endDrive) return ShowMessage(IDS_DRIVE_ORDER);

  RecordSearchFilter filter;
  filter.channel = m_cbChannel->currentIndex();
  if (m_dwDeviceAddress != 0) filter.address = FormatDeviceAddress(m_dwDeviceAddress);
  const QDate startDate = m_startDate->date();
  const QTime startTime = m_startTime->time();
  const QDate endDate = m_endDate->date();
  const QTime endTime = m_endTime->time();
  filter.start =
      DateTimeValue::FromFields(startDate.year(), startDate.month(), startDate.day(),
                                startTime.hour(), startTime.minute(), startTime.second());
  filter.end = DateTimeValue::FromFields(endDate.year(), endDate.month(), endDate.day(),
                                         endTime.hour(), endTime.minute(), endTime.second());
  if (IsEarlier(filter.end, filter.start)) return ShowMessage(IDS_TIME_ORDER);
  const int typeSelection = m_cbFileType->currentIndex();

  m_list->ClearItems();
  m_list->setUpdatesEnabled(false);
  QStringList roots;
  if (startDrive >= 0) roots = m_driveRoots.mid(startDrive, endDrive - startDrive + 1);
  const std::vector<RecordRow> rows = SearchRecordings(roots, filter, typeSelection);
  const QString normal = LoadString(m_language, IDS_TYPE_NORMAL);
  const QString alarm = LoadString(m_language, IDS_TYPE_ALARM);
  for (const RecordRow& row : rows) {
    m_list->AddItem({QString::number(m_list->rowCount() + 1), row.path,
                     QString::number(row.channel), row.type == RecordType::kAlarm ? alarm : normal,
                     FormatListTime(row.created), FormatListTime(row.modified)});
  }
  m_list->setUpdatesEnabled(true);
}

}  // namespace kvreplay
