// The command-line client kvnet, run as a process the way a user runs it: "kvnet live" against the
// device simulator on loopback (events, status lines, recording trailer, snapshot, Ctrl-C, bad
// command lines), "kvnet replay" of such a recording (positions, end event, time limit, keys
// typed on a pseudo-terminal, snapshots) and "kvnet demo" (exit status, screenshot, recordings,
// sound file, snapshots, replay).
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

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

fs::path BuildDir() { return fs::read_symlink("/proc/self/exe").parent_path().parent_path(); }
std::string KvnetBinary() { return (BuildDir() / "tools/kvnet").string(); }
std::string DeviceBinary() { return (BuildDir() / "tools/kvdevice/kvdevice").string(); }

bool OnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

std::string ReadFile(const fs::path& path) {
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
std::vector<std::string> ChangedEnvironment(const std::map<std::string, const char*>& env) {
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

// A child process with its own environment changes and its output in a file; killed (whole
// process group) and reaped at the latest by the destructor.
class Child {
 public:
  // env: name -> value; a null value removes the variable.
  Child(std::vector<std::string> args, const std::map<std::string, const char*>& env,
        const fs::path& output) {
    std::vector<std::string> environment = ChangedEnvironment(env);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
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
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
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
bool WaitForText(const fs::path& file, const std::string& text, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (ReadFile(file).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return false;
}

int FreeUdpPort() {
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

uint32_t Le32(const std::string& d, size_t at) {
  auto b = [&](size_t i) { return uint32_t{static_cast<unsigned char>(d[at + i])}; };
  return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

// Checks a finished record file from its own bytes: header, trailer, and that every index entry
// points at a video unit header of a key frame. Returns the number of index points.
uint32_t CheckRecordFile(const fs::path& path) {
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
int IndexLengthSeconds(const fs::path& path) {
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
int SeekLandingSeconds(const fs::path& path, int after) {
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
std::vector<Position> Positions(const std::string& output) {
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

size_t CountOf(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

std::string MinutesSeconds(int seconds) {
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
std::vector<StatusLine> StatusLines(const std::string& output) {
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
void ExpectSnapshot(const fs::path& path, int width, int height) {
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

TEST_F(KvnetTest, LiveReportsConnectionStatusAndRecordsWithIndex) {
  const int port = FreeUdpPort();
  ASSERT_NE(port, 0);
  const std::string address = "127.0.0.1:" + std::to_string(port);
  const fs::path output = dir_.path() / "live.out";
  const fs::path record = dir_.path() / "sub" / "live.rec";  // the folder is created on demand
  const fs::path snapshot = dir_.path() / "shots" / "live.jpg";
  Child kvnet({KvnetBinary(), "live", "--udp", address, "--seconds", "4", "--record",
               record.string(), "--snapshot", snapshot.string()},
              liveEnv_, output);
  ASSERT_TRUE(WaitForText(output, "listening", milliseconds(5000))) << ReadFile(output);
  Child device({DeviceBinary(), "--target", address, "--duration", "4", "--realtime", "--quiet"},
               {}, dir_.path() / "device.out");

  const std::optional<int> status = kvnet.Wait(milliseconds(15000));
  ASSERT_TRUE(status.has_value()) << "kvnet live did not end\n" << ReadFile(output);
  EXPECT_EQ(*status, 0) << ReadFile(output);
  device.Wait(milliseconds(3000));
  const std::string text = ReadFile(output);

  const size_t connected = text.find("event: LINK LINK_CONNECTED\n");
  const size_t recordStarted = text.find("event: RECORD REC_STARTED\n");
  const size_t recordStopped = text.find("event: RECORD REC_STOPPED\n");
  ASSERT_NE(connected, std::string::npos) << text;
  ASSERT_NE(recordStarted, std::string::npos) << text;
  ASSERT_NE(recordStopped, std::string::npos) << text;
  EXPECT_LT(connected, recordStarted) << "recording starts once the stream is there";
  EXPECT_LT(recordStarted, recordStopped);
  EXPECT_NE(text.find("live: client stopped"), std::string::npos) << text;

  const std::vector<StatusLine> lines = StatusLines(text);
  ASSERT_GE(lines.size(), 3u) << text;
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].second, static_cast<int>(i + 1)) << "one status line per second";
  }
  bool streaming = false;
  for (const StatusLine& s : lines) {
    if (s.state == "LINK_CONNECTED" && s.pictures > 0 && s.kbps > 0) {
      streaming = true;
      EXPECT_EQ(s.size, "352x288");
      EXPECT_EQ(s.video, "H.264");
      EXPECT_EQ(s.audio, "G.711U");
    }
  }
  EXPECT_TRUE(streaming) << "no status line showed a connected stream with pictures\n" << text;

  EXPECT_GE(CheckRecordFile(record), 1u);
  // The snapshot is taken once the stream is there.
  EXPECT_LT(connected, text.find("snapshot: asked for " + snapshot.string() + "\n")) << text;
  EXPECT_NE(text.find("snapshot: " + snapshot.string() + " ("), std::string::npos) << text;
  EXPECT_NE(text.find("snapshots 1\n"), std::string::npos) << text;
  ExpectSnapshot(snapshot, 352, 288);
}

TEST_F(KvnetTest, LiveTakesSnapshotKeysOnATerminal) {
  const std::string address = "127.0.0.1:" + std::to_string(FreeUdpPort());
  const fs::path first = dir_.path() / "first.jpg";
  const fs::path keyed = dir_.path() / "kvnet-snapshot-1.jpg";  // beside --snapshot's file
  const milliseconds timeout(10000);
  PtyChild kvnet(
      {KvnetBinary(), "live", "--udp", address, "--seconds", "60", "--snapshot", first.string()},
      liveEnv_);
  ASSERT_TRUE(kvnet.WaitFor("keys: c snapshot, q quit\n", timeout)) << kvnet.Output();
  Child device({DeviceBinary(), "--target", address, "--duration", "30", "--realtime", "--quiet"},
               {}, dir_.path() / "device.out");
  ASSERT_TRUE(kvnet.WaitFor("snapshot: " + first.string() + " (", timeout)) << kvnet.Output();
  kvnet.Send("c");
  ASSERT_TRUE(kvnet.WaitFor("key: snapshot\n", timeout)) << kvnet.Output();
  ASSERT_TRUE(kvnet.WaitFor("snapshot: " + keyed.string() + " (", timeout)) << kvnet.Output();
  kvnet.Send("q");
  ASSERT_TRUE(kvnet.WaitFor("key: quit\n", timeout)) << kvnet.Output();
  const std::optional<int> status = kvnet.Wait(milliseconds(10000));
  ASSERT_TRUE(status.has_value()) << "q did not end kvnet live\n" << kvnet.Output();
  EXPECT_EQ(*status, 0) << kvnet.Output();
  EXPECT_EQ(kvnet.LocalModes() & (ICANON | ECHO), ICANON | ECHO) << "terminal not restored";
  EXPECT_NE(kvnet.Output().find("snapshots 2\n"), std::string::npos) << kvnet.Output();
  ExpectSnapshot(first, 352, 288);
  ExpectSnapshot(keyed, 352, 288);
}

TEST_F(KvnetTest, LiveStopsCleanlyOnInterrupt) {
  const std::string address = "127.0.0.1:" + std::to_string(FreeUdpPort());
  const fs::path output = dir_.path() / "live.out";
  Child kvnet({KvnetBinary(), "live", "--udp", address}, liveEnv_, output);
  ASSERT_TRUE(WaitForText(output, "listening", milliseconds(5000))) << ReadFile(output);
  kvnet.Signal(SIGINT);
  const std::optional<int> status = kvnet.Wait(milliseconds(10000));
  ASSERT_TRUE(status.has_value()) << "kvnet live ignored Ctrl-C\n" << ReadFile(output);
  EXPECT_EQ(*status, 0);
  const std::string text = ReadFile(output);
  EXPECT_NE(text.find("live: interrupted"), std::string::npos) << text;
  EXPECT_NE(text.find("live: client stopped"), std::string::npos) << text;
}

TEST_F(KvnetTest, BadCommandLinesAreRefusedWithUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {"live"},                                                          // no address
      {"live", "--udp", "127.0.0.1"},                                    // no port
      {"live", "--udp", "127.0.0.1:9", "--seconds", "x"},                // not a number
      {"live", "--udp", "127.0.0.1:9", "--alarm-record", "/tmp/a.rec"},  // no alarm duration
      {"live", "--udp", "127.0.0.1:9", "--screenshot", "/tmp/s.png"},    // no window
      {"live", "--udp", "127.0.0.1:9", "--frobnicate"},                  // unknown option
      {"live", "--udp", "127.0.0.1:9", "--snapshot"},                    // no snapshot path
      {"replay", "a.rec", "--snapshot"},                                 // no snapshot path
      {"replay"},                                                        // no file
      {"replay", "a.rec", "b.rec"},                                      // two files
      {"replay", "a.rec", "--speed", "5"},                               // beyond the fastest
      {"replay", "a.rec", "--speed"},                                    // no level
      {"replay", "a.rec", "--seconds", "-1"},                            // negative time
      {"replay", "a.rec", "--screenshot", "/tmp/s.png"},                 // no window
      {"replay", "a.rec", "--loop"},                                     // unknown option
      {"demo", "--bogus"},
      {"ptz", "127.0.0.1:9", "1"},                         // no parameter
      {"ptz", "127.0.0.1:9", "1", "x"},                    // not a number
      {"md", "get"},                                       // no address
      {"md", "twist", "127.0.0.1:9"},                      // no such operation
      {"md", "save", "127.0.0.1:9", "16:0,0,1,1"},         // no region 16
      {"vparam", "set", "127.0.0.1:9", "1", "2"},          // three values
      {"alarm-reset", "127.0.0.1:9", "--channel", "999"},  // no such channel
      {"talk", "127.0.0.1:9", "--tone", "9000"},           // beyond 4 kHz
      {"talk", "--seconds", "2"},                          // no address
      {"nonsense"}};
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

TEST_F(KvnetTest, ReplayPlaysARecordingToItsEndOrStopsAtTheTimeLimit) {
  const fs::path record = Record(4);
  ASSERT_FALSE(record.empty());
  const int length = IndexLengthSeconds(record);
  ASSERT_GE(length, 2) << "a 4 s recording";

  const fs::path output = dir_.path() / "replay.out";
  {
    Child kvnet({KvnetBinary(), "replay", record.string()}, liveEnv_, output);
    const std::optional<int> status = kvnet.Wait(milliseconds(length * 1000 + 15000));
    ASSERT_TRUE(status.has_value()) << "kvnet replay did not end\n" << ReadFile(output);
    EXPECT_EQ(*status, 0) << ReadFile(output);
  }
  std::string text = ReadFile(output);
  EXPECT_EQ(text.find("keys:"), std::string::npos) << "standard input is not a terminal";
  std::vector<Position> positions = Positions(text);
  ASSERT_GE(positions.size(), 2u) << text;
  for (size_t i = 0; i < positions.size(); ++i) {
    EXPECT_EQ(positions[i].length, length) << "line " << i << "\n" << text;
    EXPECT_LE(positions[i].seconds, positions[i].length) << "line " << i;
    if (i > 0) {
      EXPECT_GE(positions[i].seconds, positions[i - 1].seconds) << "line " << i;
    }
  }
  EXPECT_EQ(positions.back().seconds, length) << "the replay ends at the end\n" << text;
  EXPECT_EQ(CountOf(text, "event: REPLAY_END\n"), 1u) << text;
  EXPECT_LT(text.find("event: REPLAY_END\n"), text.find("replay: end of the file")) << text;
  EXPECT_NE(text.find("end of file reached"), std::string::npos) << text;

  // A quarter of normal speed, stopped after one second: far from the end.
  {
    Child kvnet({KvnetBinary(), "replay", record.string(), "--seconds", "1", "--speed", "-2"},
                liveEnv_, output);
    const std::optional<int> status = kvnet.Wait(milliseconds(10000));
    ASSERT_TRUE(status.has_value()) << "kvnet replay --seconds 1 did not end\n" << ReadFile(output);
    EXPECT_EQ(*status, 0) << ReadFile(output);
  }
  text = ReadFile(output);
  EXPECT_NE(text.find("replay: speed level -2 (x1/4)"), std::string::npos) << text;
  EXPECT_NE(text.find("replay: 1 s are up"), std::string::npos) << text;
  EXPECT_EQ(text.find("REPLAY_END"), std::string::npos) << text;
  positions = Positions(text);
  ASSERT_GE(positions.size(), 2u) << text;
  EXPECT_LT(positions.back().seconds, length) << text;
}

TEST_F(KvnetTest, ReplayOfAMissingFileExitsOne) {
  const fs::path output = dir_.path() / "replay.out";
  Child kvnet({KvnetBinary(), "replay", "/nonexistent/none.rec"}, liveEnv_, output);
  const std::optional<int> status = kvnet.Wait(milliseconds(5000));
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 1) << ReadFile(output);
  EXPECT_NE(ReadFile(output).find("replay: cannot open /nonexistent/none.rec"), std::string::npos)
      << ReadFile(output);
}

TEST_F(KvnetTest, ReplayTakesSingleKeysFromATerminalAndRestoresIt) {
  // Long enough that a 10 s jump from the start lands before the end.
  const fs::path record = Record(15);
  ASSERT_FALSE(record.empty());
  const int length = IndexLengthSeconds(record);
  ASSERT_GE(length, 11);
  // A loaded machine may lose a key picture while recording, so where a 10 s jump lands is
  // read from the file's own index.
  const int landing = SeekLandingSeconds(record, 10);
  ASSERT_GE(landing, 10);
  const std::string total = "/" + MinutesSeconds(length);
  const milliseconds timeout(5000);
  // Waits for a position line printed after the first `after` ones that is at least `at` s.
  auto waitForPosition = [&](PtyChild& child, size_t after, int at) {
    const auto deadline = Clock::now() + milliseconds(15000);
    do {
      const std::vector<Position> positions = Positions(child.Output());
      for (size_t i = after; i < positions.size(); ++i) {
        if (positions[i].seconds >= at) return true;
      }
      std::this_thread::sleep_for(milliseconds(20));
    } while (Clock::now() < deadline);
    return false;
  };

  {
    // --snapshot saves the picture held by the pause; 'c' saves another beside it.
    const fs::path first = dir_.path() / "paused.jpg";
    const fs::path keyed = dir_.path() / "kvnet-snapshot-1.jpg";
    PtyChild kvnet(
        {KvnetBinary(), "replay", record.string(), "--paused", "--snapshot", first.string()},
        liveEnv_);
    ASSERT_TRUE(kvnet.WaitFor("keys: ", timeout)) << kvnet.Output();
    const tcflag_t raw = kvnet.LocalModes();
    EXPECT_EQ(raw & (ICANON | ECHO), 0u) << "keys come without Enter and are not echoed";
    EXPECT_NE(raw & ISIG, 0u) << "Ctrl-C must still interrupt";
    // Paused: the position stays at the start for a second.
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(kvnet.WaitFor("replay: 00:00" + total + "\n", timeout)) << kvnet.Output();
    }
    EXPECT_NE(kvnet.Output().find("snapshot: " + first.string() + " ("), std::string::npos)
        << kvnet.Output();
    kvnet.Send("c");
    ASSERT_TRUE(kvnet.WaitFor("key: snapshot\n", timeout)) << kvnet.Output();
    ASSERT_TRUE(kvnet.WaitFor("snapshot: " + keyed.string() + " (", timeout)) << kvnet.Output();
    ExpectSnapshot(first, 352, 288);
    ExpectSnapshot(keyed, 352, 288);
    kvnet.Send("+");
    EXPECT_TRUE(kvnet.WaitFor("key: faster: speed level 1 (x2)\n", timeout)) << kvnet.Output();
    kvnet.Send("0");
    EXPECT_TRUE(kvnet.WaitFor("key: normal speed\n", timeout)) << kvnet.Output();
    const size_t beforeJump = Positions(kvnet.Output()).size();
    kvnet.Send(".");
    ASSERT_TRUE(kvnet.WaitFor("key: seek forward to 00:10" + total + "\n", timeout))
        << kvnet.Output();
    EXPECT_TRUE(waitForPosition(kvnet, beforeJump, 10)) << "the position after the jump\n"
                                                        << kvnet.Output();
    kvnet.Send(" ");
    ASSERT_TRUE(kvnet.WaitFor("key: continue\n", timeout)) << kvnet.Output();
    // Playing on from the jump. (A paused worker waits a second for the jump; on a machine
    // loaded enough it shows one more picture from before it first, and the position only
    // comes back once playing.)
    const size_t playing = Positions(kvnet.Output()).size();
    EXPECT_TRUE(waitForPosition(kvnet, playing, 10)) << kvnet.Output();
    kvnet.Send("q");
    EXPECT_TRUE(kvnet.WaitFor("key: quit\n", timeout)) << kvnet.Output();
    const std::optional<int> status = kvnet.Wait(milliseconds(10000));
    ASSERT_TRUE(status.has_value()) << "q did not end the replay\n" << kvnet.Output();
    EXPECT_EQ(*status, 0) << kvnet.Output();
    EXPECT_EQ(kvnet.LocalModes() & (ICANON | ECHO), ICANON | ECHO) << "terminal not restored";
    const std::vector<Position> positions = Positions(kvnet.Output());
    ASSERT_GE(positions.size(), 4u) << kvnet.Output();
    for (const Position& p : positions) {
      EXPECT_EQ(p.length, length);
      EXPECT_LE(p.seconds, p.length);
    }
    EXPECT_GE(positions.back().seconds, 10) << kvnet.Output();
  }

  // At the fastest level '+' reports the limit; the arrow keys seek; an unknown key shows the
  // keys again; Ctrl-C typed on the terminal ends the replay and the terminal gets its mode back.
  PtyChild kvnet({KvnetBinary(), "replay", record.string(), "--paused", "--speed", "4"}, liveEnv_);
  ASSERT_TRUE(kvnet.WaitFor("keys: ", timeout)) << kvnet.Output();
  kvnet.Send("+");
  EXPECT_TRUE(kvnet.WaitFor("key: faster: at the limit, speed level 4 (x16)\n", timeout))
      << kvnet.Output();
  kvnet.Send("\x1b[C");
  EXPECT_TRUE(kvnet.WaitFor("key: seek forward to 00:10" + total + "\n", timeout))
      << kvnet.Output();
  kvnet.Send("\x1b[D");
  // Back 10 s from the position: 00:00 from 00:10 while the seek is pending (or from a picture
  // shown from before the jump, when the paused worker's second of waiting ran out), or from
  // the key picture the jump landed on once it is shown; either may come first.
  ASSERT_TRUE(kvnet.WaitFor("key: seek back to ", timeout)) << kvnet.Output();
  const bool backToStart =
      kvnet.Output().find("key: seek back to 00:00" + total + "\n") != std::string::npos;
  const bool backFromLanding =
      kvnet.Output().find("key: seek back to " + MinutesSeconds(landing - 10) + total + "\n") !=
      std::string::npos;
  EXPECT_TRUE(backToStart || backFromLanding) << "the jump lands at " << landing << " s\n"
                                              << kvnet.Output();
  kvnet.Send("x");
  EXPECT_TRUE(kvnet.WaitFor("keys: ", timeout)) << kvnet.Output();
  kvnet.Send("\x03");
  EXPECT_TRUE(kvnet.WaitFor("replay: interrupted\n", timeout)) << kvnet.Output();
  const std::optional<int> status = kvnet.Wait(milliseconds(10000));
  ASSERT_TRUE(status.has_value()) << "Ctrl-C did not end the replay\n" << kvnet.Output();
  EXPECT_EQ(*status, 0) << kvnet.Output();
  EXPECT_EQ(kvnet.LocalModes() & (ICANON | ECHO), ICANON | ECHO) << "terminal not restored";
  EXPECT_EQ(CountOf(kvnet.Output(), "key: "), 3u) << "one line per key\n" << kvnet.Output();
}

// Pixel statistics of a PNG decoded by cairo.
struct PngStats {
  int width = 0, height = 0;
  double lumaStdDev = 0;
  size_t colours = 0;
};

std::optional<PngStats> ReadPng(const fs::path& path) {
  cairo_surface_t* surface = cairo_image_surface_create_from_png(path.c_str());
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return std::nullopt;
  }
  cairo_surface_flush(surface);
  PngStats stats;
  stats.width = cairo_image_surface_get_width(surface);
  stats.height = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  std::set<uint32_t> colours;
  double sum = 0, sumSquares = 0;
  for (int y = 0; y < stats.height; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
    for (int x = 0; x < stats.width; ++x) {
      const uint32_t p = row[x] & 0xFFFFFF;
      colours.insert(p);
      const double luma = 0.299 * (p >> 16) + 0.587 * ((p >> 8) & 0xFF) + 0.114 * (p & 0xFF);
      sum += luma;
      sumSquares += luma * luma;
    }
  }
  cairo_surface_destroy(surface);
  const double n = double(stats.width) * stats.height;
  if (n > 0) stats.lumaStdDev = std::sqrt(std::max(0.0, sumSquares / n - (sum / n) * (sum / n)));
  stats.colours = colours.size();
  return stats;
}

TEST_F(KvnetTest, DemoExitsZeroAndLeavesScreenshotRecordingsAndSound) {
  const fs::path out = dir_.path() / "demo";
  // No display of our own: the demo must bring up Xvfb itself (or run headless without it).
  Child kvnet({KvnetBinary(), "demo", "--out", out.string()},
              {{"DISPLAY", nullptr}, {"KVNET_AUDIO_OUT", nullptr}}, dir_.path() / "demo.out");
  const std::optional<int> status = kvnet.Wait(milliseconds(40000));
  const std::string text = ReadFile(dir_.path() / "demo.out");
  ASSERT_TRUE(status.has_value()) << "kvnet demo did not end\n" << text;
  EXPECT_EQ(*status, 0) << text;
  EXPECT_NE(text.find("demo finished: ok"), std::string::npos) << text;
  EXPECT_NE(text.find("event: RECORD ALARM_REC_TIME_UP"), std::string::npos) << text;

  // The normal recording is replayed after the live run, at twice its speed, to its end.
  const size_t replayStart = text.find("demo: replaying " + (out / "demo-normal.rec").string());
  ASSERT_NE(replayStart, std::string::npos) << text;
  const int length = IndexLengthSeconds(out / "demo-normal.rec");
  EXPECT_GE(length, 5) << "an 8 s recording";
  const std::string replayText = text.substr(replayStart);
  EXPECT_NE(replayText.find("replay: speed level 1 (x2)"), std::string::npos) << text;
  const std::vector<Position> positions = Positions(replayText);
  ASSERT_GE(positions.size(), 2u) << text;
  for (const Position& p : positions) {
    EXPECT_EQ(p.length, length);
    EXPECT_LE(p.seconds, p.length);
  }
  EXPECT_EQ(positions.back().seconds, length) << text;
  EXPECT_EQ(CountOf(replayText, "event: REPLAY_END\n"), 1u) << text;
  EXPECT_NE(text.find("end event came"), std::string::npos) << text;

  EXPECT_GE(CheckRecordFile(out / "demo-normal.rec"), 1u);
  EXPECT_GE(CheckRecordFile(out / "demo-alarm.rec"), 1u);
  // One snapshot from the live view, one from the replay while it was paused.
  ExpectSnapshot(out / "demo-live.jpg", 352, 288);
  ExpectSnapshot(out / "demo-replay-paused.jpg", 352, 288);
  const size_t pausedShot =
      replayText.find("snapshot: " + (out / "demo-replay-paused.jpg").string());
  EXPECT_LT(pausedShot, replayText.find("replay: continue after the snapshot")) << text;
  const std::string wav = ReadFile(out / "demo-audio.wav");
  ASSERT_GE(wav.size(), 44u);
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_GT(wav.size(), 44u + 8000u) << "at least half a second of 8 kHz 16-bit sound";

  if (!OnPath("Xvfb")) {
    EXPECT_EQ(text.find("screenshot: /"), std::string::npos);
    GTEST_SKIP() << "Xvfb is not installed: the demo ran without a window";
  }
  const std::string png = ReadFile(out / "demo-window.png");
  ASSERT_GE(png.size(), 8u) << text;
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  const std::optional<PngStats> stats = ReadPng(out / "demo-window.png");
  ASSERT_TRUE(stats.has_value()) << "cairo cannot decode the screenshot";
  EXPECT_EQ(stats->width, 352);
  EXPECT_EQ(stats->height, 288);
  // The pattern has bars and digits: far from one flat colour (a black window would be 0).
  EXPECT_GT(stats->lumaStdDev, 20.0);
  EXPECT_GE(stats->colours, 6u);

  // The replay drew into the same window.
  const std::optional<PngStats> replayStats = ReadPng(out / "demo-replay.png");
  ASSERT_TRUE(replayStats.has_value()) << "no replay screenshot\n" << text;
  EXPECT_EQ(replayStats->width, 352);
  EXPECT_EQ(replayStats->height, 288);
  EXPECT_GT(replayStats->lumaStdDev, 20.0);
  EXPECT_GE(replayStats->colours, 6u);
}

}  // namespace
