// kvdevice's seeded RTSP faults as a client meets them: refusals, silence, answers in pieces,
// dropped connections, stalled media, expired sessions, lost, reordered, oversize and malformed
// packets, aggregation packets, and what the port does with a line that is not RTSP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "tests/tools/rtsp_bare_client.h"

namespace {

using namespace kvdevice_rtsp_test;

int CountPackets(const std::vector<Received>& got) {
  int n = 0;
  for (const Received& r : got) n += r.packet;
  return n;
}

TEST(KvDeviceRtspFaults, RefusalsAndSilence) {
  Device refusing("--refuse DESCRIBE:503,PLAY:453");
  ASSERT_TRUE(refusing.ok());
  Client c(refusing.port());
  EXPECT_EQ(c.request(Describe(refusing.url(), 1)).status, 503);
  Received s =
      c.request(SetupRequest(refusing.url(), '1', 2, "RTP/AVP/TCP;unicast;interleaved=0-1"));
  EXPECT_EQ(s.status, 200);
  EXPECT_EQ(c.request(Play(refusing.url(), 3, SessionOf(s))).status, 453);

  Device mute("--no-answer all");
  ASSERT_TRUE(mute.ok());
  Client m(mute.port());
  m.send(Describe(mute.url(), 1));
  EXPECT_FALSE(m.next(1500)) << "accepted, never answered";
  EXPECT_FALSE(m.closed(300)) << "and the connection stays open";

  Device silentAtPlay("--no-answer PLAY");
  ASSERT_TRUE(silentAtPlay.ok());
  Client p(silentAtPlay.port());
  Received set =
      p.request(SetupRequest(silentAtPlay.url(), '1', 1, "RTP/AVP/TCP;unicast;interleaved=0-1"));
  ASSERT_EQ(set.status, 200);
  p.send(Play(silentAtPlay.url(), 2, SessionOf(set)));
  EXPECT_FALSE(p.next(1500)) << "no answer and no media";
}

TEST(KvDeviceRtspFaults, AnswersComeInSeveralSegments) {
  Device device("--answer-pieces 4 --answer-gap 60");
  ASSERT_TRUE(device.ok());
  Client c(device.port());
  Received d = c.request(Describe(device.url(), 1));
  EXPECT_EQ(d.status, 200);
  EXPECT_NE(d.body().find("m=video"), std::string::npos) << "the answer is whole once joined";
  EXPECT_GE(c.reads(), 3) << "a client reading once gets only the first piece";
}

TEST(KvDeviceRtspFaults, ConnectionDroppedWhilePlaying) {
  Device device("--drop-after 1 --key-interval 5");
  ASSERT_TRUE(device.ok());
  Client c(device.port());
  PlayInterleaved(c, device.url(), true);
  ASSERT_TRUE(c.next(3000)) << "media first";
  EXPECT_TRUE(c.closed(15000));
  // The camera accepts the next connection as before.
  Client again(device.port());
  EXPECT_EQ(again.request(Describe(device.url(), 1)).status, 200);
}

TEST(KvDeviceRtspFaults, MediaStopsWhileTheConnectionStaysUp) {
  Device device("--stall-after 1 --key-interval 5");
  ASSERT_TRUE(device.ok());
  Client c(device.port());
  const std::string session = PlayInterleaved(c, device.url(), true);
  EXPECT_GT(CountPackets(Collect(c, 2500)), 0);
  EXPECT_EQ(CountPackets(Collect(c, 1500)), 0);
  EXPECT_EQ(c.request(Simple("GET_PARAMETER", device.url(), 9, session)).status, 200);
  EXPECT_EQ(CountPackets(Collect(c, 500)), 0);
}

TEST(KvDeviceRtspFaults, IdleSessionsExpireUnlessKeptAlive) {
  Device device("--session-timeout 2 --expire-sessions --key-interval 5");
  ASSERT_TRUE(device.ok());
  Client idle(device.port()), alive(device.port());
  const std::string idleSession = PlayInterleaved(idle, device.url(), false);
  const std::string aliveSession = PlayInterleaved(alive, device.url(), false);
  // Keep-alives every 700 ms hold one session; the other sends nothing after PLAY.
  int cseq = 10;
  for (int i = 0; i < 7; ++i) {
    Received k = alive.request(Simple("GET_PARAMETER", device.url(), cseq++, aliveSession));
    EXPECT_EQ(k.status, 200);
    EXPECT_EQ(k.header("Session"), aliveSession + ";timeout=2");
    Collect(alive, 700);
  }
  EXPECT_GT(CountPackets(Collect(alive, 600)), 0) << "kept alive past twice its timeout";
  EXPECT_GT(CountPackets(Collect(idle, 500)), 0) << "what was sent before it expired";
  EXPECT_EQ(CountPackets(Collect(idle, 800)), 0) << "the idle session expired";
  EXPECT_EQ(idle.request(Play(device.url(), 20, idleSession)).status, 454);
  std::map<std::string, uint64_t> served = device.stop();
  EXPECT_GE(served["expired"], 1u) << "the kept one may expire too once the keep-alives end";
}

TEST(KvDeviceRtspFaults, UdpPacketsAreLostAndReorderedBySeed) {
  Device device("--drop 10 --reorder 4 --reorder-percent 30 --seed 3 --key-interval 5");
  ASSERT_TRUE(device.ok());
  int fds[2];
  int ports[2];
  for (int k = 0; k < 2; ++k) {
    fds[k] = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fds[k], reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t length = sizeof a;
    getsockname(fds[k], reinterpret_cast<sockaddr*>(&a), &length);
    ports[k] = ntohs(a.sin_port);
    timeval tv{0, 200 * 1000};
    setsockopt(fds[k], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  Client c(device.port());
  Received s = c.request(SetupRequest(
      device.url(), '1', 1,
      "RTP/AVP;unicast;client_port=" + std::to_string(ports[0]) + "-" + std::to_string(ports[1])));
  ASSERT_EQ(s.status, 200);
  const std::string transport = s.header("Transport");
  const size_t at = transport.find("server_port=");
  ASSERT_NE(at, std::string::npos) << transport;
  const int serverPort = std::stoi(transport.substr(at + 12));
  ASSERT_EQ(c.request(Play(device.url(), 2, SessionOf(s))).status, 200);

  int packets = 0, gaps = 0, backwards = 0;
  int last = -1;
  const auto end = Clock::now() + std::chrono::milliseconds(2500);
  while (Clock::now() < end) {
    uint8_t buffer[65536];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t n =
        recvfrom(fds[0], buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n <= 0) continue;
    EXPECT_EQ(ntohs(from.sin_port), serverPort) << "sent from the announced port";
    std::optional<Rtp> rtp = Rtp::Of(Bytes(buffer, buffer + n));
    ASSERT_TRUE(rtp);
    ++packets;
    if (last >= 0) {
      const int16_t step = static_cast<int16_t>(rtp->sequence - last);
      gaps += step > 1;
      backwards += step < 0;
    }
    last = rtp->sequence;
  }
  for (int fd : fds) close(fd);
  EXPECT_GT(packets, 20);
  EXPECT_GT(gaps, 0);
  EXPECT_GT(backwards, 0);
}

TEST(KvDeviceRtspFaults, OversizeMalformedAndAggregatedPackets) {
  Device device("--stap-a --oversize 5 --truncate 5 --garbage 5 --key-interval 5 --seed 9");
  ASSERT_TRUE(device.ok());
  Client c(device.port());
  PlayInterleaved(c, device.url(), true);
  int oversize = 0, malformed = 0, aggregates = 0, good = 0;
  for (const Received& r : Collect(c, 2500)) {
    if (!r.packet || r.channel != 0) continue;
    if (r.data.size() > 4096) ++oversize;
    std::optional<Rtp> rtp = Rtp::Of(r.data);
    if (!rtp || rtp->payload.empty()) {
      ++malformed;
      continue;
    }
    ++good;
    aggregates += rtp->payloadType == 96 && (rtp->payload[0] & 0x1F) == 24;
  }
  EXPECT_GT(good, 20);
  EXPECT_GT(oversize, 0);
  EXPECT_GT(malformed, 0);
  EXPECT_GT(aggregates, 0) << "parameter sets travel in STAP-A";
}

TEST(KvDeviceRtspFaults, ThePortTellsRtspFromOtherLines) {
  Device device("");
  ASSERT_TRUE(device.ok());
  // MCTP/1.0 is recognised; until its handler is plugged in, the connection is closed.
  Client mctp(device.port());
  mctp.send("CMD:MD MCTP/1.0 CS\n@2@1@0@0@0@0@0@0\nEND\n");
  EXPECT_FALSE(mctp.next(300));
  EXPECT_TRUE(mctp.closed(3000));
  Client other(device.port());
  other.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  std::optional<Received> r = other.next(3000);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 400);
  EXPECT_TRUE(other.closed(3000));
  Client rtsp(device.port());
  EXPECT_EQ(rtsp.request(Simple("OPTIONS", device.url(), 1, "")).header("Public").find("DESCRIBE"),
            std::string("OPTIONS, ").size());
}

}  // namespace
