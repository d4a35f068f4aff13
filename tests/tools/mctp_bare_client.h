// Test helpers for the simulator's MCTP/1.0 side: a bare client on plain sockets (independent
// of the SDK) that sends the exact request texts the client library sends and reads replies
// the way it does, the library's acceptance rules for each reply written out here, and the
// simulator's log and control file.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/tools/rtsp_bare_client.h"

namespace kvdevice_mctp_test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kvdevice_rtsp_test::Device;

// The device options every test here starts from: a small, slow picture keeps the machine
// free for the MCTP side.
inline const std::string kLight = "--size 160x120 --fps 5 --bitrate 64 ";

// A folder of the test's own, removed with the object.
class Folder {
 public:
  Folder() : path_(kv::test::MakeUniqueTempDir("kvdevice_mctp_")) {}
  ~Folder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// The requests as the client library formats them.
inline std::string Fields(std::initializer_list<int> values, bool trailing = false) {
  std::string line;
  for (int v : values) line += "@" + std::to_string(v);
  return line + (trailing ? "@\n" : "\n");
}
inline std::string MdRequest(int operation, int channel) {
  return "CMD:MD MCTP/1.0 CS\n" + Fields({operation, channel, 0, 0, 0, 0, 0, 0}) + "END\n";
}
struct Region {
  int setting, left, top, right, bottom;
};
inline std::string MdSave(int channel, const std::vector<Region>& regions) {
  std::string text = "CMD:MD MCTP/1.0 CS\n";
  for (int i = 0; i < 16; ++i) {
    const Region& g = regions[static_cast<size_t>(i)];
    text += Fields({1, channel, i, g.setting, g.left, g.top, g.right, g.bottom});
  }
  return text + "END\n";
}
inline std::string StopAlarm(int value, int channel) {
  return "CMD:ALARM MCTP/1.0 CS\n" + Fields({1, value, channel}) + "END\n";
}
inline std::string Vctrl(int operation, int channel, int p1, int p2, int p3) {
  return "CMD:VCTRL MCTP/1.0 CS\n" + Fields({operation, channel, p1, p2, p3}, true) + "END\n";
}
inline std::string Ptz(int channel, int command, int parameter) {
  return "CMD:PTZ MCTP/1.0\n" + Fields({channel, command, parameter}) + "END\n";
}
inline std::string TalkRequest(int channel, int codec) {
  return "CMD:TALK MCTP/1.0 CS\n" + Fields({channel, codec}, true) + "END\n";
}
inline std::string Login(const std::string& session, int channel) {
  return "CMD:ALIVE MCTP/1.0 CS\n@" + session + "@" + std::to_string(channel) + "\nEND\n";
}
inline const std::string kKeepAlive = "CMD:ALIVE MCTP/1.0 CS\nEND\n";

// The reply reader of the client library: lines end at "\n" or the end of the text.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  return lines;
}
// Reads a line with a "@%d..." format as sscanf does; the number of fields read.
inline int Scan(const std::string& line, const char* format, int* v) {
  return std::sscanf(line.c_str(), format, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
}

// The library's acceptance rule of each reply (what makes a command return 1).
enum class Command { kMdGet, kMdSet, kAlarm, kVparamSet, kVparamGet, kPtz, kTalk, kLogin };
inline bool Accepted(Command command, const std::string& reply) {
  const std::vector<std::string> l = Lines(reply);
  int v[8] = {};
  switch (command) {
    case Command::kMdGet:
      if (l.size() != 18 || l[0].find("CMD:MD MCTP/1.0") == std::string::npos) return false;
      for (size_t i = 1; i <= 16; ++i) {
        if (Scan(l[i], "@%d@%d@%d@%d@%d@%d@%d@%d\n", v) != 8) return false;
      }
      return true;
    case Command::kMdSet:
      return l.size() == 3 && Scan(l[1], "@%d@%d@%d@%d@%d@%d@%d@%d\n", v) == 8 && v[2] == 1;
    case Command::kAlarm:
      return l.size() == 3 && Scan(l[1], "@%d@%d@%d\n", v) == 3 && v[2] == 1;
    case Command::kVparamSet:
      return l.size() == 3 && Scan(l[1], "@%d@%d@%d@\n", v) == 3 && v[2] == 1;
    case Command::kVparamGet:
      return l.size() == 3 && Scan(l[1], "@%d@%d@%d@%d@%d@\n", v) == 5;
    case Command::kPtz:
      return true;  // any receive that did not fail
    case Command::kTalk:
      if (l.size() != 2 || l[0].find("CMD:TALK") == std::string::npos) return false;
      if (Scan(l[1], "@%d@%d@\n", v) != 2 && Scan(l[1], "@%d@%d@%d@\n", v) != 3) return false;
      return v[1] == 1;
    case Command::kLogin:
      return l.size() == 3 && Scan(l[1], "@%d@%d@%d\n", v) == 3 && v[2] != 0;
  }
  return false;
}

// A plain TCP client on loopback.
class MctpClient {
 public:
  explicit MctpClient(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }
  ~MctpClient() { close(fd_); }
  MctpClient(const MctpClient&) = delete;
  MctpClient& operator=(const MctpClient&) = delete;

  void send(const std::string& bytes) {
    EXPECT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // One receive of at most `most` bytes, as the library reads a reply: nothing when none came
  // within timeoutMs, "" when the device closed the connection.
  std::optional<std::string> receiveOnce(int timeoutMs, size_t most = 1024) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    std::string data(most, '\0');
    const ssize_t n = recv(fd_, data.data(), most, 0);
    data.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return data;
  }
  // Everything until the device closes or stays quiet for quietMs (at most timeoutMs in all).
  std::string receiveAll(int quietMs, int timeoutMs = 10000) {
    std::string all;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
      std::optional<std::string> got = receiveOnce(quietMs, 65536);
      if (!got || got->empty()) break;
      all += *got;
    }
    return all;
  }
  // Exactly n bytes, or what came within timeoutMs.
  std::string receiveExactly(size_t n, int timeoutMs) {
    std::string all;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (all.size() < n && Clock::now() < end) {
      std::optional<std::string> got = receiveOnce(50, n - all.size());
      if (got && got->empty()) break;
      if (got) all += *got;
    }
    return all;
  }
  // Whether the device closes the connection within timeoutMs (data before the close is read
  // and dropped).
  bool closes(int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
      std::optional<std::string> got = receiveOnce(50, 65536);
      if (got && got->empty()) return true;
    }
    return false;
  }

 private:
  int fd_ = -1;
};

// One command as the library runs it: connect, send, receive once (waiting at most waitMs).
inline std::optional<std::string> OneShot(int port, const std::string& request, int waitMs = 3000) {
  MctpClient c(port);
  c.send(request);
  return c.receiveOnce(waitMs);
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Lines of the simulator's log that contain `text`.
inline std::vector<std::string> LogLines(const std::string& path, const std::string& text) {
  std::vector<std::string> found;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.find(text) != std::string::npos) found.push_back(line);
  }
  return found;
}
// Waits until the log holds `count` lines with `text`.
inline bool WaitForLog(const std::string& path, const std::string& text, size_t count = 1,
                       int timeoutMs = 10000) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    if (LogLines(path, text).size() >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}
// The log's quoting of a request or report text.
inline std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out + "\"";
}

inline void AppendLine(const std::string& path, const std::string& line) {
  std::ofstream(path, std::ios::app) << line << "\n";
}

}  // namespace kvdevice_mctp_test
