// A record file that includes only its own layer and the one below: allowed.
#include "sdk/platform/clock.h"
#include "sdk/record/record_format.h"
