// BSD socket implementation of the sockets (their addresses are in socket_address.cc). A socket's
// descriptor lives in a Handle that counts the calls using it; Close shuts the descriptor down at
// once (waking those calls) and the last call to leave closes it, so its number cannot be reused
// under a running call.
#include "sdk/platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <system_error>
#include <utility>

#include "sdk/platform/socket_system.h"

namespace kv::platform {
namespace {

using socket_detail::fromDomain;
using socket_detail::storageOf;
using socket_detail::toDomain;

// poll() for one descriptor, resuming after signals with the time left.
int pollFor(int fd, short events, uint32_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const bool infinite = timeoutMs == kInfinite;
  const auto deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : timeoutMs);
  for (;;) {
    int waitMs = -1;
    if (!infinite) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      waitMs = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, waitMs);
    if (rc >= 0) return rc > 0 ? 1 : 0;
    if (errno != EINTR) return -1;
  }
}

timeval toTimeval(uint32_t milliseconds) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
  tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  return tv;
}

}  // namespace

// ---- Socket ----

struct Socket::Handle {
  int fd = -1;
  int users = 0;         // calls currently using fd
  bool closing = false;  // Close ran: the last user closes fd
};

struct Socket::Impl {
  mutable std::mutex mutex;  // guards handle and every Handle's fields
  std::shared_ptr<Handle> handle;
  AddressFamily family = AddressFamily::kUnspecified;
  SocketType type = SocketType::kTcp;
  std::atomic<int> lastError{0};

  // Takes the handle away and shuts its descriptor down; closes it when nobody uses it.
  void retireLocked() {
    if (!handle) return;
    std::shared_ptr<Handle> old = std::move(handle);
    old->closing = true;
    ::shutdown(old->fd, SHUT_RDWR);
    if (old->users == 0) {
      ::close(old->fd);
      old->fd = -1;
    }
  }
};

// One call's use of the descriptor: keeps it from being closed until the call is over.
class Socket::Use {
 public:
  explicit Use(const Socket& socket) : m_impl(socket.m_impl.get()) {
    if (m_impl == nullptr) return;
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (!m_impl->handle || m_impl->handle->closing) return;
    m_handle = m_impl->handle;
    ++m_handle->users;
    m_fd = m_handle->fd;
  }
  ~Use() {
    if (!m_handle) return;
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (--m_handle->users == 0 && m_handle->closing) {
      ::close(m_handle->fd);
      m_handle->fd = -1;
    }
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  bool ok() const { return m_fd >= 0; }
  int fd() const { return m_fd; }
  bool closing() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_handle->closing;
  }

 private:
  Impl* m_impl;
  std::shared_ptr<Handle> m_handle;
  int m_fd = -1;
};

Socket::Socket() : m_impl(std::make_unique<Impl>()) {}

Socket::Socket(int fd, AddressFamily family, SocketType type) : Socket() {
  m_impl->handle = std::make_shared<Handle>();
  m_impl->handle->fd = fd;
  m_impl->family = family;
  m_impl->type = type;
}

Socket::~Socket() { Close(); }

Socket::Socket(Socket&& other) noexcept : m_impl(std::move(other.m_impl)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    m_impl = std::move(other.m_impl);
  }
  return *this;
}

void Socket::setError(int error) const {
  if (m_impl) m_impl->lastError.store(error);
}

int Socket::LastError() const { return m_impl ? m_impl->lastError.load() : EBADF; }

bool Socket::IsTimeoutError(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT;
}

bool Socket::Open(AddressFamily family, SocketType type) {
  if (!m_impl) m_impl = std::make_unique<Impl>();
  const int domain = toDomain(family);
  if (domain == AF_UNSPEC) {
    setError(EAFNOSUPPORT);
    return false;
  }
  const int fd = type == SocketType::kTcp
                     ? ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)
                     : ::socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) {
    setError(errno);
    return false;
  }
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  m_impl->retireLocked();
  m_impl->handle = std::make_shared<Handle>();
  m_impl->handle->fd = fd;
  m_impl->family = family;
  m_impl->type = type;
  return true;
}

bool Socket::IsOpen() const {
  if (!m_impl) return false;
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->handle != nullptr;
}

AddressFamily Socket::Family() const {
  if (!m_impl) return AddressFamily::kUnspecified;
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->family;
}

SocketType Socket::Type() const {
  if (!m_impl) return SocketType::kTcp;
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->type;
}

void Socket::Shutdown() {
  if (!m_impl) return;
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  if (m_impl->handle && !m_impl->handle->closing) ::shutdown(m_impl->handle->fd, SHUT_RDWR);
}

void Socket::Close() {
  if (!m_impl) return;
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  m_impl->retireLocked();
}

bool Socket::Bind(const SocketAddress& address) {
  Use use(*this);
  if (!use.ok()) {
    setError(EBADF);
    return false;
  }
  if (!address.IsValid()) {
    setError(EINVAL);
    return false;
  }
  const sockaddr_storage ss = storageOf(address);
  if (::bind(use.fd(), reinterpret_cast<const sockaddr*>(&ss), address.Size()) != 0) {
    setError(errno);
    return false;
  }
  return true;
}

bool Socket::BindAny(uint16_t port) { return Bind(SocketAddress::Any(Family(), port)); }

bool Socket::Listen(int backlog) {
  Use use(*this);
  if (!use.ok()) {
    setError(EBADF);
    return false;
  }
  if (::listen(use.fd(), backlog) != 0) {
    setError(errno);
    return false;
  }
  return true;
}

Socket Socket::Accept(SocketAddress* peer) {
  Use use(*this);
  if (!use.ok()) {
    setError(EBADF);
    return Socket();
  }
  sockaddr_storage ss{};
  socklen_t length = sizeof(ss);
  int fd;
  do {
    length = sizeof(ss);
    fd = ::accept4(use.fd(), reinterpret_cast<sockaddr*>(&ss), &length, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    setError(errno);
    return Socket();
  }
  if (peer != nullptr) *peer = SocketAddress::FromRaw(&ss, length);
  return Socket(fd, fromDomain(ss.ss_family), SocketType::kTcp);
}

int Socket::Connect(const SocketAddress& address, uint32_t timeoutMs) {
  Use use(*this);
  if (!use.ok()) {
    setError(EBADF);
    return -1;
  }
  if (!address.IsValid()) {
    setError(EINVAL);
    return -1;
  }
  const int fd = use.fd();
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    setError(errno);
    return -1;
  }
  int error = 0;
  const sockaddr_storage ss = storageOf(address);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&ss), address.Size()) != 0) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) {
      const int ready = pollFor(fd, POLLOUT, timeoutMs);
      if (ready == 0) {
        error = ETIMEDOUT;
      } else if (ready < 0) {
        error = errno;
      } else {
        socklen_t length = sizeof(error);
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        if (error == 0 && use.closing()) error = ECONNABORTED;
      }
    }
  }
  ::fcntl(fd, F_SETFL, flags);
  if (error != 0) {
    setError(error);
    return -1;
  }
  return 0;
}

long Socket::Send(const void* data, size_t length) {
  Use use(*this);
  if (!use.ok()) {
    setError(EBADF);
    return -1;
  }
  ssize_t sent;
  do {
    sent = ::send(use.fd(), data, length, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) setError(errno);
  return static_cast<long>(sent);
}

long Socket::Receive(void* buffer, size_t length) {
  Use use(*this);
  if (!use.ok()) {
    setError(EBADF);
    return -1;
  }
  ssize_t got;
  do {
    got = ::recv(use.fd(), buffer, length, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) setError(errno);
  return static_cast<long>(got);
}

long Socket::SendTo(const void* data, size_t length, const SocketAddress& to) {
  Use use(*this);
  if (!use.ok()) {
    setError(EBADF);
    return -1;
  }
  if (!to.IsValid()) {
    setError(EINVAL);
    return -1;
  }
  const sockaddr_storage ss = storageOf(to);
  ssize_t sent;
  do {
    sent = ::sendto(use.fd(), data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&ss),
                    to.Size());
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) setError(errno);
  return static_cast<long>(sent);
}

long Socket::ReceiveFrom(void* buffer, size_t length, SocketAddress* from) {
  Use use(*this);
  if (!use.ok()) {
    setError(EBADF);
    return -1;
  }
  sockaddr_storage ss{};
  socklen_t addressLength;
  ssize_t got;
  do {
    addressLength = sizeof(ss);
    got = ::recvfrom(use.fd(), buffer, length, 0, reinterpret_cast<sockaddr*>(&ss), &addressLength);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    setError(errno);
  } else if (from != nullptr) {
    *from = SocketAddress::FromRaw(&ss, addressLength);
  }
  return static_cast<long>(got);
}

long Socket::SendAll(const void* data, size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  size_t done = 0;
  while (done < length) {
    const long sent = Send(bytes + done, length - done);
    if (sent <= 0) return -1;
    done += static_cast<size_t>(sent);
  }
  return static_cast<long>(length);
}

long Socket::ReceiveAll(void* buffer, size_t length) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < length) {
    const long got = Receive(bytes + done, length - done);
    if (got <= 0) return got;
    done += static_cast<size_t>(got);
  }
  return static_cast<long>(length);
}

int Socket::WaitReadable(uint32_t timeoutMs) {
  Use use(*this);
  if (!use.ok()) {
    setError(EBADF);
    return -1;
  }
  const int ready = pollFor(use.fd(), POLLIN, timeoutMs);
  if (ready < 0) setError(errno);
  if (ready > 0 && use.closing()) {
    setError(EBADF);
    return -1;
  }
  return ready;
}

int Socket::WaitWritable(uint32_t timeoutMs) {
  Use use(*this);
  if (!use.ok()) {
    setError(EBADF);
    return -1;
  }
  const int ready = pollFor(use.fd(), POLLOUT, timeoutMs);
  if (ready < 0) setError(errno);
  if (ready > 0 && use.closing()) {
    setError(EBADF);
    return -1;
  }
  return ready;
}

namespace {

template <typename T>
bool setOption(int fd, int level, int name, const T& value, int* error) {
  if (::setsockopt(fd, level, name, &value, sizeof(value)) == 0) return true;
  *error = errno;
  return false;
}

}  // namespace

bool Socket::SetReceiveTimeout(uint32_t milliseconds) {
  Use use(*this);
  int error = EBADF;
  if (use.ok() && setOption(use.fd(), SOL_SOCKET, SO_RCVTIMEO, toTimeval(milliseconds), &error)) {
    return true;
  }
  setError(error);
  return false;
}

bool Socket::SetSendTimeout(uint32_t milliseconds) {
  Use use(*this);
  int error = EBADF;
  if (use.ok() && setOption(use.fd(), SOL_SOCKET, SO_SNDTIMEO, toTimeval(milliseconds), &error)) {
    return true;
  }
  setError(error);
  return false;
}

bool Socket::SetReceiveBufferSize(int bytes) {
  Use use(*this);
  int error = EBADF;
  if (use.ok() && setOption(use.fd(), SOL_SOCKET, SO_RCVBUF, bytes, &error)) return true;
  setError(error);
  return false;
}

bool Socket::SetSendBufferSize(int bytes) {
  Use use(*this);
  int error = EBADF;
  if (use.ok() && setOption(use.fd(), SOL_SOCKET, SO_SNDBUF, bytes, &error)) return true;
  setError(error);
  return false;
}

bool Socket::SetReuseAddress(bool on) {
  Use use(*this);
  int error = EBADF;
  if (use.ok() && setOption(use.fd(), SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0, &error)) return true;
  setError(error);
  return false;
}

bool Socket::SetNoDelay(bool on) {
  Use use(*this);
  int error = EBADF;
  if (use.ok() && setOption(use.fd(), IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0, &error)) return true;
  setError(error);
  return false;
}

int Socket::ReceiveBufferSize() const {
  Use use(*this);
  int value = 0;
  socklen_t length = sizeof(value);
  if (!use.ok() || ::getsockopt(use.fd(), SOL_SOCKET, SO_RCVBUF, &value, &length) != 0) {
    setError(use.ok() ? errno : EBADF);
    return -1;
  }
  return value;
}

int Socket::SendBufferSize() const {
  Use use(*this);
  int value = 0;
  socklen_t length = sizeof(value);
  if (!use.ok() || ::getsockopt(use.fd(), SOL_SOCKET, SO_SNDBUF, &value, &length) != 0) {
    setError(use.ok() ? errno : EBADF);
    return -1;
  }
  return value;
}

bool Socket::SetNonBlocking(bool on) {
  Use use(*this);
  if (!use.ok()) {
    setError(EBADF);
    return false;
  }
  const int flags = ::fcntl(use.fd(), F_GETFL, 0);
  if (flags < 0 ||
      ::fcntl(use.fd(), F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) != 0) {
    setError(errno);
    return false;
  }
  return true;
}

SocketAddress Socket::LocalAddress() const {
  Use use(*this);
  sockaddr_storage ss{};
  socklen_t length = sizeof(ss);
  if (!use.ok() || ::getsockname(use.fd(), reinterpret_cast<sockaddr*>(&ss), &length) != 0) {
    setError(use.ok() ? errno : EBADF);
    return SocketAddress();
  }
  return SocketAddress::FromRaw(&ss, length);
}

SocketAddress Socket::PeerAddress() const {
  Use use(*this);
  sockaddr_storage ss{};
  socklen_t length = sizeof(ss);
  if (!use.ok() || ::getpeername(use.fd(), reinterpret_cast<sockaddr*>(&ss), &length) != 0) {
    setError(use.ok() ? errno : EBADF);
    return SocketAddress();
  }
  return SocketAddress::FromRaw(&ss, length);
}

}  // namespace kv::platform
