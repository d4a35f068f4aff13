// The simulated camera's TCP sockets: a listening socket, and one accepted connection with a
// buffered reader. With udp_socket.* the only files of kvdevice that use the socket interface.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace kvdevice {

class TcpConnection;

class TcpListener {
 public:
  // address is "host:port" or "[v6]:port"; port 0 takes any free port.
  static std::unique_ptr<TcpListener> Open(const std::string& address, std::string& error);
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Waits at most timeoutMs for a connection; nothing when none came (or on an error).
  std::unique_ptr<TcpConnection> accept(int timeoutMs);
  int port() const { return port_; }
  // The numeric local address ("127.0.0.1", "::1"), as URLs and SDP name it.
  const std::string& host() const { return host_; }
  bool ipv6() const { return ipv6_; }

 private:
  TcpListener() = default;
  int fd_ = -1;
  int port_ = 0;
  std::string host_;
  bool ipv6_ = false;
};

enum class ReadResult { kOk, kTimeout, kClosed, kTooLong };

// One accepted connection. Reading is done by one thread; writes may come from several and are
// serialised by the connection's write lock, so a message is never cut by another.
class TcpConnection {
 public:
  explicit TcpConnection(int fd);
  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // The peer's numeric address (without brackets) and the local numeric address.
  const std::string& peerHost() const { return peerHost_; }
  const std::string& localHost() const { return localHost_; }
  bool ipv6() const { return ipv6_; }

  // The bytes received and not yet taken; read() adds to them.
  const std::string& buffered() const { return buffer_; }
  void consume(size_t count) { buffer_.erase(0, count); }
  // Receives more bytes into the buffer, waiting at most timeoutMs (-1: without limit). kTooLong
  // when the buffer already holds maxBuffered bytes.
  ReadResult read(int timeoutMs, size_t maxBuffered);

  // Writes all bytes as one message; false when the connection failed, or when `cancel` was
  // set while the peer was not reading.
  bool write(const void* data, size_t size, const std::atomic<bool>* cancel = nullptr);
  bool write(const std::string& text, const std::atomic<bool>* cancel = nullptr) {
    return write(text.data(), text.size(), cancel);
  }
  // Writes the message in `pieces` parts of about equal size with `gapMs` between them, each
  // part in a segment of its own; nothing else is written in between.
  bool writeInPieces(const std::string& text, int pieces, int gapMs);

  // Ends both directions: a blocked read or write on another thread returns at once.
  void shutdown();

 private:
  bool writeLocked(const uint8_t* data, size_t size, const std::atomic<bool>* cancel);

  int fd_;
  std::string buffer_;
  std::string peerHost_;
  std::string localHost_;
  bool ipv6_ = false;
  std::mutex writeLock_;
};

}  // namespace kvdevice
