// The stored widths of the recording list's columns: a binary value of 32-bit little-endian
// integers, the number of columns and then one width in pixels per column.
#pragma once

#include <QByteArray>
#include <optional>
#include <vector>

namespace kvreplay {

// Settings section and entry of the list's stored widths (the entry is the list's control id).
inline constexpr char kListWidthsKey[] = "ListCtrls/1002";

// The widths in value, when its count equals columnCount and every width it promises is there.
// A width below 0 or above 65535 reads as "unchanged" (-1).
std::optional<std::vector<int>> ParseStoredWidths(const QByteArray& value, int columnCount);

}  // namespace kvreplay
