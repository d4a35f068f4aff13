// A server program run by a test (the device simulator, an interop RTSP server): started with its
// standard output on a pipe, waited for until it prints the line that names its URL, and always
// stopped and reaped. Also a bounded run of a client command line.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace kv::test {

class ServerProcess {
 public:
  // Runs args[0] with args (found on PATH when it has no '/'); stderr goes to logPath (empty:
  // to the test's stderr). Waits up to timeoutMs for a stdout line starting with readyPrefix
  // and returns the rest of that line in *ready. Null with *error when it ended or timed out
  // first; *exitCode then holds its exit status (77 for a server that lacks a part).
  static std::unique_ptr<ServerProcess> Start(const std::vector<std::string>& args,
                                              const std::string& readyPrefix, int timeoutMs,
                                              const std::string& logPath, std::string* ready,
                                              std::string* error, int* exitCode = nullptr);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // SIGTERM, then SIGKILL after graceMs; returns the exit status (128 + signal when killed)
  // and, in *output, what it printed on stdout after the ready line.
  int Stop(int graceMs, std::string* output = nullptr);
  int pid() const { return pid_; }

 private:
  ServerProcess(int pid, int stdoutFd) : pid_(pid), stdout_(stdoutFd) {}
  std::string drain();

  int pid_;
  int stdout_;
  std::string pending_;
};

struct CommandResult {
  int exitCode = -1;  // 124 when it ran out of time
  std::string out;
  std::string err;
};

// Runs a command line through /bin/sh with a time limit (timeout(1)), capturing both outputs.
CommandResult RunCommand(const std::string& command, int timeoutSeconds);

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeTcpPort();

}  // namespace kv::test
