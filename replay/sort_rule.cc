// The recording list's sort rule.
#include "replay/sort_rule.h"

#include <QLocale>
#include <algorithm>
#include <numeric>

namespace kvreplay {

bool ApplyHeaderClick(SortState* state, int column) {
  if (column <= 0) return false;
  state->ascending = column == state->column ? !state->ascending : true;
  state->column = column;
  return true;
}

QCollator UserCollator() {
  QCollator collator{QLocale::system()};
  collator.setCaseSensitivity(Qt::CaseSensitive);
  return collator;
}

int CompareItems(const QStringList& a, const QStringList& b, const SortState& state,
                 const QCollator& collator) {
  const int c = state.column;
  const QString empty;
  const QString& left = c >= 0 && c < a.size() ? a[c] : empty;
  const QString& right = c >= 0 && c < b.size() ? b[c] : empty;
  return state.ascending ? collator.compare(left, right) : collator.compare(right, left);
}

std::vector<int> SortOrder(const std::vector<QStringList>& rows, const SortState& state,
                           const QCollator& collator) {
  std::vector<int> order(rows.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return CompareItems(rows[a], rows[b], state, collator) < 0;
  });
  return order;
}

}  // namespace kvreplay
