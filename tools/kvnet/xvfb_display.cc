// Xvfb started with -displayfd: the server chooses a free display number and writes it to a pipe.
#include "kvnet/xvfb_display.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>

namespace kvnet {
namespace {

constexpr int kStartTimeoutMs = 5000;

// Reads the display number line from the pipe; -1 on time-out, end of file or garbage.
int ReadDisplayNumber(int fd, ChildProcess& server) {
  std::string text;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (text.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || !server.Running()) return -1;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100))) <= 0) {
      if (server.Wait(0, nullptr)) return -1;  // the server died
      continue;
    }
    char buffer[32];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return -1;
    text.append(buffer, static_cast<size_t>(n));
  }
  int number = 0;
  for (char c : text) {
    if (c == '\n') break;
    if (c < '0' || c > '9') return -1;
    number = number * 10 + (c - '0');
  }
  return number;
}

}  // namespace

bool DisplayReachable(const char* name) {
  xcb_connection_t* connection = xcb_connect(name, nullptr);
  const bool ok = connection != nullptr && xcb_connection_has_error(connection) == 0;
  if (connection != nullptr) xcb_disconnect(connection);
  return ok;
}

std::unique_ptr<XvfbDisplay> XvfbDisplay::Start(std::string* error) {
  const std::string binary = FindProgram("", "Xvfb");
  if (binary.empty()) {
    *error = "Xvfb is not installed";
    return nullptr;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    *error = "cannot create a pipe for Xvfb";
    return nullptr;
  }
  // -noreset: otherwise the server resets whenever its last client leaves.
  std::unique_ptr<ChildProcess> server = ChildProcess::Start(
      {binary, "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"},
      "", fds[1], error);
  ::close(fds[1]);
  if (server == nullptr) {
    ::close(fds[0]);
    return nullptr;
  }
  const int number = ReadDisplayNumber(fds[0], *server);
  ::close(fds[0]);
  if (number < 0) {
    *error =
        "Xvfb did not report a display within " + std::to_string(kStartTimeoutMs / 1000) + " s";
    return nullptr;
  }
  const std::string name = ":" + std::to_string(number);
  if (!DisplayReachable(name.c_str())) {
    *error = "Xvfb display " + name + " does not accept connections";
    return nullptr;
  }
  return std::unique_ptr<XvfbDisplay>(new XvfbDisplay(std::move(server), name));
}

XvfbDisplay::~XvfbDisplay() { server_->Stop(3000); }

}  // namespace kvnet
