// The flagged critical section: initialised once, skipped while its flag is clear.
#include "sdk/platform/critical_section.h"

namespace kv::platform {

bool FlaggedCriticalSection::Initialise() {
  bool expected = false;
  return m_initialised.compare_exchange_strong(expected, true);
}

void FlaggedCriticalSection::Enter() {
  if (m_initialised.load()) m_cs.Enter();
}

bool FlaggedCriticalSection::EnterIfInitialised() {
  if (!m_initialised.load()) return false;
  m_cs.Enter();
  return true;
}

void FlaggedCriticalSection::Leave() {
  if (m_initialised.load()) m_cs.Leave();
}

void FlaggedCriticalSection::LeaveEntered() { m_cs.Leave(); }

}  // namespace kv::platform
