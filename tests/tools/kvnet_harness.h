// What the kvnet tests share: the binaries, child processes (plain and on a pseudo-terminal),
// the checks of record files, status lines and snapshots, and the fixture that records the
// simulator's stream with "kvnet live".
#pragma once

#include <cairo.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/jpeg_inspect.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace kv::kvnet_test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline fs::path BuildDir() {
  return fs::read_symlink("/proc/self/exe").parent_path().parent_path();
}
inline std::string KvnetBinary() { return (BuildDir() / "tools/kvnet").string(); }
inline std::string DeviceBinary() { return (BuildDir() / "tools/kvdevice/kvdevice").string(); }

inline bool OnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

inline std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A temporary folder removed with everything in it.
class TempDir {
 public:
  TempDir() : path_(kv::test::MakeUniqueTempDir("kvnet-test-")) {}
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// This process's environment with the changes (name -> value; a null value removes the variable).
inline std::vector<std::string> ChangedEnvironment(const std::map<std::string, const char*>& env) {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (env.count(entry.substr(0, entry.find('='))) == 0) environment.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (value != nullptr) environment.push_back(name + "=" + value);
  }
  return environment;
}

// The strings as an exec call takes them: pointers into them, then a null.
inline std::vector<char*> NullTerminated(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// A child process with its own environment changes and its output in a file; killed (whole
// process group) and reaped at the latest by the destructor.
class Child {
 public:
  // env: name -> value; a null value removes the variable.
  Child(std::vector<std::string> args, const std::map<std::string, const char*>& env,
        const fs::path& output) {
    std::vector<std::string> environment = ChangedEnvironment(env);
    std::vector<char*> argv = NullTerminated(args);
    std::vector<char*> envp = NullTerminated(environment);
    const std::string out = output.string();
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(126);
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int in = ::open("/dev/null", O_RDONLY);
      if (fd < 0 || in < 0) ::_exit(126);
      ::dup2(in, 0);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    EXPECT_GT(pid_, 0) << "fork failed";
  }
  ~Child() { Kill(); }

  // Exit code (128 + signal when killed by one), or nullopt when it is still running at the end.
  std::optional<int> Wait(milliseconds timeout) {
    if (pid_ <= 0) return status_;
    const auto deadline = Clock::now() + timeout;
    do {
      int raw = 0;
      if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return status_;
      }
      std::this_thread::sleep_for(milliseconds(20));
    } while (Clock::now() < deadline);
    return std::nullopt;
  }
  void Signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
  }
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);  // the child and anything it started in its group
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// A child process on a pseudo-terminal of its own (its controlling terminal, standard input and
// output), as when a user types into it. What it prints is collected (without carriage returns);
// it is killed and reaped at the latest by the destructor.
class PtyChild {
 public:
  PtyChild(std::vector<std::string> args, const std::map<std::string, const char*>& env) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 120;
    if (::openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) {
      ADD_FAILURE() << "openpty failed";
      return;
    }
    std::vector<std::string> environment = ChangedEnvironment(env);
    std::vector<char*> argv = NullTerminated(args);
    std::vector<char*> envp = NullTerminated(environment);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(126);
      ::close(master_);
      if (::login_tty(slave_) != 0) ::_exit(126);  // new session, the terminal on 0, 1 and 2
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    EXPECT_GT(pid_, 0) << "fork failed";
  }
  ~PtyChild() {
    if (pid_ > 0) {
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
  }

  // Types the keys.
  void Send(const std::string& keys) {
    EXPECT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Waits until the text is printed after the previous text waited for; false after the time-out.
  bool WaitFor(const std::string& text, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const size_t at = output_.find(text, cursor_);
      if (at != std::string::npos) {
        cursor_ = at + text.size();
        return true;
      }
      if (Clock::now() >= deadline) return false;
      pump(20);
    }
  }
  std::optional<int> Wait(milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (pid_ > 0) {
      pump(20);
      int raw = 0;
      if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      } else if (Clock::now() >= deadline) {
        return std::nullopt;
      }
    }
    pump(0);
    return status_;
  }
  // The terminal's current mode as the program left it.
  tcflag_t LocalModes() const {
    termios mode{};
    EXPECT_EQ(::tcgetattr(slave_, &mode), 0);
    return mode.c_lflag;
  }
  const std::string& Output() {
    pump(0);
    return output_;
  }

 private:
  void pump(int waitMs) {
    pollfd in{master_, POLLIN, 0};
    while (::poll(&in, 1, waitMs) > 0 && (in.revents & POLLIN) != 0) {
      char bytes[4096];
      const ssize_t n = ::read(master_, bytes, sizeof bytes);
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) {
        if (bytes[i] != '\r') output_ += bytes[i];
      }
      waitMs = 0;
    }
  }

  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string output_;
  size_t cursor_ = 0;
};

// Waits until the file contains the text; false after the time-out.
inline bool WaitForText(const fs::path& file, const std::string& text, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (ReadFile(file).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return false;
}

inline int FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

inline uint32_t Le32(const std::string& d, size_t at) {
  auto b = [&](size_t i) { return uint32_t{static_cast<unsigned char>(d[at + i])}; };
  return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

// Checks a finished record file from its own bytes: header, trailer, and that every index entry
// points at a video unit header of a key frame. Returns the number of index points.
inline uint32_t CheckRecordFile(const fs::path& path) {
  const std::string d = ReadFile(path);
  EXPECT_GE(d.size(), 39u + 22u) << path;
  if (d.size() < 39 + 22) return 0;
  EXPECT_EQ(d.substr(0, 11), "Morvalinder");
  EXPECT_EQ(static_cast<unsigned char>(d[11]), 96) << "H.264 in the header";
  EXPECT_EQ(d.substr(d.size() - 8), "ENDINDEX");
  const uint32_t count = Le32(d, d.size() - 12);
  const size_t trailer = 10 + 16 * size_t{count} + 12;
  EXPECT_LE(trailer, d.size() - 39);
  if (trailer > d.size() - 39) return 0;
  const size_t begin = d.size() - trailer;
  EXPECT_EQ(d.substr(begin, 10), "BEGININDEX");
  for (uint32_t i = 0; i < count; ++i) {
    const size_t entry = begin + 10 + 16 * size_t{i};
    const uint64_t offset = Le32(d, entry) | uint64_t{Le32(d, entry + 4)} << 32;
    EXPECT_GE(offset, 39u) << "entry " << i;
    EXPECT_LE(offset + 12, begin) << "entry " << i;
    if (offset < 39 || offset + 12 > begin) continue;
    const uint32_t word = Le32(d, offset);
    EXPECT_EQ(word & 3u, 0u) << "entry " << i << " is not a video unit";
    EXPECT_EQ((word >> 2) & 15u, 7u) << "entry " << i << " is not a key-frame unit";
    EXPECT_EQ(Le32(d, offset + 8), Le32(d, entry + 8)) << "entry " << i << " time stamp";
  }
  return count;
}

// The length in whole seconds that a record file's index gives: last time stamp minus first.
inline int IndexLengthSeconds(const fs::path& path) {
  const std::string d = ReadFile(path);
  if (d.size() < 39 + 22 || d.substr(d.size() - 8) != "ENDINDEX") return -1;
  const uint32_t count = Le32(d, d.size() - 12);
  const size_t trailer = 10 + 16 * size_t{count} + 12;
  if (count == 0 || trailer > d.size() - 39) return -1;
  const size_t begin = d.size() - trailer + 10;
  const uint32_t first = Le32(d, begin + 8);
  const uint32_t last = Le32(d, begin + 16 * size_t{count - 1} + 8);
  return static_cast<int>((last - first) / 1000);
}

// The whole seconds, after the first index entry, of the first entry later than `after` s: the
// key picture a seek to `after` lands on (-1 when there is none).
inline int SeekLandingSeconds(const fs::path& path, int after) {
  const std::string d = ReadFile(path);
  if (d.size() < 39 + 22 || d.substr(d.size() - 8) != "ENDINDEX") return -1;
  const uint32_t count = Le32(d, d.size() - 12);
  const size_t trailer = 10 + 16 * size_t{count} + 12;
  if (count == 0 || trailer > d.size() - 39) return -1;
  const size_t begin = d.size() - trailer + 10;
  const uint32_t first = Le32(d, begin + 8);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t since = Le32(d, begin + 16 * size_t{i} + 8) - first;
    if (since > static_cast<uint32_t>(after) * 1000u) return static_cast<int>(since / 1000);
  }
  return -1;
}

struct Position {
  int seconds = 0;
  int length = 0;
};

// "replay: 01:02/03:04" lines, in order.
inline std::vector<Position> Positions(const std::string& output) {
  std::vector<Position> positions;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    int m1 = 0, s1 = 0, m2 = 0, s2 = 0, end = 0;
    if (std::sscanf(line.c_str(), "replay: %d:%d/%d:%d%n", &m1, &s1, &m2, &s2, &end) == 4 &&
        static_cast<size_t>(end) == line.size() && line[10] == ':' && s1 < 60 && s2 < 60) {
      positions.push_back({m1 * 60 + s1, m2 * 60 + s2});
    }
  }
  return positions;
}

inline size_t CountOf(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

inline std::string MinutesSeconds(int seconds) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d", seconds / 60, seconds % 60);
  return text;
}

struct StatusLine {
  int second = 0;
  std::string state;
  int kbps = 0;
  int pictures = 0;
  std::string size, video, audio;
};

// "status:   3s state LINK_CONNECTED 130 kbit/s 25 pictures/s 352x288 H.264 G.711U"
inline std::vector<StatusLine> StatusLines(const std::string& output) {
  std::vector<StatusLine> lines;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    StatusLine s;
    char state[64], size[32], video[32], audio[32];
    int end = 0;
    if (std::sscanf(line.c_str(), "status: %ds state %63s %d kbit/s %d pictures/s %31s %31s %31s%n",
                    &s.second, state, &s.kbps, &s.pictures, size, video, audio, &end) == 7 &&
        static_cast<size_t>(end) == line.size()) {
      s.state = state;
      s.size = size;
      s.video = video;
      s.audio = audio;
      lines.push_back(s);
    }
  }
  return lines;
}

// A snapshot kvnet asked for: a 4:4:4 JPEG of the picture's size that ffprobe and libjpeg-turbo
// read, holding a picture (the generated pattern is far from one flat colour).
inline void ExpectSnapshot(const fs::path& path, int width, int height) {
  EXPECT_EQ(kv::test::ProbeImage(path.string()),
            "mjpeg," + std::to_string(width) + "," + std::to_string(height) + ",yuvj444p")
      << path;
  kv::test::Planes444 planes;
  const std::string bytes = ReadFile(path);
  ASSERT_TRUE(kv::test::DecodeWithTurbo(std::vector<uint8_t>(bytes.begin(), bytes.end()), &planes))
      << path;
  double sum = 0, squares = 0;
  for (uint8_t v : planes.y) {
    sum += v;
    squares += double(v) * v;
  }
  const double n = double(planes.y.size());
  EXPECT_GT(std::sqrt(squares / n - (sum / n) * (sum / n)), 20.0) << path << " looks blank";
}

class KvnetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& binary : {KvnetBinary(), DeviceBinary()}) {
      if (::access(binary.c_str(), X_OK) != 0) {
        GTEST_FAIL() << binary << " is missing: build the kvnet and kvdevice targets first";
      }
    }
    ASSERT_FALSE(dir_.path().empty());
  }

  // Each command line is refused: kvnet exits 2 at once and shows its usage.
  void ExpectUsageErrors(const std::vector<std::vector<std::string>>& cases) {
    for (const std::vector<std::string>& arguments : cases) {
      std::vector<std::string> args = {KvnetBinary()};
      args.insert(args.end(), arguments.begin(), arguments.end());
      const fs::path output = dir_.path() / "usage.out";
      Child kvnet(args, liveEnv_, output);
      const std::optional<int> status = kvnet.Wait(milliseconds(5000));
      ASSERT_TRUE(status.has_value()) << arguments.back();
      EXPECT_EQ(*status, 2) << arguments.back() << "\n" << ReadFile(output);
      EXPECT_NE(ReadFile(output).find("usage"), std::string::npos) << arguments.back();
    }
  }

  // Records the simulator's stream of `seconds` + 1 s with "kvnet live --record": the client
  // runs until the simulator is done and is then stopped as with Ctrl-C, so a slow start (as
  // in the sanitizer builds) does not cut the recording short. The file, or an empty path
  // after a failure.
  fs::path Record(int seconds) {
    const std::string address = "127.0.0.1:" + std::to_string(FreeUdpPort());
    const fs::path output = dir_.path() / "record.out";
    const fs::path record = dir_.path() / "replay.rec";
    Child kvnet({KvnetBinary(), "live", "--udp", address, "--seconds", std::to_string(seconds + 60),
                 "--record", record.string()},
                liveEnv_, output);
    if (!WaitForText(output, "listening", milliseconds(5000))) {
      ADD_FAILURE() << "kvnet live does not listen\n" << ReadFile(output);
      return {};
    }
    Child device({DeviceBinary(), "--target", address, "--duration", std::to_string(seconds + 1),
                  "--realtime", "--quiet"},
                 {}, dir_.path() / "device.out");
    if (!device.Wait(milliseconds(seconds * 1000 + 30000)).has_value()) {
      ADD_FAILURE() << "the simulator did not end\n" << ReadFile(dir_.path() / "device.out");
      return {};
    }
    // The last datagrams are on loopback already; give the client a moment to take them.
    std::this_thread::sleep_for(milliseconds(500));
    kvnet.Signal(SIGINT);
    const std::optional<int> status = kvnet.Wait(milliseconds(10000));
    if (!status.has_value() || *status != 0 ||
        !WaitForText(output, "REC_STOPPED", milliseconds(1))) {
      ADD_FAILURE() << "the recording failed\n" << ReadFile(output);
      return {};
    }
    return record;
  }

  TempDir dir_;
  // No window and no sound hardware for "live"; the demo chooses for itself.
  const std::map<std::string, const char*> liveEnv_ = {{"DISPLAY", nullptr},
                                                       {"KVNET_AUDIO_OUT", "null"}};
};

}  // namespace kv::kvnet_test
