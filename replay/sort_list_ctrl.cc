// The recording list and its header.
#include "replay/sort_list_ctrl.h"

#include <QSettings>
#include <QSignalBlocker>
#include <vector>

#include "replay/capture_settings.h"
#include "replay/column_widths.h"

namespace kvreplay {
namespace {

constexpr int kListColumns = 6;

}  // namespace

CSortHeaderCtrl::CSortHeaderCtrl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
  setSectionsClickable(true);
  setHighlightSections(false);
  setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  setStretchLastSection(false);
  // The header would move the mark on any click by itself; the mark shows the list's sort only.
  connect(this, &QHeaderView::sortIndicatorChanged, this, [this](int section, Qt::SortOrder order) {
    const Qt::SortOrder marked = m_bSortAscending ? Qt::AscendingOrder : Qt::DescendingOrder;
    if (m_iSortColumn < 0 || (section == m_iSortColumn && order == marked)) return;
    const QSignalBlocker blocker(this);
    setSortIndicator(m_iSortColumn, marked);
  });
}

void CSortHeaderCtrl::SetSortImage(int column, bool ascending) {
  m_iSortColumn = column;
  m_bSortAscending = ascending;
  setSortIndicatorShown(true);
  setSortIndicator(column, ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
  viewport()->update();
}

bool CSortHeaderCtrl::LoadWidths(const QByteArray& value) {
  const std::optional<std::vector<int>> widths = ParseStoredWidths(value, count());
  if (!widths) return false;
  for (int i = 0; i < count(); ++i) {
    if ((*widths)[i] >= 0) resizeSection(i, (*widths)[i]);
  }
  return true;
}

void CShadedRowDelegate::initStyleOption(QStyleOptionViewItem* option,
                                         const QModelIndex& index) const {
  QStyledItemDelegate::initStyleOption(option, index);
  if (index.row() % 2 == 0) option->backgroundBrush = ShadeColour();
}

CSortListCtrl::CSortListCtrl(QWidget* parent)
    : QTableWidget(parent), m_ctlHeader(new CSortHeaderCtrl(this)) {
  setHorizontalHeader(m_ctlHeader);
  verticalHeader()->hide();
  setShowGrid(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setWordWrap(false);
  setItemDelegate(new CShadedRowDelegate(this));
  setSortingEnabled(false);
  connect(m_ctlHeader, &QHeaderView::sectionClicked, this, [this](int c) { OnColumnClick(c); });
}

int CSortListCtrl::AddItem(const QStringList& texts) {
  if (texts.size() != m_iNumColumns) return -1;
  const int row = rowCount();
  insertRow(row);
  for (int c = 0; c < m_iNumColumns; ++c) setItem(row, c, new QTableWidgetItem(texts[c]));
  return row;
}

void CSortListCtrl::ClearItems() {
  clearContents();
  setRowCount(0);
}

void CSortListCtrl::LoadColumnInfo() {
  m_iNumColumns = kListColumns;
  QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                     QLatin1String(kSettingsOrganisation), QLatin1String(kSettingsApplication));
  const QByteArray value = settings.value(QLatin1String(kListWidthsKey)).toByteArray();
  if (!value.isEmpty() && m_ctlHeader->LoadWidths(value)) m_ctlHeader->viewport()->update();
}

void CSortListCtrl::OnColumnClick(int column) {
  if (!ApplyHeaderClick(&m_sort, column)) return;
  m_ctlHeader->SetSortImage(m_sort.column, m_sort.ascending);

  const int rows = rowCount();
  std::vector<QStringList> texts;
  std::vector<bool> selected;
  for (int r = 0; r < rows; ++r) {
    texts.push_back(RowTexts(r));
    selected.push_back(item(r, 0) != nullptr && item(r, 0)->isSelected());
  }
  const std::vector<int> order = SortOrder(texts, m_sort, UserCollator());

  clearSelection();
  for (int r = 0; r < rows; ++r) {
    QStringList row = texts[order[r]];
    row[0] = QString::number(r + 1);
    for (int c = 0; c < columnCount() && c < row.size(); ++c) {
      QTableWidgetItem* cell = item(r, c);
      if (cell == nullptr) {
        cell = new QTableWidgetItem;
        setItem(r, c, cell);
      }
      cell->setText(row[c]);
    }
    if (selected[order[r]]) {
      selectionModel()->select(model()->index(r, 0),
                               QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
  }
}

QStringList CSortListCtrl::RowTexts(int row) const {
  QStringList texts;
  for (int c = 0; c < columnCount(); ++c) {
    const QTableWidgetItem* cell = item(row, c);
    texts << (cell != nullptr ? cell->text() : QString());
  }
  return texts;
}

}  // namespace kvreplay
