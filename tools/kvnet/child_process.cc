// Child programs of kvnet: fork/exec, process group, death signal, bounded wait and kill.
#include "kvnet/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

namespace kvnet {
namespace {

int DecodeStatus(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& args,
                                                  const std::string& logPath, int passFd,
                                                  std::string* error) {
  if (args.empty()) {
    *error = "no program given";
    return nullptr;
  }
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string output = logPath.empty() ? "/dev/null" : logPath;

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    *error = std::string("fork failed: ") + std::strerror(errno);
    return nullptr;
  }
  if (pid == 0) {
    // Only async-signal-safe calls until exec.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(126);
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) ::_exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    if (passFd >= 0) ::dup2(passFd, 3);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return std::unique_ptr<ChildProcess>(new ChildProcess(pid));
}

ChildProcess::~ChildProcess() {
  if (Running()) Stop(2000);
}

bool ChildProcess::Wait(int timeoutMs, int* status) {
  if (!Running()) {
    if (status != nullptr) *status = status_;
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int raw = 0;
    const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR)) {
      status_ = done == pid_ ? DecodeStatus(raw) : -1;
      pid_ = -1;
      if (status != nullptr) *status = status_;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int ChildProcess::Stop(int graceMs) {
  int status = status_;
  if (!Running()) return status;
  ::kill(pid_, SIGTERM);
  if (Wait(graceMs, &status)) return status;
  ::kill(pid_, SIGKILL);
  Wait(5000, &status);
  return status;
}

std::string FindProgram(const std::string& relativePath, const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && !relativePath.empty()) {
    const fs::path beside = (self.parent_path() / relativePath).lexically_normal();
    if (::access(beside.c_str(), X_OK) == 0) return beside.string();
  }
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

}  // namespace kvnet
