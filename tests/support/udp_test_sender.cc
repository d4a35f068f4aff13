// The test-side proprietary UDP sender.
#include "tests/support/udp_test_sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace kv::test {
namespace {

void Be32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v >> 24);
  b[at + 1] = uint8_t(v >> 16);
  b[at + 2] = uint8_t(v >> 8);
  b[at + 3] = uint8_t(v);
}

}  // namespace

UdpStreamBuilder::UdpStreamBuilder(StreamDescription description, uint32_t firstSequence)
    : description_(description), sequence_(firstSequence) {}

void UdpStreamBuilder::add(uint8_t kind, uint8_t type, uint8_t fragment, const uint8_t* payload,
                           size_t length) {
  std::vector<uint8_t> b(68 + length, 0);
  Be32(b, 4, description_.streamId);
  Be32(b, 12, sequence_++);
  b[16] = kind;
  b[17] = description_.videoCodec;
  b[18] = type;
  b[19] = fragment;
  b[21] = description_.deviceGeneration;
  b[22] = description_.audioCodec;
  Be32(b, 24, static_cast<uint32_t>(length));
  if (type == 7) {
    Be32(b, 28, description_.width);
    Be32(b, 32, description_.height);
    Be32(b, 36, description_.frameRate);
    Be32(b, 40, description_.bitRate);
  }
  std::copy(payload, payload + length, b.begin() + 68);
  datagrams_.push_back({std::move(b)});
}

void UdpStreamBuilder::AddVideoUnit(const std::vector<uint8_t>& unit, bool key) {
  const uint8_t type = key ? 7 : 1;
  const size_t max = description_.maxPayload;
  if (unit.size() <= max) {
    add(0, type, 0, unit.data(), unit.size());
    return;
  }
  for (size_t at = 0; at < unit.size(); at += max) {
    const size_t n = std::min(max, unit.size() - at);
    const uint8_t fragment = at == 0 ? 1 : (at + n == unit.size() ? 3 : 2);
    add(0, type, fragment, unit.data() + at, n);
  }
}

void UdpStreamBuilder::AddAudio(const std::vector<uint8_t>& payload) {
  add(1, description_.audioCodec, 0, payload.data(), payload.size());
}

void UdpStreamBuilder::AddH264Frames(const std::vector<std::vector<uint8_t>>& frames) {
  for (const auto& frame : frames) {
    if (frame.size() <= 4) continue;
    const std::vector<uint8_t> unit(frame.begin() + 4, frame.end());
    const int nal = unit[0] & 0x1F;
    AddVideoUnit(unit, nal == 5 || nal == 7 || nal == 8);
  }
}

void Shuffle(std::vector<SenderDatagram>& datagrams, double reorderShare, double duplicateShare,
             uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> dice(0.0, 1.0);
  for (size_t i = 1; i + 1 < datagrams.size(); ++i) {
    if (dice(rng) < reorderShare) std::swap(datagrams[i], datagrams[i + 1]);
  }
  std::vector<SenderDatagram> out;
  for (auto& d : datagrams) {
    out.push_back(d);
    if (dice(rng) < duplicateShare) out.push_back(d);
  }
  datagrams.swap(out);
}

size_t HoldBack(std::vector<SenderDatagram>& datagrams, size_t window, double share,
                uint32_t seed) {
  if (window < 2) return 0;
  std::mt19937 rng(seed);
  struct Held {
    SenderDatagram d;
    size_t remaining;
  };
  std::vector<Held> held;
  std::vector<SenderDatagram> out;
  size_t count = 0;
  for (auto& d : datagrams) {
    if (static_cast<double>(rng()) / 4294967296.0 < share) {
      held.push_back({std::move(d), 1 + rng() % (window - 1)});
      ++count;
      continue;
    }
    out.push_back(std::move(d));
    for (auto it = held.begin(); it != held.end();) {
      if (--it->remaining == 0) {
        out.push_back(std::move(it->d));
        it = held.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& h : held) out.push_back(std::move(h.d));
  datagrams.swap(out);
  return count;
}

size_t Lose(std::vector<SenderDatagram>& datagrams, double share, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<SenderDatagram> out;
  for (auto& d : datagrams) {
    if (static_cast<double>(rng()) / 4294967296.0 >= share) out.push_back(std::move(d));
  }
  const size_t lost = datagrams.size() - out.size();
  datagrams.swap(out);
  return lost;
}

uint32_t SequenceOf(const SenderDatagram& d) {
  const auto& b = d.bytes;
  return b.size() < 16
             ? 0
             : uint32_t{b[12]} << 24 | uint32_t{b[13]} << 16 | uint32_t{b[14]} << 8 | b[15];
}

UdpTestSocket::UdpTestSocket(const std::string& fromAddress, uint16_t port) : port_(port) {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd_ < 0) return;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, fromAddress.c_str(), &local.sin_addr);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

UdpTestSocket::~UdpTestSocket() {
  if (fd_ >= 0) close(fd_);
}

bool UdpTestSocket::Send(const std::vector<uint8_t>& bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port_);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(bytes.size());
}

uint16_t FreeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

}  // namespace kv::test
