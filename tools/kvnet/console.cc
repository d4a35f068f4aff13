// Console output, event log and interrupt flag of kvnet.
#include "kvnet/console.h"

#include <signal.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <set>
#include <utility>

#include "kvnet/event_names.h"

namespace kvnet {
namespace {

std::mutex gConsoleMutex;
std::mutex gEventMutex;
std::map<std::string, int> gEventCounts;    // guarded by gEventMutex
std::set<std::pair<int, int>> gEventsSeen;  // guarded by gEventMutex
std::map<int, int> gClassCounts;            // guarded by gEventMutex
int gEventTotal = 0;                        // guarded by gEventMutex
volatile std::sig_atomic_t gInterrupted = 0;

void OnSignal(int) { gInterrupted = 1; }

}  // namespace

std::string Format(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return line;
}

void PrintLine(const std::string& line) {
  std::lock_guard lock(gConsoleMutex);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void PrintError(const std::string& line) {
  std::lock_guard lock(gConsoleMutex);
  std::fflush(stdout);
  std::fputs(line.c_str(), stderr);
  std::fputc('\n', stderr);
}

EventLog& EventLog::Instance() {
  static EventLog log;
  return log;
}

void KVNET_CALL EventLog::OnEvent(KVNET_HANDLE, int eventClass, int code, int) {
  Instance().add(eventClass, code);
}

void EventLog::add(int eventClass, int code) {
  const std::string codeName = EventCodeName(eventClass, code);
  const std::string name = EventClassName(eventClass) + (codeName.empty() ? "" : " " + codeName);
  {
    std::lock_guard lock(gEventMutex);
    ++gEventCounts[name];
    gEventsSeen.insert({eventClass, code});
    ++gClassCounts[eventClass];
    ++gEventTotal;
  }
  PrintLine("event: " + name);
}

bool EventLog::Seen(int eventClass, int code) const {
  std::lock_guard lock(gEventMutex);
  return gEventsSeen.count({eventClass, code}) != 0;
}

int EventLog::Count(int eventClass) const {
  std::lock_guard lock(gEventMutex);
  const auto found = gClassCounts.find(eventClass);
  return found != gClassCounts.end() ? found->second : 0;
}

int EventLog::Total() const {
  std::lock_guard lock(gEventMutex);
  return gEventTotal;
}

std::map<std::string, int> EventLog::Counts() const {
  std::lock_guard lock(gEventMutex);
  return gEventCounts;
}

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return gInterrupted != 0; }

}  // namespace kvnet
