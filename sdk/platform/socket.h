// BSD sockets behind small value types: addresses, host resolution and a TCP/UDP socket
// whose Close from another thread wakes a call blocked on it.
//
// Results are plain values: byte counts or -1, with the error (an errno value, comparable
// with std::errc) kept by the socket and returned by LastError().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sdk/platform/wait.h"

namespace kv::platform {

enum class AddressFamily { kUnspecified, kIPv4, kIPv6 };
enum class SocketType { kTcp, kUdp };

// An IPv4 or IPv6 address with a port, held without OS headers (a copy of the OS's socket
// address record). An empty address is not valid.
class SocketAddress {
 public:
  SocketAddress() = default;

  // A numeric IPv4 or IPv6 literal ("192.0.2.1", "::1"); an invalid address otherwise.
  static SocketAddress Parse(const std::string& literal, uint16_t port);
  // The wildcard address of the family (0.0.0.0 or ::).
  static SocketAddress Any(AddressFamily family, uint16_t port);
  // The loopback address of the family (127.0.0.1 or ::1).
  static SocketAddress Loopback(AddressFamily family, uint16_t port);

  bool IsValid() const { return m_size != 0; }
  AddressFamily Family() const;
  uint16_t Port() const;
  void SetPort(uint16_t port);
  // The address alone ("127.0.0.1", "::1"); empty when invalid.
  std::string IpString() const;
  // Address and port ("127.0.0.1:554", "[::1]:554").
  std::string ToString() const;
  // Same IP address, port ignored; an IPv4-mapped IPv6 address equals its IPv4 address.
  bool SameHost(const SocketAddress& other) const;
  bool operator==(const SocketAddress& other) const;

  // The raw record, for the platform layer.
  const void* Data() const { return m_storage.data(); }
  uint32_t Size() const { return m_size; }
  static SocketAddress FromRaw(const void* data, uint32_t size);

 private:
  static SocketAddress Fixed(AddressFamily family, uint16_t port, bool loopback);

  alignas(8) std::array<unsigned char, 128> m_storage{};
  uint32_t m_size = 0;
};

struct ResolveResult {
  int error = 0;  // 0 on success, else a resolver error (see ResolveErrorText)
  std::vector<SocketAddress> addresses;
};

// Resolves a host name or literal for the given socket type; family kUnspecified takes both.
ResolveResult ResolveHost(const std::string& host, uint16_t port, SocketType type,
                          AddressFamily family = AddressFamily::kUnspecified);
std::string ResolveErrorText(int error);
// Text of a socket error (an errno value).
std::string SocketErrorText(int error);

class Socket {
 public:
  Socket();
  ~Socket();
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Creates the socket (closing one that was open). False on failure.
  bool Open(AddressFamily family, SocketType type);
  bool IsOpen() const;
  AddressFamily Family() const;
  SocketType Type() const;

  bool Bind(const SocketAddress& address);
  // Binds the wildcard address of the socket's family.
  bool BindAny(uint16_t port);
  bool Listen(int backlog);
  // Takes one pending connection (blocking unless WaitReadable said one is there). An unopened
  // socket on failure; the peer's address goes to peer when given.
  Socket Accept(SocketAddress* peer = nullptr);

  // Connects, waiting at most timeoutMs (kInfinite: no limit). 0 on success, -1 on failure
  // (LastError: std::errc::timed_out when the time ran out, connection_refused, ...).
  int Connect(const SocketAddress& address, uint32_t timeoutMs);

  // Bytes transferred, 0 for an orderly end (receive), or -1.
  long Send(const void* data, size_t length);
  long Receive(void* buffer, size_t length);
  long SendTo(const void* data, size_t length, const SocketAddress& to);
  long ReceiveFrom(void* buffer, size_t length, SocketAddress* from);
  // Loops until all length bytes went or came: length, or -1 (0 when the peer ended first).
  long SendAll(const void* data, size_t length);
  long ReceiveAll(void* buffer, size_t length);

  // 1 ready, 0 time-out, -1 error or closed.
  int WaitReadable(uint32_t timeoutMs);
  int WaitWritable(uint32_t timeoutMs);

  // Time-outs in milliseconds, 0 meaning none; a timed-out call fails with
  // std::errc::resource_unavailable_try_again (or operation_would_block).
  bool SetReceiveTimeout(uint32_t milliseconds);
  bool SetSendTimeout(uint32_t milliseconds);
  bool SetReceiveBufferSize(int bytes);
  bool SetSendBufferSize(int bytes);
  int ReceiveBufferSize() const;  // -1 on failure
  int SendBufferSize() const;
  bool SetReuseAddress(bool on);
  // TCP only: sends small writes at once instead of gathering them.
  bool SetNoDelay(bool on);
  bool SetNonBlocking(bool on);

  SocketAddress LocalAddress() const;
  SocketAddress PeerAddress() const;

  // Ends both directions: calls blocked on the socket in other threads return. The socket
  // stays open until Close.
  void Shutdown();
  // Shuts down and closes. Safe while another thread is blocked on the socket: that call
  // returns, and the descriptor is released only after it has left, so it is never reused
  // under it.
  void Close();

  // The error of the last failed call on this socket (0 when none).
  int LastError() const;
  static bool IsTimeoutError(int error);

 private:
  struct Impl;
  struct Handle;
  class Use;
  explicit Socket(int fd, AddressFamily family, SocketType type);
  void setError(int error) const;

  std::unique_ptr<Impl> m_impl;
};

}  // namespace kv::platform
