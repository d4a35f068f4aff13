// The recording list (a report-style list with grid lines and full-row selection) and its
// header: rows that keep their texts, sorting on header clicks with the sort mark, renumbering,
// the light green shading of every other row, and column widths restored from the settings.
#pragma once

#include <QHeaderView>
#include <QStringList>
#include <QStyledItemDelegate>
#include <QTableWidget>

#include "replay/sort_rule.h"

namespace kvreplay {

class CSortHeaderCtrl : public QHeaderView {
 public:
  explicit CSortHeaderCtrl(QWidget* parent);

  // Marks column as sorted up (ascending) or down; no other column keeps a mark.
  void SetSortImage(int column, bool ascending);
  // Sets the widths stored in value when its column count matches the header's; false (and
  // nothing changed) otherwise.
  bool LoadWidths(const QByteArray& value);

  int SortColumn() const { return m_iSortColumn; }
  bool SortAscending() const { return m_bSortAscending; }

 private:
  int m_iSortColumn = -1;
  bool m_bSortAscending = true;
};

// Shades rows 0, 2, 4, ... light green.
class CShadedRowDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  static QColor ShadeColour() { return QColor(223, 255, 240); }

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

class CSortListCtrl : public QTableWidget {
 public:
  explicit CSortListCtrl(QWidget* parent);

  // Appends a row with exactly m_iNumColumns texts, column 0 first; returns its index (-1 when
  // the count is wrong).
  int AddItem(const QStringList& texts);
  // Deletes every row.
  void ClearItems();
  // Sets the number of column texts per row to 6 and restores stored column widths.
  void LoadColumnInfo();
  // A click on a column header: sorts by that column and renumbers (nothing for column 0).
  void OnColumnClick(int column);

  // The texts of a row, column 0 first.
  QStringList RowTexts(int row) const;
  CSortHeaderCtrl* Header() const { return m_ctlHeader; }
  int SortColumn() const { return m_sort.column; }
  bool SortAscending() const { return m_sort.ascending; }

 private:
  CSortHeaderCtrl* m_ctlHeader;
  int m_iNumColumns = 0;
  SortState m_sort;
};

}  // namespace kvreplay
