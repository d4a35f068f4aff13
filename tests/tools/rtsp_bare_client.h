// Test helpers for the simulator's RTSP server: the simulator run as a process, and a bare RTSP
// client on plain sockets (independent of the SDK) that reads answers and interleaved packets.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/server_process.h"

namespace kvdevice_rtsp_test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using kv::test::RunCommand;
using kv::test::ServerProcess;

inline std::string DeviceBinary() {
  return (fs::read_symlink("/proc/self/exe").parent_path() / "../tools/kvdevice/kvdevice")
      .lexically_normal()
      .string();
}

inline bool HaveFfmpeg() {
  return RunCommand("ffprobe -version && ffmpeg -version", 20).exitCode == 0;
}

// kvdevice serving RTSP on a free loopback port; stopped and reaped with the object.
class Device {
 public:
  explicit Device(const std::string& arguments) {
    std::vector<std::string> args = {DeviceBinary(), "--listen", "127.0.0.1:0", "--quiet"};
    for (size_t at = 0; at < arguments.size();) {
      size_t end = arguments.find(' ', at);
      if (end == std::string::npos) end = arguments.size();
      if (end > at) args.push_back(arguments.substr(at, end - at));
      at = end + 1;
    }
    std::string error;
    process_ = ServerProcess::Start(args, "kvdevice: listening on ", 30000, "", &url_, &error);
    EXPECT_NE(process_, nullptr) << error;
    if (process_) port_ = std::stoi(url_.substr(url_.rfind(':') + 1));
  }
  bool ok() const { return process_ != nullptr; }
  int port() const { return port_; }
  std::string url(const std::string& credentials = "") const {
    return "rtsp://" + credentials + "127.0.0.1:" + std::to_string(port_) + "/1";
  }
  // Stops the server and returns its summary values ("name value" pairs).
  // A sanitizer report or a crash in the simulator shows as an exit status other than 0.
  ~Device() {
    if (process_ != nullptr && process_->pid() > 0) stop();
  }
  std::map<std::string, uint64_t> stop() {
    std::string output;
    EXPECT_EQ(process_->Stop(10000, &output), 0) << output;
    std::map<std::string, uint64_t> values;
    size_t at = output.find("kvdevice served:");
    if (at == std::string::npos) return values;
    std::istringstream line(output.substr(at + 16));
    std::string name;
    uint64_t value;
    while (line >> name >> value) values[name] = value;
    return values;
  }

 private:
  std::unique_ptr<ServerProcess> process_;
  std::string url_;
  int port_ = 0;
};

// What a bare client reads from the connection: an RTSP message or an interleaved packet.
struct Received {
  bool packet = false;
  int channel = -1;
  Bytes data;        // the packet
  std::string text;  // the message, head and body
  int status = 0;
  std::string header(const std::string& name) const {
    size_t at = text.find("\r\n" + name + ": ");
    if (at == std::string::npos) return {};
    at += name.size() + 4;
    return text.substr(at, text.find("\r\n", at) - at);
  }
  std::string body() const { return text.substr(text.find("\r\n\r\n") + 4); }
};

// A plain TCP client on loopback, independent of the SDK.
class Client {
 public:
  explicit Client(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }
  ~Client() { close(fd_); }
  void send(const std::string& text) {
    EXPECT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
  }
  // Bytes received since the last call, waiting up to timeoutMs for the first; false when the
  // connection closed.
  bool fill(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return true;
    char chunk[65536];
    ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    ++reads_;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  // The next message or packet within timeoutMs.
  std::optional<Received> next(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (std::optional<Received> r = take()) return r;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || !fill(static_cast<int>(left))) return std::nullopt;
    }
  }
  // The next RTSP message, keeping the packets read before it.
  std::optional<Received> answer(int timeoutMs = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
      std::optional<Received> r = next(timeoutMs);
      if (!r) return std::nullopt;
      if (!r->packet) return r;
      packets.push_back(*r);
    }
    return std::nullopt;
  }
  Received request(const std::string& text) {
    send(text);
    std::optional<Received> r = answer();
    EXPECT_TRUE(r) << "no answer to " << text;
    return r.value_or(Received{});
  }
  bool closed(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
      buffer_.clear();
      if (!fill(100)) return true;
    }
    return false;
  }
  int reads() const { return reads_; }
  std::vector<Received> packets;

 private:
  std::optional<Received> take() {
    if (buffer_.empty()) return std::nullopt;
    Received r;
    if (buffer_[0] == '$') {
      if (buffer_.size() < 4) return std::nullopt;
      size_t length =
          size_t{static_cast<uint8_t>(buffer_[2])} << 8 | static_cast<uint8_t>(buffer_[3]);
      if (buffer_.size() < 4 + length) return std::nullopt;
      r.packet = true;
      r.channel = static_cast<uint8_t>(buffer_[1]);
      r.data.assign(buffer_.begin() + 4, buffer_.begin() + 4 + static_cast<long>(length));
      buffer_.erase(0, 4 + length);
      return r;
    }
    size_t end = buffer_.find("\r\n\r\n");
    if (end == std::string::npos) return std::nullopt;
    size_t length = 0;
    if (size_t at = buffer_.find("Content-Length: "); at != std::string::npos && at < end) {
      length = std::stoul(buffer_.substr(at + 16));
    }
    if (buffer_.size() < end + 4 + length) return std::nullopt;
    r.text = buffer_.substr(0, end + 4 + length);
    buffer_.erase(0, end + 4 + length);
    if (r.text.rfind("RTSP/1.0 ", 0) == 0) r.status = std::stoi(r.text.substr(9));
    return r;
  }

  int fd_ = -1;
  int reads_ = 0;
  std::string buffer_;
};

// The exact requests of the SDK's session, so the simulator plays the device to that client.
inline std::string Describe(const std::string& url, int cseq,
                            const std::string& authorization = "") {
  return "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
         "\r\nAccept: application/sdp\r\n" + authorization +
         "User-Agent: Morvalinder Client\r\n\r\n";
}
inline std::string SetupRequest(const std::string& url, char track, int cseq,
                                const std::string& transport, const std::string& session = "") {
  return "SETUP " + url + "/trackID=" + track + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
         "\r\n" + (session.empty() ? "" : "Session: " + session + "\r\n") +
         "Transport: " + transport + "\r\nUser-Agent: Morvalinder Client\r\n\r\n";
}
inline std::string Play(const std::string& url, int cseq, const std::string& session) {
  return "PLAY " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\nSession: " + session +
         "\r\nRang: npt=0.000-\r\nUser-Agent: Morvalinder Client\r\n\r\n";
}
inline std::string Simple(const std::string& method, const std::string& url, int cseq,
                          const std::string& session) {
  return method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" +
         (session.empty() ? "" : "Session: " + session + "\r\n") + "\r\n";
}
inline std::string SessionOf(const Received& r) {
  std::string s = r.header("Session");
  return s.substr(0, s.find(';'));
}

// Sets up video (and audio when asked) interleaved and plays; returns the session id.
inline std::string PlayInterleaved(Client& c, const std::string& url, bool audio) {
  EXPECT_EQ(c.request(Describe(url, 1)).status, 200);
  Received v = c.request(SetupRequest(url, '1', 2, "RTP/AVP/TCP;unicast;interleaved=0-1"));
  EXPECT_EQ(v.status, 200) << v.text;
  std::string session = SessionOf(v);
  if (audio) {
    EXPECT_EQ(
        c.request(SetupRequest(url, '2', 3, "RTP/AVP/TCP;unicast;interleaved=2-3", session)).status,
        200);
  }
  EXPECT_EQ(c.request(Play(url, 4, session)).status, 200);
  return session;
}

struct Rtp {
  bool marker;
  int payloadType;
  uint16_t sequence;
  uint32_t timestamp, ssrc;
  Bytes payload;
  static std::optional<Rtp> Of(const Bytes& d) {
    if (d.size() < 12 || (d[0] & 0xC0) != 0x80) return std::nullopt;
    return Rtp{(d[1] & 0x80) != 0,
               d[1] & 0x7F,
               static_cast<uint16_t>(d[2] << 8 | d[3]),
               uint32_t{d[4]} << 24 | uint32_t{d[5]} << 16 | uint32_t{d[6]} << 8 | d[7],
               uint32_t{d[8]} << 24 | uint32_t{d[9]} << 16 | uint32_t{d[10]} << 8 | d[11],
               Bytes(d.begin() + 12, d.end())};
  }
};

// Collects interleaved packets and messages for a while.
inline std::vector<Received> Collect(Client& c, int milliseconds) {
  std::vector<Received> got = c.packets;
  c.packets.clear();
  const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (Clock::now() < end) {
    std::optional<Received> r = c.next(50);
    if (r) got.push_back(*r);
  }
  return got;
}

}  // namespace kvdevice_rtsp_test
