// kvnet's console: whole lines from any thread (library callbacks print too), the event log fed
// by the library's event callback, and the Ctrl-C flag.
#pragma once

#include <map>
#include <string>

#include "KvNetClient.h"

namespace kvnet {

// printf into a string (lines up to 1 KiB).
[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...);
// Prints one line to standard output and flushes it; safe from any thread.
void PrintLine(const std::string& line);
// Prints one line to standard error.
void PrintError(const std::string& line);

// Every event the library reported, printed as it arrives ("event: LINK LINK_CONNECTED",
// "event: REPLAY_END").
class EventLog {
 public:
  static EventLog& Instance();
  // The callback given to KVNET_Startup.
  static void KVNET_CALL OnEvent(KVNET_HANDLE client, int eventClass, int code, int userValue);

  bool Seen(int eventClass, int code) const;
  // How many events of the class arrived so far.
  int Count(int eventClass) const;
  int Total() const;
  // Counts by "CLASS CODE" name.
  std::map<std::string, int> Counts() const;

 private:
  void add(int eventClass, int code);
};

// SIGINT and SIGTERM set a flag instead of ending the process.
void InstallInterruptHandler();
bool Interrupted();

}  // namespace kvnet
