// Calendar values with a validity status.
#include "replay/date_time_value.h"

namespace kvreplay {
namespace {

constexpr int kMinYear = 100;
constexpr int kMaxYear = 9999;

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given proleptic Gregorian date.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

const int64_t kZeroDateDays = DaysFromCivil(1899, 12, 30);

}  // namespace

DateTimeValue DateTimeValue::FromFields(int year, int month, int day, int hour, int minute,
                                        int second) {
  DateTimeValue value;
  value.status_ = Status::kInvalid;
  if (year < kMinYear || year > kMaxYear || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59) {
    return value;
  }
  value.status_ = Status::kValid;
  value.fields_ = CalendarFields{year, month, day, hour, minute, second};
  value.seconds_ = (DaysFromCivil(year, month, day) - kZeroDateDays) * 86400 + hour * 3600 +
                   minute * 60 + second;
  return value;
}

DateTimeValue DateTimeValue::FromFields(const CalendarFields& f) {
  return FromFields(f.year, f.month, f.day, f.hour, f.minute, f.second);
}

bool DateTimeValue::GetFields(CalendarFields* out) const {
  if (status_ != Status::kValid) return false;
  *out = fields_;
  return true;
}

CalendarFields DateTimeValue::FieldsOrMinusOne() const {
  if (status_ == Status::kValid) return fields_;
  return CalendarFields{-1, -1, -1, -1, -1, -1};
}

DateTimeValue TimeOfDay(int hour, int minute, int second) {
  return DateTimeValue::FromFields(1899, 12, 30, hour, minute, second);
}

bool IsEarlier(const DateTimeValue& a, const DateTimeValue& b) {
  return a.IsValid() && b.IsValid() && a.Seconds() < b.Seconds();
}

}  // namespace kvreplay
