// The recording list's sort rule: which column a header click sorts by and in which direction,
// how two rows compare, and the renumbering of the Index column afterwards.
#pragma once

#include <QCollator>
#include <QStringList>
#include <vector>

namespace kvreplay {

struct SortState {
  int column = -1;  // -1: not sorted yet
  bool ascending = true;
};

// A click on the header of column: the same column again reverses the direction, another column
// sorts ascending. False, with the state unchanged, for the Index column (0).
bool ApplyHeaderClick(SortState* state, int column);

// The user locale's case-sensitive string comparison.
QCollator UserCollator();

// Compares the texts of the sorted column of two rows: a with b when ascending, else b with a.
int CompareItems(const QStringList& a, const QStringList& b, const SortState& state,
                 const QCollator& collator);

// The order of the rows (texts of every column, column 0 first) sorted by the state: entry i is
// the index of the row that goes to place i. Rows that compare equal keep their order.
std::vector<int> SortOrder(const std::vector<QStringList>& rows, const SortState& state,
                           const QCollator& collator);

}  // namespace kvreplay
