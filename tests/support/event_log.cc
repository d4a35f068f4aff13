#include "tests/support/event_log.h"

#include <mutex>

namespace kv::test {
namespace {

std::mutex gMutex;
std::vector<LoggedEvent> gEvents;

}  // namespace

void KVNET_CALL RecordEvent(KVNET_HANDLE, int eventClass, int code, int user) {
  std::lock_guard<std::mutex> lock(gMutex);
  gEvents.push_back({eventClass, code, user});
}

void ClearEvents() {
  std::lock_guard<std::mutex> lock(gMutex);
  gEvents.clear();
}

std::vector<LoggedEvent> Events() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gEvents;
}

int CountEvents(int eventClass, int code) {
  std::lock_guard<std::mutex> lock(gMutex);
  int n = 0;
  for (const LoggedEvent& e : gEvents) n += e.eventClass == eventClass && e.code == code;
  return n;
}

std::vector<int> EventCodes(int eventClass) {
  std::lock_guard<std::mutex> lock(gMutex);
  std::vector<int> codes;
  for (const LoggedEvent& e : gEvents) {
    if (e.eventClass == eventClass) codes.push_back(e.code);
  }
  return codes;
}

}  // namespace kv::test
