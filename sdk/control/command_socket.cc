// CommandSocket over the platform's sockets.
#include "sdk/control/command_socket.h"

namespace kv {

using platform::AddressFamily;
using platform::SocketType;

int CommandSocket::Create(int connectMs, int sendMs, int receiveMs, AddressFamily family) {
  std::lock_guard lock(m_openMutex);
  if (m_aborted) return 0;
  m_connectMs = connectMs;
  m_sendMs = sendMs;
  m_receiveMs = receiveMs;
  m_noDelay = 0;
  if (!m_socket.Open(family, SocketType::kTcp) ||
      !m_socket.SetSendTimeout(static_cast<uint32_t>(sendMs)) ||
      !m_socket.SetReceiveTimeout(static_cast<uint32_t>(receiveMs))) {
    m_socket.Close();
    return 0;
  }
  return 1;
}

int CommandSocket::Connect(const platform::SocketAddress& address) {
  return m_socket.Connect(address, static_cast<uint32_t>(m_connectMs)) == 0 ? 1 : 0;
}

void CommandSocket::Close() { m_socket.Close(); }

void CommandSocket::Abort() {
  std::lock_guard lock(m_openMutex);
  m_aborted = true;
  m_socket.Close();
}

int CommandSocket::SetNoDelay() {
  if (!m_socket.SetNoDelay(true)) return 0;
  m_noDelay = 1;
  return 1;
}

int CommandSocket::SetSendBuffer() {
  if (m_socket.IsOpen()) m_socket.SetSendBufferSize(kSendBufferBytes);
  return 1;
}

int CommandSocket::SetReceiveBuffer() {
  if (m_socket.IsOpen()) m_socket.SetReceiveBufferSize(kReceiveBufferBytes);
  return 1;
}

int CommandSocket::SetReceiveTimeout(int milliseconds) {
  if (!m_socket.SetReceiveTimeout(static_cast<uint32_t>(milliseconds))) return 0;
  m_receiveMs = milliseconds;
  return 1;
}

long CommandSocket::Send(const void* data, size_t length) { return m_socket.Send(data, length); }

long CommandSocket::Receive(void* buffer, size_t length) {
  return m_socket.Receive(buffer, length);
}

long CommandSocket::ReceiveAll(size_t n, void* buffer) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  size_t have = 0;
  while (have < n) {
    const long got = m_socket.Receive(bytes + have, n - have);
    if (got == 0) return 0;
    if (got < 0) return LastCallTimedOut() ? 0 : -1;
    have += static_cast<size_t>(got);
  }
  return static_cast<long>(n);
}

bool CommandSocket::LastCallTimedOut() const {
  return platform::Socket::IsTimeoutError(m_socket.LastError());
}

platform::SocketAddress ResolveDevice(const std::string& host, uint16_t port) {
  platform::ResolveResult resolved = platform::ResolveHost(host, port, SocketType::kTcp);
  if (resolved.error != 0 || resolved.addresses.empty()) return {};
  return resolved.addresses.front();
}

}  // namespace kv
