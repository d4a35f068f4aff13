// A child program run by kvnet (the device simulator, Xvfb): started in its own process group so
// that a terminal's Ctrl-C reaches only kvnet, killed with kvnet, and always reaped.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace kvnet {

class ChildProcess {
 public:
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Runs args[0] with args. Standard output and error go to logPath (empty: /dev/null). When
  // passFd is not negative it is handed to the child as descriptor 3. Null with *error on failure.
  static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& args,
                                             const std::string& logPath, int passFd,
                                             std::string* error);

  // Waits up to timeoutMs for the child to end; true when it has ended (exit code in *status, or
  // 128 + signal number).
  bool Wait(int timeoutMs, int* status);
  // SIGTERM, then SIGKILL after graceMs; reaps the child. Returns its exit status as Wait does.
  int Stop(int graceMs);
  bool Running() const { return pid_ > 0; }
  int Pid() const { return pid_; }

 private:
  explicit ChildProcess(int pid) : pid_(pid) {}

  int pid_;
  int status_ = -1;
};

// Finds a program: first next to this executable under relativePath, then on PATH by its name.
// Empty when neither exists.
std::string FindProgram(const std::string& relativePath, const std::string& name);

}  // namespace kvnet
