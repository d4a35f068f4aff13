// Local wall-clock time of day, for log prefixes and file names.
#pragma once

namespace kv::platform {

struct TimeOfDay {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

TimeOfDay LocalTimeNow();

}  // namespace kv::platform
