// Local wall-clock time through the C library's reentrant conversion.
#include "sdk/platform/local_time.h"

#include <time.h>

namespace kv::platform {

TimeOfDay LocalTimeNow() {
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  return TimeOfDay{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                   local.tm_hour,        local.tm_min,     local.tm_sec};
}

}  // namespace kv::platform
