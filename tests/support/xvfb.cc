// A private Xvfb display for tests and the caller-side X client used with it.
#include "tests/support/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace kv::test {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kDisplayAttempts = 12;
constexpr milliseconds kStartTimeout{5000};
constexpr milliseconds kStopTimeout{3000};
constexpr milliseconds kPollInterval{10};

std::string findXvfb() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    std::string candidate = dir + "/Xvfb";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

bool pathExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// The pid written in the display's lock file, or -1.
int lockFilePid(int number) {
  std::ifstream lock("/tmp/.X" + std::to_string(number) + "-lock");
  int pid = -1;
  if (!(lock >> pid)) return -1;
  return pid;
}

bool canConnect(const std::string& displayName) {
  xcb_connection_t* c = xcb_connect(displayName.c_str(), nullptr);
  bool ok = c != nullptr && xcb_connection_has_error(c) == 0;
  if (c != nullptr) xcb_disconnect(c);
  return ok;
}

// Terminates and reaps a child, politely first.
void stopChild(int pid) {
  ::kill(pid, SIGTERM);
  const auto deadline = Clock::now() + kStopTimeout;
  while (Clock::now() < deadline) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(kPollInterval);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

}  // namespace

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) previous_ = old;
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (previous_) {
    ::setenv(name_.c_str(), previous_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

XvfbServer::~XvfbServer() { Stop(); }

bool XvfbServer::Installed() { return !findXvfb().empty(); }

bool XvfbServer::Start(std::string* error) {
  if (Running()) return true;
  std::string binary = findXvfb();
  if (binary.empty()) {
    *error = "Xvfb is not installed";
    return false;
  }
  // Spread concurrent test processes over different numbers from the start.
  const int base = 100 + static_cast<int>(::getpid() % 400) * 4;
  for (int i = 0; i < kDisplayAttempts; ++i) {
    const int number = base + i;
    if (pathExists("/tmp/.X" + std::to_string(number) + "-lock") ||
        pathExists("/tmp/.X11-unix/X" + std::to_string(number))) {
      continue;
    }
    if (tryDisplay(binary, number, error)) return true;
  }
  if (error->empty()) *error = "no free display number";
  return false;
}

bool XvfbServer::tryDisplay(const std::string& binary, int number, std::string* error) {
  const std::string display = ":" + std::to_string(number);
  // -noreset: without it the server resets whenever its last client leaves, and connections
  // made during the reset fail.
  std::vector<std::string> args = {binary,        display,     "-screen", "0",
                                   "1024x768x24", "-nolisten", "tcp",     "-noreset"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    *error = std::string("fork failed: ") + std::strerror(errno);
    return false;
  }
  if (pid == 0) {
    // Child: only async-signal-safe calls until exec. The server dies with the test process.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(126);
    int devNull = ::open("/dev/null", O_RDWR);
    if (devNull >= 0) {
      ::dup2(devNull, 0);
      ::dup2(devNull, 1);
      ::dup2(devNull, 2);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }

  const auto deadline = Clock::now() + kStartTimeout;
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      *error = "Xvfb " + display + " exited at start";
      return false;  // probably taken by someone else meanwhile; try the next number
    }
    // Only our own server counts: another one may have won this number in a race.
    if (lockFilePid(number) == pid && canConnect(display)) {
      pid_ = pid;
      displayName_ = display;
      return true;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  stopChild(pid);
  *error = "Xvfb " + display + " did not accept connections in time";
  return false;
}

void XvfbServer::Stop() {
  if (pid_ <= 0) return;
  stopChild(pid_);
  pid_ = -1;
  displayName_.clear();
}

XvfbServer* XvfbTest::server_ = nullptr;
std::string XvfbTest::skipReason_;

void XvfbTest::SetUpTestSuite() {
  skipReason_.clear();
  if (!XvfbServer::Installed()) {
    skipReason_ = "Xvfb is not installed; X11 tests skipped";
    return;
  }
  server_ = new XvfbServer();
  std::string error;
  if (!server_->Start(&error)) {
    skipReason_ = "Xvfb could not be started: " + error;
    delete server_;
    server_ = nullptr;
  }
}

void XvfbTest::TearDownTestSuite() {
  delete server_;
  server_ = nullptr;
}

void XvfbTest::SetUp() {
  if (server_ == nullptr) GTEST_SKIP() << skipReason_;
  display_ = std::make_unique<ScopedEnv>("DISPLAY", server_->DisplayName().c_str());
}

void XvfbTest::TearDown() { display_.reset(); }

const std::string& XvfbTest::DisplayName() {
  static const std::string none;
  return server_ != nullptr ? server_->DisplayName() : none;
}

struct X11TestClient::Impl {
  xcb_connection_t* connection = nullptr;
  const xcb_screen_t* screen = nullptr;

  bool ok() const { return connection != nullptr && xcb_connection_has_error(connection) == 0; }
  bool check(xcb_void_cookie_t cookie) {
    xcb_generic_error_t* error = xcb_request_check(connection, cookie);
    std::free(error);
    return error == nullptr && ok();
  }
};

X11TestClient::X11TestClient() : impl_(std::make_unique<Impl>()) {}

X11TestClient::~X11TestClient() {
  if (impl_->connection != nullptr) xcb_disconnect(impl_->connection);
}

bool X11TestClient::Connect(const char* displayName) {
  if (impl_->connection != nullptr) return impl_->ok();
  int screenNumber = 0;
  impl_->connection = xcb_connect(displayName, &screenNumber);
  if (!impl_->ok()) return false;
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(impl_->connection));
  for (int i = 0; it.rem > 0; ++i, xcb_screen_next(&it)) {
    if (i == screenNumber) impl_->screen = it.data;
  }
  return impl_->screen != nullptr;
}

uint32_t X11TestClient::RootWindow() const {
  return impl_->screen != nullptr ? impl_->screen->root : 0;
}

uint32_t X11TestClient::CreateWindow(uint32_t parent, int16_t x, int16_t y, uint16_t width,
                                     uint16_t height) {
  if (!impl_->ok() || impl_->screen == nullptr) return 0;
  xcb_window_t window = xcb_generate_id(impl_->connection);
  const uint32_t values[] = {impl_->screen->black_pixel};
  xcb_void_cookie_t cookie = xcb_create_window_checked(
      impl_->connection, XCB_COPY_FROM_PARENT, window, parent != 0 ? parent : RootWindow(), x, y,
      width, height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, impl_->screen->root_visual,
      XCB_CW_BACK_PIXEL, values);
  return impl_->check(cookie) ? window : 0;
}

bool X11TestClient::MapWindow(uint32_t window) {
  return impl_->ok() && impl_->check(xcb_map_window_checked(impl_->connection, window));
}

bool X11TestClient::UnmapWindow(uint32_t window) {
  return impl_->ok() && impl_->check(xcb_unmap_window_checked(impl_->connection, window));
}

bool X11TestClient::DestroyWindow(uint32_t window) {
  return impl_->ok() && impl_->check(xcb_destroy_window_checked(impl_->connection, window));
}

bool X11TestClient::Sync() {
  if (!impl_->ok()) return false;
  xcb_get_input_focus_reply_t* reply =
      xcb_get_input_focus_reply(impl_->connection, xcb_get_input_focus(impl_->connection), nullptr);
  std::free(reply);
  return reply != nullptr;
}

std::optional<ReceivedClientMessage> X11TestClient::WaitClientMessage(uint32_t timeoutMs) {
  if (!impl_->ok()) return std::nullopt;
  const auto deadline = Clock::now() + milliseconds(timeoutMs);
  for (;;) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(impl_->connection)) {
      if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) {
        std::free(event);
        continue;
      }
      auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
      ReceivedClientMessage received;
      received.window = message->window;
      received.format = message->format;
      for (int i = 0; i < 5; ++i) received.data32[i] = message->data.data32[i];
      const xcb_atom_t type = message->type;
      std::free(event);
      xcb_get_atom_name_reply_t* name = xcb_get_atom_name_reply(
          impl_->connection, xcb_get_atom_name(impl_->connection, type), nullptr);
      if (name != nullptr) {
        received.typeName.assign(xcb_get_atom_name_name(name), xcb_get_atom_name_name_length(name));
        std::free(name);
      }
      return received;
    }
    if (!impl_->ok()) return std::nullopt;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd fd{xcb_get_file_descriptor(impl_->connection), POLLIN, 0};
    ::poll(&fd, 1, static_cast<int>(left));
  }
}

}  // namespace kv::test
