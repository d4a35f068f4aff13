// The simulated camera's sending UDP socket (IPv4 or IPv6, optionally bound to a local address).
// The only file of kvdevice that talks to the operating system's socket interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kvdevice {

class UdpSocket {
 public:
  // target is "host:port", "[v6-address]:port" or "host" (port 554). bindAddress may be empty.
  static std::unique_ptr<UdpSocket> Open(const std::string& target, const std::string& bindAddress,
                                         std::string& error);
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Sends one datagram to the target; false on a send error (errorText() says which).
  bool send(const uint8_t* data, size_t size);
  std::string errorText() const;
  // The local port the socket sends from (0 before the first send when it was not bound).
  int localPort() const;

 private:
  UdpSocket() = default;

  int fd_ = -1;
  int lastError_ = 0;
  struct Address;
  std::unique_ptr<Address> target_;
};

// Splits "host:port" / "[host]:port" / "host"; false when the form is wrong.
bool SplitHostPort(const std::string& text, std::string& host, std::string& port);

}  // namespace kvdevice
