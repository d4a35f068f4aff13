// Stored column widths.
#include "replay/column_widths.h"

#include <cstdint>

namespace kvreplay {
namespace {

int32_t ReadLe32(const QByteArray& bytes, qsizetype at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t{static_cast<uint8_t>(bytes[at + i])} << (8 * i);
  return static_cast<int32_t>(v);
}

constexpr int kMaxWidth = 65535;

}  // namespace

std::optional<std::vector<int>> ParseStoredWidths(const QByteArray& value, int columnCount) {
  if (value.size() < 4) return std::nullopt;
  const int32_t count = ReadLe32(value, 0);
  if (count != columnCount || count < 0) return std::nullopt;
  if (value.size() < 4 + qsizetype{count} * 4) return std::nullopt;
  std::vector<int> widths;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t w = ReadLe32(value, 4 + qsizetype{i} * 4);
    widths.push_back(w >= 0 && w <= kMaxWidth ? w : -1);
  }
  return widths;
}

}  // namespace kvreplay
