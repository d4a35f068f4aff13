// A calendar date and time with a status, as the dialog's date and time pickers hold them: a
// value is valid only when its fields name a real moment between the years 100 and 9999.
#pragma once

#include <cstdint>

namespace kvreplay {

struct CalendarFields {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

class DateTimeValue {
 public:
  enum class Status { kValid, kInvalid, kNull };

  // A null value (no date set).
  DateTimeValue() = default;

  // Valid only when the fields convert to a moment and back to exactly the same fields.
  static DateTimeValue FromFields(int year, int month, int day, int hour, int minute, int second);
  static DateTimeValue FromFields(const CalendarFields& f);

  Status status() const { return status_; }
  bool IsValid() const { return status_ == Status::kValid; }

  // The fields; false (and *out unchanged) for a value that is not valid.
  bool GetFields(CalendarFields* out) const;
  // The fields, each -1 when the value is not valid.
  CalendarFields FieldsOrMinusOne() const;

  // Seconds since the zero date, 30 December 1899 00:00:00; only meaningful when valid.
  int64_t Seconds() const { return seconds_; }

 private:
  Status status_ = Status::kNull;
  CalendarFields fields_{};
  int64_t seconds_ = 0;
};

// The zero date's time of day: 00:00:00 or 23:59:59 on 30 December 1899.
DateTimeValue TimeOfDay(int hour, int minute, int second);

// True when both are valid and a is earlier than b.
bool IsEarlier(const DateTimeValue& a, const DateTimeValue& b);

}  // namespace kvreplay
