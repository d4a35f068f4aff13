// What the socket and the address code share: the conversions between our address family
// and the system's, and the system record of an address. Only the socket files include it.
#pragma once

#include <sys/socket.h>

#include <cstring>

#include "sdk/platform/socket.h"

namespace kv::platform::socket_detail {

static_assert(sizeof(sockaddr_storage) <= 128, "address storage too small");

inline int toDomain(AddressFamily family) {
  switch (family) {
    case AddressFamily::kIPv4:
      return AF_INET;
    case AddressFamily::kIPv6:
      return AF_INET6;
    default:
      return AF_UNSPEC;
  }
}

inline AddressFamily fromDomain(int domain) {
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
inline sockaddr_storage storageOf(const SocketAddress& address) {
  sockaddr_storage ss{};
  std::memcpy(&ss, address.Data(), address.Size());
  return ss;
}

}  // namespace kv::platform::socket_detail
