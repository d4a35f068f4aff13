// CommandSocket: one MCTP/1.0 TCP connection with its connect, send and receive time-outs.
// One thread uses it at a time, except that a stopping thread may Close or Abort it to wake a
// send or receive blocked in another.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "sdk/platform/socket.h"

namespace kv {

class CommandSocket {
 public:
  static constexpr int kSendBufferBytes = 8192;
  static constexpr int kReceiveBufferBytes = 16384;

  // Stores the time-outs (ms), creates a TCP socket of the family and sets its send and then
  // its receive time-out. 1, or 0 with the socket closed. Always 0 once Abort was called.
  int Create(int connectMs, int sendMs, int receiveMs, platform::AddressFamily family);
  // Connects within the connect time-out and leaves the socket blocking. 1/0.
  int Connect(const platform::SocketAddress& address);
  // Closes the socket if open.
  void Close();
  // Closes the socket and refuses every later Create: the stopping thread's way to make sure
  // a worker between two attempts cannot open a new connection behind its back.
  void Abort();
  bool IsOpen() const { return m_socket.IsOpen(); }

  int SetNoDelay();
  // 8192 and 16384 bytes; 1 (and nothing done) on a closed socket.
  int SetSendBuffer();
  int SetReceiveBuffer();
  int SetReceiveTimeout(int milliseconds);

  // One send or receive call: bytes moved, 0 for an orderly end (receive), -1 on failure.
  long Send(const void* data, size_t length);
  long Receive(void* buffer, size_t length);
  // Receives exactly n bytes and returns n; 0 when the peer closed first or the receive timed
  // out, -1 on another error.
  long ReceiveAll(size_t n, void* buffer);
  // Whether the last failed call timed out.
  bool LastCallTimedOut() const;

  int connectTimeoutMs() const { return m_connectMs; }
  int sendTimeoutMs() const { return m_sendMs; }
  int receiveTimeoutMs() const { return m_receiveMs.load(); }
  bool noDelay() const { return m_noDelay != 0; }

 private:
  platform::Socket m_socket;
  std::mutex m_openMutex;  // orders Create against Abort
  bool m_aborted = false;
  int m_connectMs = 0;
  int m_sendMs = 0;
  std::atomic<int> m_receiveMs{0};
  int m_noDelay = 0;
};

struct CommandTimeouts {
  int connectMs;
  int sendMs;
  int receiveMs;
};

// Resolves host and port (any family, stream sockets), creates the socket with the time-outs
// for the first address and connects to it. False on any failure (socket closed). `prepare`
// runs between Create and Connect (socket options) and may fail the attempt.
template <typename Prepare>
bool OpenCommandConnection(CommandSocket& socket, const std::string& host, uint16_t port,
                           const CommandTimeouts& timeouts, Prepare&& prepare);

// The first resolved address of host:port, or an invalid address.
platform::SocketAddress ResolveDevice(const std::string& host, uint16_t port);

template <typename Prepare>
bool OpenCommandConnection(CommandSocket& socket, const std::string& host, uint16_t port,
                           const CommandTimeouts& timeouts, Prepare&& prepare) {
  const platform::SocketAddress address = ResolveDevice(host, port);
  if (!address.IsValid()) return false;
  if (!socket.Create(timeouts.connectMs, timeouts.sendMs, timeouts.receiveMs, address.Family())) {
    return false;
  }
  if (!prepare(socket) || !socket.Connect(address)) {
    socket.Close();
    return false;
  }
  return true;
}

inline bool OpenCommandConnection(CommandSocket& socket, const std::string& host, uint16_t port,
                                  const CommandTimeouts& timeouts) {
  return OpenCommandConnection(socket, host, port, timeouts, [](CommandSocket&) { return true; });
}

}  // namespace kv
