// CommandSocket over the platform's sockets.
#include "sdk/control/command_socket.h"

namespace kv {

using platform::AddressFamily;
using platform::SocketType;

int CommandSocket::Create(int connectMs, int sendMs, int receiveMs, AddressFamily family) {
  std::lock_guard lock(openMutex_);
  if (aborted_) return 0;
  connectMs_ = connectMs;
  sendMs_ = sendMs;
  receiveMs_ = receiveMs;
  noDelay_ = 0;
  if (!socket_.Open(family, SocketType::kTcp) ||
      !socket_.SetSendTimeout(static_cast<uint32_t>(sendMs)) ||
      !socket_.SetReceiveTimeout(static_cast<uint32_t>(receiveMs))) {
    socket_.Close();
    return 0;
  }
  return 1;
}

int CommandSocket::Connect(const platform::SocketAddress& address) {
  return socket_.Connect(address, static_cast<uint32_t>(connectMs_)) == 0 ? 1 : 0;
}

void CommandSocket::Close() { socket_.Close(); }

void CommandSocket::Abort() {
  std::lock_guard lock(openMutex_);
  aborted_ = true;
  socket_.Close();
}

int CommandSocket::SetNoDelay() {
  if (!socket_.SetNoDelay(true)) return 0;
  noDelay_ = 1;
  return 1;
}

int CommandSocket::SetSendBuffer() {
  if (socket_.IsOpen()) socket_.SetSendBufferSize(kSendBufferBytes);
  return 1;
}

int CommandSocket::SetReceiveBuffer() {
  if (socket_.IsOpen()) socket_.SetReceiveBufferSize(kReceiveBufferBytes);
  return 1;
}

int CommandSocket::SetReceiveTimeout(int milliseconds) {
  if (!socket_.SetReceiveTimeout(static_cast<uint32_t>(milliseconds))) return 0;
  receiveMs_ = milliseconds;
  return 1;
}

long CommandSocket::Send(const void* data, size_t length) { return socket_.Send(data, length); }

long CommandSocket::Receive(void* buffer, size_t length) { return socket_.Receive(buffer, length); }

long CommandSocket::ReceiveAll(size_t n, void* buffer) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  size_t have = 0;
  while (have < n) {
    const long got = socket_.Receive(bytes + have, n - have);
    if (got == 0) return 0;
    if (got < 0) return LastCallTimedOut() ? 0 : -1;
    have += static_cast<size_t>(got);
  }
  return static_cast<long>(n);
}

bool CommandSocket::LastCallTimedOut() const {
  return platform::Socket::IsTimeoutError(socket_.LastError());
}

platform::SocketAddress ResolveDevice(const std::string& host, uint16_t port) {
  platform::ResolveResult resolved = platform::ResolveHost(host, port, SocketType::kTcp);
  if (resolved.error != 0 || resolved.addresses.empty()) return {};
  return resolved.addresses.front();
}

}  // namespace kv
