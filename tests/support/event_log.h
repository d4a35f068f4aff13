// The events the library hands the caller's callback, kept for a test to look at. One log per
// test program: install RecordEvent with KVNET_Startup and clear it in each test's set-up.
#pragma once

#include <vector>

#include "KvNetClient.h"

namespace kv::test {

struct LoggedEvent {
  int eventClass = 0;
  int code = 0;
  int user = 0;
};

void KVNET_CALL RecordEvent(KVNET_HANDLE handle, int eventClass, int code, int user);
void ClearEvents();
std::vector<LoggedEvent> Events();
// How many events of this class and code arrived.
int CountEvents(int eventClass, int code);
// The codes of one class, in the order they arrived.
std::vector<int> EventCodes(int eventClass);

}  // namespace kv::test
