// BSD socket implementation of the socket helpers. A socket's descriptor lives in a Handle
// that counts the calls using it; Close shuts the descriptor down at once (waking those calls)
// and the last call to leave closes it, so its number cannot be reused under a running call.
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

namespace kv::platform {
namespace {

static_assert(sizeof(sockaddr_storage) <= 128, "address storage too small");

int toDomain(AddressFamily family) {
  switch (family) {
    case AddressFamily::kIPv4:
      return AF_INET;
    case AddressFamily::kIPv6:
      return AF_INET6;
    default:
      return AF_UNSPEC;
  }
}

AddressFamily fromDomain(int domain) {
  switch (domain) {
    case AF_INET:
      return AddressFamily::kIPv4;
    case AF_INET6:
      return AddressFamily::kIPv6;
    default:
      return AddressFamily::kUnspecified;
  }
}

// Copies the raw record out so it can be read with the right type and alignment.
sockaddr_storage storageOf(const SocketAddress& address) {
  sockaddr_storage ss{};
  std::memcpy(&ss, address.Data(), address.Size());
  return ss;
}

// The 16 address bytes in IPv6 form (IPv4 as an IPv4-mapped address); false when invalid.
bool canonicalBytes(const SocketAddress& address, unsigned char out[16]) {
  const sockaddr_storage ss = storageOf(address);
  if (ss.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&ss);
    std::memset(out, 0, 10);
    out[10] = 0xFF;
    out[11] = 0xFF;
    std::memcpy(out + 12, &v4->sin_addr, 4);
    return true;
  }
  if (ss.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&ss);
    std::memcpy(out, &v6->sin6_addr, 16);
    return true;
  }
  return false;
}

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

// ---- SocketAddress ----

SocketAddress SocketAddress::FromRaw(const void* data, uint32_t size) {
  SocketAddress address;
  if (data == nullptr || size == 0 || size > address.storage_.size()) return address;
  std::memcpy(address.storage_.data(), data, size);
  address.size_ = size;
  return address;
}

SocketAddress SocketAddress::Parse(const std::string& literal, uint16_t port) {
  std::string text = literal;
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  if (text.empty() || ::getaddrinfo(text.c_str(), nullptr, &hints, &list) != 0 || !list) {
    return SocketAddress();
  }
  SocketAddress address = FromRaw(list->ai_addr, static_cast<uint32_t>(list->ai_addrlen));
  ::freeaddrinfo(list);
  address.SetPort(port);
  return address;
}

SocketAddress SocketAddress::Any(AddressFamily family, uint16_t port) {
  if (family == AddressFamily::kIPv6) {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_any;
    v6.sin6_port = htons(port);
    return FromRaw(&v6, sizeof(v6));
  }
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = htonl(INADDR_ANY);
  v4.sin_port = htons(port);
  return FromRaw(&v4, sizeof(v4));
}

SocketAddress SocketAddress::Loopback(AddressFamily family, uint16_t port) {
  if (family == AddressFamily::kIPv6) {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = htons(port);
    return FromRaw(&v6, sizeof(v6));
  }
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  v4.sin_port = htons(port);
  return FromRaw(&v4, sizeof(v4));
}

AddressFamily SocketAddress::Family() const {
  if (!IsValid()) return AddressFamily::kUnspecified;
  return fromDomain(storageOf(*this).ss_family);
}

uint16_t SocketAddress::Port() const {
  const sockaddr_storage ss = storageOf(*this);
  if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
  if (ss.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port);
  }
  return 0;
}

void SocketAddress::SetPort(uint16_t port) {
  sockaddr_storage ss = storageOf(*this);
  if (ss.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&ss)->sin_port = htons(port);
  } else if (ss.ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port = htons(port);
  } else {
    return;
  }
  std::memcpy(storage_.data(), &ss, size_);
}

std::string SocketAddress::IpString() const {
  const sockaddr_storage ss = storageOf(*this);
  char text[INET6_ADDRSTRLEN] = {};
  if (ss.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr, text, sizeof(text));
  } else if (ss.ss_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr, text,
                sizeof(text));
  }
  return text;
}

std::string SocketAddress::ToString() const {
  if (!IsValid()) return std::string();
  const std::string ip = IpString();
  const std::string port = std::to_string(Port());
  return Family() == AddressFamily::kIPv6 ? "[" + ip + "]:" + port : ip + ":" + port;
}

bool SocketAddress::SameHost(const SocketAddress& other) const {
  unsigned char a[16], b[16];
  return canonicalBytes(*this, a) && canonicalBytes(other, b) && std::memcmp(a, b, 16) == 0;
}

bool SocketAddress::operator==(const SocketAddress& other) const {
  if (!IsValid() || !other.IsValid()) return IsValid() == other.IsValid();
  return Family() == other.Family() && Port() == other.Port() && SameHost(other);
}

// ---- Resolution ----

ResolveResult ResolveHost(const std::string& host, uint16_t port, SocketType type,
                          AddressFamily family) {
  ResolveResult result;
  if (host.empty()) {
    result.error = EAI_NONAME;
    return result;
  }
  addrinfo hints{};
  hints.ai_family = toDomain(family);
  hints.ai_socktype = type == SocketType::kTcp ? SOCK_STREAM : SOCK_DGRAM;
  hints.ai_protocol = type == SocketType::kTcp ? IPPROTO_TCP : IPPROTO_UDP;
  addrinfo* list = nullptr;
  const std::string portText = std::to_string(port);
  result.error = ::getaddrinfo(host.c_str(), portText.c_str(), &hints, &list);
  if (result.error != 0) return result;
  for (const addrinfo* it = list; it != nullptr; it = it->ai_next) {
    if (it->ai_family != AF_INET && it->ai_family != AF_INET6) continue;
    result.addresses.push_back(
        SocketAddress::FromRaw(it->ai_addr, static_cast<uint32_t>(it->ai_addrlen)));
  }
  ::freeaddrinfo(list);
  if (result.addresses.empty()) result.error = EAI_NONAME;
  return result;
}

std::string ResolveErrorText(int error) {
  if (error == 0) return "no error";
  if (error == EAI_SYSTEM) return "resolver system error";
  return ::gai_strerror(error);
}

std::string SocketErrorText(int error) { return std::generic_category().message(error); }

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
  explicit Use(const Socket& socket) : impl_(socket.impl_.get()) {
    if (impl_ == nullptr) return;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->handle || impl_->handle->closing) return;
    handle_ = impl_->handle;
    ++handle_->users;
    fd_ = handle_->fd;
  }
  ~Use() {
    if (!handle_) return;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (--handle_->users == 0 && handle_->closing) {
      ::close(handle_->fd);
      handle_->fd = -1;
    }
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool closing() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return handle_->closing;
  }

 private:
  Impl* impl_;
  std::shared_ptr<Handle> handle_;
  int fd_ = -1;
};

Socket::Socket() : impl_(std::make_unique<Impl>()) {}

Socket::Socket(int fd, AddressFamily family, SocketType type) : Socket() {
  impl_->handle = std::make_shared<Handle>();
  impl_->handle->fd = fd;
  impl_->family = family;
  impl_->type = type;
}

Socket::~Socket() { Close(); }

Socket::Socket(Socket&& other) noexcept : impl_(std::move(other.impl_)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    impl_ = std::move(other.impl_);
  }
  return *this;
}

void Socket::setError(int error) const {
  if (impl_) impl_->lastError.store(error);
}

int Socket::LastError() const { return impl_ ? impl_->lastError.load() : EBADF; }

bool Socket::IsTimeoutError(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT;
}

bool Socket::Open(AddressFamily family, SocketType type) {
  if (!impl_) impl_ = std::make_unique<Impl>();
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
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->retireLocked();
  impl_->handle = std::make_shared<Handle>();
  impl_->handle->fd = fd;
  impl_->family = family;
  impl_->type = type;
  return true;
}

bool Socket::IsOpen() const {
  if (!impl_) return false;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->handle != nullptr;
}

AddressFamily Socket::Family() const {
  if (!impl_) return AddressFamily::kUnspecified;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->family;
}

SocketType Socket::Type() const {
  if (!impl_) return SocketType::kTcp;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->type;
}

void Socket::Shutdown() {
  if (!impl_) return;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->handle && !impl_->handle->closing) ::shutdown(impl_->handle->fd, SHUT_RDWR);
}

void Socket::Close() {
  if (!impl_) return;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->retireLocked();
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
