// The flagged critical section: initialised once, skipped while its flag is clear.
#include "sdk/platform/critical_section.h"

namespace kv::platform {

bool FlaggedCriticalSection::Initialise() {
  bool expected = false;
  return initialised_.compare_exchange_strong(expected, true);
}

void FlaggedCriticalSection::Enter() {
  if (initialised_.load()) cs_.Enter();
}

bool FlaggedCriticalSection::EnterIfInitialised() {
  if (!initialised_.load()) return false;
  cs_.Enter();
  return true;
}

void FlaggedCriticalSection::Leave() {
  if (initialised_.load()) cs_.Leave();
}

void FlaggedCriticalSection::LeaveEntered() { cs_.Leave(); }

}  // namespace kv::platform
