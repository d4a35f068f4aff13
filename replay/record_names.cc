// Name, date and time rules of the recording search.
#include "replay/record_names.h"

#include <QStringList>
#include <climits>

namespace kvreplay {
namespace {

bool IsBlank(QChar c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

uint32_t DayKey(const DateTimeValue& value) {
  const CalendarFields f = value.FieldsOrMinusOne();
  return static_cast<uint32_t>(f.year * 10000 + f.month * 100 + f.day);
}

}  // namespace

int ReadLeadingInt(QStringView text) {
  qsizetype i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  int64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + (text[i].unicode() - u'0');
    if (value > int64_t{INT_MAX} + 1) value = int64_t{INT_MAX} + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

bool ParseDateFolder(QStringView name, DateTimeValue* date) {
  const qsizetype first = name.indexOf(u'-');
  if (first < 0) return false;
  const qsizetype second = name.indexOf(u'-', first + 1);
  const qsizetype last = name.lastIndexOf(u'-');
  const int year = ReadLeadingInt(name.left(first));
  const int month = second < 0 ? 0 : ReadLeadingInt(name.mid(first + 1, second - first - 1));
  const int day = ReadLeadingInt(name.mid(last + 1));
  *date = DateTimeValue::FromFields(year, month, day, 0, 0, 0);
  return true;
}

bool DateInRange(const DateTimeValue& start, const DateTimeValue& end, const DateTimeValue& date) {
  const uint32_t key = DayKey(date);
  return DayKey(start) <= key && key <= DayKey(end);
}

bool TimeInRange(const DateTimeValue& start, const DateTimeValue& end,
                 const DateTimeValue& fileTime) {
  if (!start.IsValid() || !end.IsValid() || !fileTime.IsValid()) return false;
  return start.Seconds() <= fileTime.Seconds() && fileTime.Seconds() <= end.Seconds();
}

bool ParseChannel(QStringView name, int* channel) {
  const qsizetype bracket = name.lastIndexOf(u')');
  if (bracket < 0) return false;
  const qsizetype first = name.indexOf(u'_', bracket);
  if (first < 0) return false;
  const qsizetype second = name.indexOf(u'_', first + 1);
  if (second < 0) return false;
  *channel = ReadLeadingInt(name.mid(first + 1, second - first - 1));
  return true;
}

bool MatchDeviceAddress(QStringView name, QStringView text) {
  const qsizetype bracket = name.lastIndexOf(u'(');
  if (bracket < 0) return false;
  const qsizetype from = bracket + 4;
  if (from >= name.size()) return false;
  const qsizetype underscore = name.indexOf(u'_', from);
  if (underscore < 0) return false;
  return name.mid(bracket + 1, underscore - bracket - 1) == text;
}

QString FormatDeviceAddress(uint32_t address) {
  return QStringLiteral("%1.%2.%3.%4")
      .arg(address >> 24)
      .arg((address >> 16) & 0xFF)
      .arg((address >> 8) & 0xFF)
      .arg(address & 0xFF);
}

uint32_t ParseIpAddressText(QStringView text) {
  if (text.trimmed().isEmpty()) return 0;
  const QList<QStringView> fields = text.split(u'.');
  uint32_t address = 0;
  for (int i = 0; i < 4; ++i) {
    int octet = i < fields.size() ? ReadLeadingInt(fields[i]) : 0;
    if (octet < 0) octet = 0;
    if (octet > 255) octet = 255;
    address = address << 8 | static_cast<uint32_t>(octet);
  }
  return address;
}

}  // namespace kvreplay
