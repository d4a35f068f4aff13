// The connection life of both RTSP sources against the device simulator: the event sequences
// of refused connections and credentials with the default retry count, Digest, losses and
// reconnection without limit after a first play, and the device's event connection.
#include <map>

#include "sdk/sources/av_source.h"
#include "tests/sources/rtsp_live_fixture.h"

namespace {

using namespace rtsp_live;
using kv::test::FreeTcpPort;

class RtspLink : public RtspLive, public ::testing::WithParamInterface<int> {
 protected:
  bool tcp() const { return GetParam() == TRANSPORT_RTSP_TCP; }
  // Waits until the client reported LINK_CLOSED (its thread has then ended).
  bool WaitClosed() {
    return WaitUntil([] { return Count(KV_EVENT_LINK, LINK_CLOSED) > 0; }, 30);
  }
};

TEST_P(RtspLink, RefusedConnectionIsTriedTwiceThenClosed) {
  // The default retry count (1) with a short interval.
  KVNET_SetWaitTime(5, 1, 1);
  const int port = FreeTcpPort();  // nothing listens there
  ASSERT_NE(Start({GetParam(), port}), nullptr);
  ASSERT_TRUE(WaitClosed());
  if (tcp()) {
    // No LINK_CONNECT_FAILED over TCP: each attempt announces itself instead.
    EXPECT_EQ(LinkCodes(),
              (std::vector<int>{LINK_CONNECTING, LINK_RETRYING, LINK_CONNECTING, LINK_CLOSED}));
    EXPECT_EQ(KVNET_GetClientState(handle_), LINK_CLOSED);
  } else {
    EXPECT_EQ(LinkCodes(), (std::vector<int>{LINK_CONNECT_FAILED, LINK_RETRYING,
                                             LINK_CONNECT_FAILED, LINK_CLOSED}));
    EXPECT_EQ(KVNET_GetClientState(handle_), LINK_CONNECT_FAILED);
  }
  EXPECT_EQ(KVNET_ClientStop(handle_), 1);
  handle_ = nullptr;
}

TEST_P(RtspLink, DigestCredentialsArePlayedOrRefused) {
  KVNET_SetWaitTime(5, 1, 1);
  Device device(
      "--codec h264 --audio g711a --size 320x240 --user admin --password s3cret "
      "--realm Cam --nonce 0a1b2c3d");
  ASSERT_TRUE(device.ok());
  ClientOptions right(GetParam(), device.port());
  right.user = "admin";
  right.password = "s3cret";
  ASSERT_NE(Start(right), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return Pictures() >= 10; })) << Pictures();
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_AUTH_FAILED), 0);
  EXPECT_TRUE(StopWithin(10));

  kv::test::ClearEvents();
  ClientOptions wrong(GetParam(), device.port());
  wrong.user = "admin";
  wrong.password = "wrong";
  ASSERT_NE(Start(wrong), nullptr);
  ASSERT_TRUE(WaitClosed());
  if (tcp()) {
    EXPECT_EQ(LinkCodes(), (std::vector<int>{LINK_CONNECTING, LINK_AUTH_FAILED, LINK_RETRYING,
                                             LINK_CONNECTING, LINK_AUTH_FAILED, LINK_CLOSED}));
  } else {
    EXPECT_EQ(LinkCodes(),
              (std::vector<int>{LINK_AUTH_FAILED, LINK_RETRYING, LINK_AUTH_FAILED, LINK_CLOSED}));
  }
  EXPECT_EQ(Pictures(), 0u);
}

// The simulator closes every connection a second after PLAY. With the default retry count the
// client still comes back each time: after a first play reconnection has no limit.
TEST_P(RtspLink, DroppedConnectionsReconnectWithoutLimit) {
  KVNET_SetWaitTime(5, 1, 1);
  Device device("--codec h264 --audio g711u --size 320x240 --key-interval 5 --drop-after 1");
  ASSERT_TRUE(device.ok());
  ASSERT_NE(Start({GetParam(), device.port()}), nullptr);
  // Over UDP the loss shows when the video has been silent for the receive time-out (10 s).
  const int seconds = tcp() ? 30 : 60;
  ASSERT_TRUE(WaitUntil([] { return Count(KV_EVENT_LINK, LINK_CONNECTED) >= 3; }, seconds))
      << ::testing::PrintToString(LinkCodes());
  EXPECT_GE(Count(KV_EVENT_LINK, LINK_LOST), 2);
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_CLOSED), 0);
  const std::vector<int> codes = LinkCodes();
  if (tcp()) {
    // A loss is followed at once by the next attempt, without the retry interval's event.
    EXPECT_EQ(std::vector<int>(codes.begin(), codes.begin() + 5),
              (std::vector<int>{LINK_CONNECTING, LINK_CONNECTED, LINK_LOST, LINK_CONNECTING,
                                LINK_CONNECTED}));
  } else {
    EXPECT_EQ(std::vector<int>(codes.begin(), codes.begin() + 3),
              (std::vector<int>{LINK_CONNECTED, LINK_LOST, LINK_CONNECTED}));
  }
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_RETRYING), 0);
  EXPECT_TRUE(StopWithin(10));
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_CLOSED), 0);
}

// The simulator stops sending media a second after PLAY but keeps the connection: the silence
// is a loss, and the stream comes back on the next connection.
TEST_P(RtspLink, SilentDeviceIsLostAndPlaysAgain) {
  Device device("--codec h264 --audio g711a --size 320x240 --key-interval 5 --stall-after 1");
  ASSERT_TRUE(device.ok());
  ASSERT_NE(Start({GetParam(), device.port()}), nullptr);
  ASSERT_TRUE(WaitUntil([] { return Count(KV_EVENT_LINK, LINK_CONNECTED) >= 2; }, 60))
      << ::testing::PrintToString(LinkCodes());
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_LOST), 1);
  const uint32_t before = Pictures();
  EXPECT_TRUE(WaitUntil([&] { return Pictures() > before + 5; }));
  EXPECT_TRUE(StopWithin(10));
}

// The simulator announces timeout=2 and forgets a session that sends nothing for 2 s; the
// client's keep-alives every second keep the stream playing well past that.
TEST_P(RtspLink, KeepAlivesHoldASessionPastItsTimeout) {
  Device device(
      "--codec h264 --audio g711a --size 320x240 --key-interval 5 "
      "--session-timeout 2 --expire-sessions");
  ASSERT_TRUE(device.ok());
  ASSERT_NE(Start({GetParam(), device.port()}), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return Pictures() >= 5; }));
  // Three timeouts later the same connection still brings pictures.
  const uint32_t early = Pictures();
  ASSERT_TRUE(WaitUntil([&] { return Pictures() >= early + 150; }, 40)) << Pictures();
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_LOST), 0);
  EXPECT_EQ(Count(KV_EVENT_LINK, LINK_CONNECTED), 1);
  EXPECT_TRUE(StopWithin(10));
  std::map<std::string, uint64_t> served = device.stop();
  EXPECT_EQ(served["expired"], 0u);
}

TEST_P(RtspLink, EventConnectionRunsWhilePlayingAndStopsWithTheClient) {
  Device device("--codec h264 --audio g711a --size 320x240");
  ASSERT_TRUE(device.ok());
  ASSERT_NE(Start({GetParam(), device.port()}), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return Pictures() >= 5; }));
  ASSERT_NE(Client().m_eventReceiver, nullptr);
  EXPECT_TRUE(WaitUntil([&] { return Client().m_eventReceiver->IsRunning(); }));
  kv::IEventReceiver* receiver = Client().m_eventReceiver.get();
  Client().m_source->Stop();
  EXPECT_FALSE(receiver->IsRunning());
}

INSTANTIATE_TEST_SUITE_P(Transports, RtspLink,
                         ::testing::Values(TRANSPORT_RTSP_TCP, TRANSPORT_RTSP_UDP),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == TRANSPORT_RTSP_TCP ? "tcp" : "udp";
                         });

}  // namespace
