#include "tests/support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/support/temp_dir.h"

namespace kv::test {
namespace {

int ExitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

std::unique_ptr<ServerProcess> ServerProcess::Start(const std::vector<std::string>& args,
                                                    const std::string& readyPrefix, int timeoutMs,
                                                    const std::string& logPath, std::string* ready,
                                                    std::string* error, int* exitCode) {
  if (exitCode != nullptr) *exitCode = -1;
  int pipeFds[2];
  if (args.empty() || pipe2(pipeFds, O_CLOEXEC) != 0) {
    *error = "cannot make a pipe";
    return nullptr;
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    if (!logPath.empty()) {
      int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (log >= 0) dup2(log, 2);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  if (pid < 0) {
    close(pipeFds[0]);
    *error = "cannot fork";
    return nullptr;
  }
  std::unique_ptr<ServerProcess> p(new ServerProcess(pid, pipeFds[0]));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (size_t end; (end = p->pending_.find('\n')) != std::string::npos;) {
      std::string line = p->pending_.substr(0, end);
      p->pending_.erase(0, end + 1);
      if (line.rfind(readyPrefix, 0) == 0) {
        *ready = line.substr(readyPrefix.size());
        return p;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd f{p->stdout_, POLLIN, 0};
    if (left <= 0 || poll(&f, 1, static_cast<int>(left)) <= 0) {
      *error = args[0] + " did not get ready in time";
      break;
    }
    char chunk[1024];
    ssize_t n = read(p->stdout_, chunk, sizeof chunk);
    if (n <= 0) {
      *error = args[0] + " ended before it was ready";
      break;
    }
    p->pending_.append(chunk, static_cast<size_t>(n));
  }
  const int status = p->Stop(2000);
  if (exitCode != nullptr) *exitCode = status;
  return nullptr;
}

ServerProcess::~ServerProcess() { Stop(2000); }

std::string ServerProcess::drain() {
  std::string out = pending_;
  pending_.clear();
  char chunk[4096];
  for (;;) {
    pollfd f{stdout_, POLLIN, 0};
    if (poll(&f, 1, 1000) <= 0) break;
    ssize_t n = read(stdout_, chunk, sizeof chunk);
    if (n <= 0) break;
    out.append(chunk, static_cast<size_t>(n));
  }
  return out;
}

int ServerProcess::Stop(int graceMs, std::string* output) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  pid_t done = 0;
  for (int waited = 0; waited < graceMs; waited += 20) {
    done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (done != pid_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  std::string rest = drain();
  if (output != nullptr) *output = rest;
  close(stdout_);
  return ExitStatus(status);
}

CommandResult RunCommand(const std::string& command, int timeoutSeconds) {
  CommandResult r;
  const std::filesystem::path dir = MakeUniqueTempDir("kvnet_command_");
  const std::string out = (dir / "out").string(), err = (dir / "err").string();
  const std::string line = "timeout -k 5 " + std::to_string(timeoutSeconds) + " sh -c '" +
                           [&] {
                             std::string quoted;
                             for (char c : command)
                               quoted += c == '\'' ? "'\\''" : std::string(1, c);
                             return quoted;
                           }() +
                           "' >" + out + " 2>" + err + " </dev/null";
  r.exitCode = ExitStatus(std::system(line.c_str()));
  std::ifstream o(out), e(err);
  r.out.assign(std::istreambuf_iterator<char>(o), {});
  r.err.assign(std::istreambuf_iterator<char>(e), {});
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return r;
}

int FreeTcpPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
    port = ntohs(a.sin_port);
  }
  close(fd);
  return port;
}

}  // namespace kv::test
