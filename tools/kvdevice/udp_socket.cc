// The simulated camera's sending UDP socket.
#include "tools/kvdevice/udp_socket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace kvdevice {

struct UdpSocket::Address {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

bool SplitHostPort(const std::string& text, std::string& host, std::string& port) {
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 == text.size()) {
      port = "554";
    } else if (text[close + 1] == ':' && close + 2 < text.size()) {
      port = text.substr(close + 2);
    } else {
      return false;
    }
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
      host = text;
      port = "554";
    } else if (text.find(':') != colon) {
      host = text;  // a bare IPv6 address
      port = "554";
    } else {
      host = text.substr(0, colon);
      port = text.substr(colon + 1);
    }
  }
  return !host.empty() && !port.empty();
}

std::unique_ptr<UdpSocket> UdpSocket::Open(const std::string& target,
                                           const std::string& bindAddress, std::string& error) {
  std::string host, port;
  if (!SplitHostPort(target, host, port)) {
    error = "bad target address: " + target;
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* found = nullptr;
  if (int r = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); r != 0) {
    error = "cannot resolve " + target + ": " + gai_strerror(r);
    return nullptr;
  }
  std::unique_ptr<UdpSocket> s(new UdpSocket());
  s->target_ = std::make_unique<Address>();
  std::memcpy(&s->target_->storage, found->ai_addr, found->ai_addrlen);
  s->target_->length = found->ai_addrlen;
  int family = found->ai_family;
  freeaddrinfo(found);

  s->fd_ = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (s->fd_ < 0) {
    error = std::string("cannot create a UDP socket: ") + std::strerror(errno);
    return nullptr;
  }
  int sendBuffer = 1 << 20;
  setsockopt(s->fd_, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  if (!bindAddress.empty()) {
    hints.ai_family = family;
    hints.ai_flags = AI_NUMERICHOST;
    if (getaddrinfo(bindAddress.c_str(), "0", &hints, &found) != 0) {
      error = "bad sending address for this target: " + bindAddress;
      return nullptr;
    }
    int r = bind(s->fd_, found->ai_addr, found->ai_addrlen);
    int bindError = errno;
    freeaddrinfo(found);
    if (r != 0) {
      error = "cannot bind to " + bindAddress + ": " + std::strerror(bindError);
      return nullptr;
    }
  }
  return s;
}

UdpSocket::~UdpSocket() {
  if (fd_ >= 0) close(fd_);
}

bool UdpSocket::send(const uint8_t* data, size_t size) {
  int busyRetries = 0;
  for (;;) {
    ssize_t sent = sendto(fd_, data, size, 0, reinterpret_cast<const sockaddr*>(&target_->storage),
                          target_->length);
    if (sent >= 0) return true;
    if (errno == EINTR) continue;
    // A full queue on the way out: wait for it to drain rather than lose the datagram.
    if ((errno == ENOBUFS || errno == EAGAIN) && ++busyRetries < 1000) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      continue;
    }
    // Nobody listening yet (ICMP port unreachable) is not a reason to stop a camera.
    if (errno == ECONNREFUSED) return true;
    lastError_ = errno;
    return false;
  }
}

std::string UdpSocket::errorText() const { return std::strerror(lastError_); }

int UdpSocket::localPort() const {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}

}  // namespace kvdevice
