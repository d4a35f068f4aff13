// Socket helpers on loopback: addresses, resolution, UDP and TCP over IPv4 and IPv6,
// time-outs, refused connects, and Close from another thread waking a blocked call.
#include "sdk/platform/socket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "sdk/platform/event.h"

namespace kv::platform {
namespace {

using Clock = std::chrono::steady_clock;

long elapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

constexpr int err(std::errc e) { return static_cast<int>(e); }

TEST(SocketAddressTest, ParsesPrintsAndCompares) {
  const SocketAddress v4 = SocketAddress::Parse("192.0.2.7", 554);
  ASSERT_TRUE(v4.IsValid());
  EXPECT_EQ(v4.Family(), AddressFamily::kIPv4);
  EXPECT_EQ(v4.Port(), 554);
  EXPECT_EQ(v4.IpString(), "192.0.2.7");
  EXPECT_EQ(v4.ToString(), "192.0.2.7:554");

  SocketAddress v6 = SocketAddress::Parse("[2001:db8::5]", 80);
  ASSERT_TRUE(v6.IsValid());
  EXPECT_EQ(v6.Family(), AddressFamily::kIPv6);
  EXPECT_EQ(v6.ToString(), "[2001:db8::5]:80");
  v6.SetPort(8080);
  EXPECT_EQ(v6.Port(), 8080);

  EXPECT_FALSE(SocketAddress::Parse("", 1).IsValid());
  EXPECT_FALSE(SocketAddress::Parse("not an address", 1).IsValid());
  EXPECT_FALSE(SocketAddress::Parse("256.1.1.1", 1).IsValid());
  EXPECT_FALSE(SocketAddress().IsValid());
  EXPECT_EQ(SocketAddress().ToString(), "");
  EXPECT_EQ(SocketAddress().Port(), 0);

  EXPECT_TRUE(v4.SameHost(SocketAddress::Parse("192.0.2.7", 1)));
  EXPECT_TRUE(v4.SameHost(SocketAddress::Parse("::ffff:192.0.2.7", 1)));  // mapped form
  EXPECT_FALSE(v4.SameHost(SocketAddress::Parse("192.0.2.8", 554)));
  EXPECT_FALSE(v4.SameHost(SocketAddress()));
  EXPECT_TRUE(v4 == SocketAddress::Parse("192.0.2.7", 554));
  EXPECT_FALSE(v4 == SocketAddress::Parse("192.0.2.7", 555));
  EXPECT_EQ(SocketAddress::Any(AddressFamily::kIPv4, 9).ToString(), "0.0.0.0:9");
  EXPECT_EQ(SocketAddress::Any(AddressFamily::kIPv6, 9).ToString(), "[::]:9");
  EXPECT_EQ(SocketAddress::Loopback(AddressFamily::kIPv6, 9).ToString(), "[::1]:9");
}

TEST(ResolveHostTest, ResolvesLiteralsAndLocalhostAndRejectsBadInput) {
  ResolveResult r = ResolveHost("127.0.0.1", 554, SocketType::kTcp);
  ASSERT_EQ(r.error, 0) << ResolveErrorText(r.error);
  ASSERT_FALSE(r.addresses.empty());
  EXPECT_EQ(r.addresses[0].ToString(), "127.0.0.1:554");

  r = ResolveHost("::1", 1600, SocketType::kUdp);
  ASSERT_EQ(r.error, 0) << ResolveErrorText(r.error);
  EXPECT_EQ(r.addresses[0].ToString(), "[::1]:1600");

  r = ResolveHost("localhost", 80, SocketType::kTcp, AddressFamily::kIPv4);
  ASSERT_EQ(r.error, 0) << ResolveErrorText(r.error);
  EXPECT_TRUE(r.addresses[0].SameHost(SocketAddress::Loopback(AddressFamily::kIPv4, 0)));
  EXPECT_EQ(r.addresses[0].Port(), 80);

  r = ResolveHost("", 80, SocketType::kTcp);
  EXPECT_NE(r.error, 0);
  EXPECT_TRUE(r.addresses.empty());
  EXPECT_FALSE(ResolveErrorText(r.error).empty());
  r = ResolveHost("127.0.0.1", 80, SocketType::kTcp, AddressFamily::kIPv6);  // wrong family
  EXPECT_NE(r.error, 0);
  EXPECT_TRUE(r.addresses.empty());
}

// Loopback tests run over IPv4 and IPv6 (skipped when the machine has no ::1).
class LoopbackTest : public ::testing::TestWithParam<AddressFamily> {
 protected:
  void SetUp() override {
    Socket probe;
    if (!probe.Open(GetParam(), SocketType::kUdp) || !probe.Bind(loopback(0))) {
      GTEST_SKIP() << "no loopback for this family";
    }
  }
  SocketAddress loopback(uint16_t port) const { return SocketAddress::Loopback(GetParam(), port); }

  // A UDP socket bound to an ephemeral loopback port.
  Socket boundUdp() {
    Socket s;
    EXPECT_TRUE(s.Open(GetParam(), SocketType::kUdp));
    EXPECT_TRUE(s.Bind(loopback(0))) << SocketErrorText(s.LastError());
    return s;
  }
  // A TCP listener on an ephemeral loopback port.
  Socket listener(int backlog = 4) {
    Socket s;
    EXPECT_TRUE(s.Open(GetParam(), SocketType::kTcp));
    EXPECT_TRUE(s.SetReuseAddress(true));
    EXPECT_TRUE(s.Bind(loopback(0))) << SocketErrorText(s.LastError());
    EXPECT_TRUE(s.Listen(backlog));
    return s;
  }
};

TEST_P(LoopbackTest, UdpDatagramsCarryTheirSender) {
  Socket receiver = boundUdp();
  Socket sender = boundUdp();
  const SocketAddress to = receiver.LocalAddress();
  ASSERT_TRUE(to.IsValid());
  ASSERT_NE(to.Port(), 0);
  const char payload[] = "datagram one";
  ASSERT_EQ(sender.SendTo(payload, sizeof(payload), to), static_cast<long>(sizeof(payload)));
  ASSERT_TRUE(receiver.SetReceiveTimeout(3000));
  ASSERT_EQ(receiver.WaitReadable(3000), 1);
  char buffer[64] = {};
  SocketAddress from;
  ASSERT_EQ(receiver.ReceiveFrom(buffer, sizeof(buffer), &from),
            static_cast<long>(sizeof(payload)));
  EXPECT_STREQ(buffer, payload);
  EXPECT_EQ(from, sender.LocalAddress());
  EXPECT_TRUE(from.SameHost(loopback(0)));

  // A datagram larger than the buffer is cut to the buffer, as with the kernel.
  const std::string big(1000, 'b');
  ASSERT_EQ(sender.SendTo(big.data(), big.size(), to), 1000);
  EXPECT_EQ(receiver.ReceiveFrom(buffer, 10, nullptr), 10);
}

TEST_P(LoopbackTest, TcpConnectionTransfersBytesBothWays) {
  Socket server = listener();
  const SocketAddress serverAddress = server.LocalAddress();
  Socket client;
  ASSERT_TRUE(client.Open(GetParam(), SocketType::kTcp));
  ASSERT_EQ(client.Connect(serverAddress, 3000), 0) << SocketErrorText(client.LastError());
  ASSERT_EQ(server.WaitReadable(3000), 1);
  SocketAddress peer;
  Socket accepted = server.Accept(&peer);
  ASSERT_TRUE(accepted.IsOpen()) << SocketErrorText(server.LastError());
  EXPECT_EQ(peer, client.LocalAddress());
  EXPECT_EQ(client.PeerAddress(), serverAddress);

  const std::string request = "DESCRIBE rtsp://x RTSP/1.0\r\n\r\n";
  ASSERT_EQ(client.SendAll(request.data(), request.size()), static_cast<long>(request.size()));
  std::string got(request.size(), '\0');
  ASSERT_TRUE(accepted.SetReceiveTimeout(3000));
  ASSERT_EQ(accepted.ReceiveAll(got.data(), got.size()), static_cast<long>(got.size()));
  EXPECT_EQ(got, request);

  ASSERT_EQ(accepted.Send("ok", 2), 2);
  char reply[8] = {};
  ASSERT_TRUE(client.SetReceiveTimeout(3000));
  ASSERT_EQ(client.ReceiveAll(reply, 2), 2);
  EXPECT_STREQ(reply, "ok");

  // The peer's close is an orderly end: 0, and ReceiveAll reports it the same way.
  accepted.Close();
  EXPECT_EQ(client.Receive(reply, sizeof(reply)), 0);
  EXPECT_EQ(client.ReceiveAll(reply, 2), 0);
  // Writing to the closed peer soon fails (the reset arrives), without raising SIGPIPE.
  long sent = 0;
  for (int i = 0; i < 200 && sent >= 0; ++i) {
    sent = client.Send("x", 1);
    if (sent >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(sent, -1);
}

TEST_P(LoopbackTest, ReceiveTimesOut) {
  Socket s = boundUdp();
  ASSERT_TRUE(s.SetReceiveTimeout(100));
  char buffer[16];
  const auto start = Clock::now();
  EXPECT_EQ(s.Receive(buffer, sizeof(buffer)), -1);
  EXPECT_TRUE(Socket::IsTimeoutError(s.LastError())) << SocketErrorText(s.LastError());
  // The kernel counts the time-out in timer ticks and the first tick is already under way, so
  // it may end up to a tick early (10 ms at 100 Hz); 20 ms of slack allows for that and for
  // rounding, while a time-out taken in the wrong unit would still show.
  EXPECT_GE(elapsedMs(start), 80);
  EXPECT_EQ(s.WaitReadable(20), 0);
  EXPECT_EQ(s.WaitWritable(1000), 1);
}

TEST_P(LoopbackTest, ConnectToAClosedPortIsRefused) {
  // A bound socket that does not listen holds the port, so nothing else can answer on it.
  Socket holder;
  ASSERT_TRUE(holder.Open(GetParam(), SocketType::kTcp));
  ASSERT_TRUE(holder.Bind(loopback(0)));
  Socket client;
  ASSERT_TRUE(client.Open(GetParam(), SocketType::kTcp));
  EXPECT_EQ(client.Connect(holder.LocalAddress(), 3000), -1);
  EXPECT_EQ(client.LastError(), err(std::errc::connection_refused));
}

TEST_P(LoopbackTest, ConnectTimesOutWhenNobodyAnswers) {
  // A listener whose accept queue is full drops further connection requests.
  Socket server = listener(0);
  std::vector<Socket> fillers;
  int result = 0;
  for (int i = 0; i < 4 && result == 0; ++i) {
    Socket client;
    ASSERT_TRUE(client.Open(GetParam(), SocketType::kTcp));
    const auto start = Clock::now();
    result = client.Connect(server.LocalAddress(), 200);
    if (result != 0) {
      EXPECT_EQ(client.LastError(), err(std::errc::timed_out));
      EXPECT_GE(elapsedMs(start), 150);
    }
    fillers.push_back(std::move(client));
  }
  EXPECT_EQ(result, -1) << "the accept queue never filled";
}

TEST_P(LoopbackTest, CloseFromAnotherThreadWakesABlockedUdpReceive) {
  Socket s = boundUdp();
  ASSERT_TRUE(s.SetReceiveTimeout(10000));  // guard only: the close must end the wait first
  Event returned(true, false);
  long result = 1;
  std::thread reader([&] {
    char buffer[64];
    result = s.Receive(buffer, sizeof(buffer));
    returned.Set();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  s.Close();
  EXPECT_EQ(returned.Wait(5000), kWaitObject0);
  reader.join();
  EXPECT_LE(result, 0);
  EXPECT_FALSE(s.IsOpen());
  char buffer[4];
  EXPECT_EQ(s.Receive(buffer, sizeof(buffer)), -1);
  EXPECT_EQ(s.LastError(), EBADF);
}

TEST_P(LoopbackTest, CloseFromAnotherThreadWakesTcpReceiveAcceptAndWait) {
  Socket server = listener();
  Socket client;
  ASSERT_TRUE(client.Open(GetParam(), SocketType::kTcp));
  ASSERT_EQ(client.Connect(server.LocalAddress(), 3000), 0);
  Socket accepted = server.Accept();
  ASSERT_TRUE(accepted.IsOpen());
  Socket idleListener = listener();
  Socket waiting = boundUdp();

  Event receiveDone(true, false), acceptDone(true, false), waitDone(true, false);
  long received = 1;
  bool acceptedAny = true;
  int waited = 1;
  std::thread t1([&] {
    char b[16];
    received = client.Receive(b, sizeof(b));
    receiveDone.Set();
  });
  std::thread t2([&] {
    acceptedAny = idleListener.Accept().IsOpen();
    acceptDone.Set();
  });
  std::thread t3([&] {
    waited = waiting.WaitReadable(10000);
    waitDone.Set();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  client.Close();
  idleListener.Close();
  waiting.Close();
  EXPECT_EQ(receiveDone.Wait(5000), kWaitObject0);
  EXPECT_EQ(acceptDone.Wait(5000), kWaitObject0);
  EXPECT_EQ(waitDone.Wait(5000), kWaitObject0);
  t1.join();
  t2.join();
  t3.join();
  EXPECT_LE(received, 0);
  EXPECT_FALSE(acceptedAny);
  EXPECT_EQ(waited, -1);
}

TEST_P(LoopbackTest, RepeatedCloseDuringReceiveIsSafe) {
  // Many rounds of close racing a receive: under the sanitizers this checks that the
  // descriptor is never closed while the receive still uses it.
  for (int round = 0; round < 30; ++round) {
    Socket s = boundUdp();
    ASSERT_TRUE(s.SetReceiveTimeout(5000));
    std::thread reader([&] {
      char b[8];
      while (s.Receive(b, sizeof(b)) > 0) {
      }
    });
    if (round % 2 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    s.Close();
    reader.join();
  }
}

INSTANTIATE_TEST_SUITE_P(Families, LoopbackTest,
                         ::testing::Values(AddressFamily::kIPv4, AddressFamily::kIPv6),
                         [](const auto& info) {
                           return info.param == AddressFamily::kIPv4 ? "IPv4" : "IPv6";
                         });

TEST(SocketTest, OptionsAndLifecycle) {
  Socket s;
  EXPECT_FALSE(s.IsOpen());
  char b[4];
  EXPECT_EQ(s.Receive(b, sizeof(b)), -1);
  EXPECT_EQ(s.LastError(), EBADF);
  EXPECT_FALSE(s.SetReceiveTimeout(10));
  EXPECT_FALSE(s.Open(AddressFamily::kUnspecified, SocketType::kUdp));

  ASSERT_TRUE(s.Open(AddressFamily::kIPv4, SocketType::kUdp));
  EXPECT_EQ(s.Family(), AddressFamily::kIPv4);
  EXPECT_EQ(s.Type(), SocketType::kUdp);
  ASSERT_TRUE(s.SetReceiveBufferSize(65536));
  EXPECT_GE(s.ReceiveBufferSize(), 65536);
  ASSERT_TRUE(s.SetSendBufferSize(32768));
  EXPECT_GE(s.SendBufferSize(), 32768);
  EXPECT_TRUE(s.SetSendTimeout(500));
  EXPECT_TRUE(s.SetNonBlocking(true));
  EXPECT_EQ(s.Receive(b, sizeof(b)), -1);
  EXPECT_TRUE(Socket::IsTimeoutError(s.LastError()));
  EXPECT_TRUE(s.SetNonBlocking(false));
  EXPECT_FALSE(s.Bind(SocketAddress()));
  EXPECT_EQ(s.LastError(), EINVAL);

  // Moving hands the descriptor over; the moved-from socket is closed and harmless.
  ASSERT_TRUE(s.BindAny(0));
  const uint16_t port = s.LocalAddress().Port();
  Socket moved(std::move(s));
  EXPECT_TRUE(moved.IsOpen());
  EXPECT_EQ(moved.LocalAddress().Port(), port);
  EXPECT_FALSE(s.IsOpen());  // NOLINT(bugprone-use-after-move): moved-from state is defined
  s.Close();
  EXPECT_TRUE(s.Open(AddressFamily::kIPv4, SocketType::kTcp));

  // Reopening closes the previous descriptor and starts afresh.
  ASSERT_TRUE(moved.Open(AddressFamily::kIPv4, SocketType::kTcp));
  EXPECT_EQ(moved.Type(), SocketType::kTcp);
  moved.Close();
  moved.Close();
  EXPECT_FALSE(moved.IsOpen());
}

}  // namespace
}  // namespace kv::platform
