// Socket addresses (IPv4 and IPv6, parsed, compared and printed), host resolution and the
// texts of socket and resolution errors.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <system_error>

#include "sdk/platform/socket.h"
#include "sdk/platform/socket_system.h"

namespace kv::platform {
namespace {

using socket_detail::fromDomain;
using socket_detail::storageOf;
using socket_detail::toDomain;

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

}  // namespace

// ---- SocketAddress ----

SocketAddress SocketAddress::FromRaw(const void* data, uint32_t size) {
  SocketAddress address;
  if (data == nullptr || size == 0 || size > address.m_storage.size()) return address;
  std::memcpy(address.m_storage.data(), data, size);
  address.m_size = size;
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

// The wildcard or loopback address of a family with a port.
SocketAddress SocketAddress::Fixed(AddressFamily family, uint16_t port, bool loopback) {
  if (family == AddressFamily::kIPv6) {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = loopback ? in6addr_loopback : in6addr_any;
    v6.sin6_port = htons(port);
    return FromRaw(&v6, sizeof(v6));
  }
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY);
  v4.sin_port = htons(port);
  return FromRaw(&v4, sizeof(v4));
}

SocketAddress SocketAddress::Any(AddressFamily family, uint16_t port) {
  return Fixed(family, port, false);
}

SocketAddress SocketAddress::Loopback(AddressFamily family, uint16_t port) {
  return Fixed(family, port, true);
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
  std::memcpy(m_storage.data(), &ss, m_size);
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

}  // namespace kv::platform
