// The simulated camera's TCP sockets.
#include "tools/kvdevice/tcp_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "tools/kvdevice/udp_socket.h"

namespace kvdevice {
namespace {

std::string NumericHost(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
  } else {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
  }
  return text;
}

int PortOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

}  // namespace

std::unique_ptr<TcpListener> TcpListener::Open(const std::string& address, std::string& error) {
  std::string host, port;
  if (!SplitHostPort(address, host, port) || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
    error = "bad listening address: " + address;
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (int r = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); r != 0) {
    error = "cannot resolve " + address + ": " + gai_strerror(r);
    return nullptr;
  }
  std::unique_ptr<TcpListener> l(new TcpListener());
  l->fd_ = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  int r = l->fd_ < 0 ? -1 : setsockopt(l->fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (r == 0) r = bind(l->fd_, found->ai_addr, found->ai_addrlen);
  if (r == 0) r = listen(l->fd_, 64);
  const int failure = errno;
  freeaddrinfo(found);
  if (r != 0) {
    error = "cannot listen on " + address + ": " + std::strerror(failure);
    return nullptr;
  }
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  getsockname(l->fd_, reinterpret_cast<sockaddr*>(&local), &length);
  l->port_ = PortOf(local);
  l->host_ = NumericHost(local);
  l->ipv6_ = local.ss_family == AF_INET6;
  return l;
}

TcpListener::~TcpListener() {
  if (fd_ >= 0) close(fd_);
}

std::unique_ptr<TcpConnection> TcpListener::accept(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return nullptr;
  int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<TcpConnection>(fd);
}

TcpConnection::TcpConnection(int fd) : fd_(fd) {
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    peerHost_ = NumericHost(address);
    ipv6_ = address.ss_family == AF_INET6;
  }
  length = sizeof address;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    localHost_ = NumericHost(address);
  }
}

TcpConnection::~TcpConnection() { close(fd_); }

ReadResult TcpConnection::read(int timeoutMs, size_t maxBuffered) {
  if (buffer_.size() >= maxBuffered) return ReadResult::kTooLong;
  pollfd p{fd_, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) return ReadResult::kTimeout;
  if (ready < 0) return ReadResult::kClosed;
  char chunk[4096];
  const size_t room = std::min(sizeof chunk, maxBuffered - buffer_.size());
  ssize_t n;
  do {
    n = recv(fd_, chunk, room, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return ReadResult::kClosed;
  buffer_.append(chunk, static_cast<size_t>(n));
  return ReadResult::kOk;
}

bool TcpConnection::writeLocked(const uint8_t* data, size_t size, const std::atomic<bool>* cancel) {
  while (size > 0) {
    ssize_t n = send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The peer is not reading: wait for room, looking at the cancel flag now and then.
      if (cancel != nullptr && *cancel) return false;
      pollfd p{fd_, POLLOUT, 0};
      poll(&p, 1, 100);
      continue;
    }
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool TcpConnection::write(const void* data, size_t size, const std::atomic<bool>* cancel) {
  std::lock_guard<std::mutex> lock(writeLock_);
  return writeLocked(static_cast<const uint8_t*>(data), size, cancel);
}

bool TcpConnection::writeInPieces(const std::string& text, int pieces, int gapMs) {
  std::lock_guard<std::mutex> lock(writeLock_);
  const auto* data = reinterpret_cast<const uint8_t*>(text.data());
  const size_t count = static_cast<size_t>(std::max(1, pieces));
  size_t done = 0;
  for (size_t i = 1; i <= count; ++i) {
    const size_t end = text.size() * i / count;
    if (end > done && !writeLocked(data + done, end - done, nullptr)) return false;
    done = end;
    // No-delay is on, so each part leaves as its own segment; the pause keeps them apart.
    if (i < count) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
  }
  return true;
}

void TcpConnection::shutdown() { ::shutdown(fd_, SHUT_RDWR); }

}  // namespace kvdevice
