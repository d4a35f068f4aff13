// Client sessions: parameter handling, creation, the stop sequence and event delivery.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/client_lifecycle.h"
#include "sdk/core/library.h"
#include "sdk/core/net_client.h"
#include "sdk/media/conduit.h"
#include "sdk/platform/headless_window.h"
#include "sdk/platform/window_system.h"
#include "tests/support/fake_parts.h"

namespace {

using kv::CNetClient;
using kv::test::FakeBehaviour;
using kv::test::ScopedFakeParts;

KVNET_CLIENT_PARAM MakeParam(const char* address, int16_t transport = TRANSPORT_UDP) {
  KVNET_CLIENT_PARAM p;
  std::memset(&p, 0, sizeof p);
  p.transport = transport;
  p.channel = 1;
  p.userValue = 77;
  std::strncpy(p.address, address, sizeof p.address - 1);
  return p;
}

TEST(AddressSplit, HostAndPort) {
  struct Case {
    const char* address;
    const char* host;
    int16_t port;
  } cases[] = {
      {"192.168.1.10:8554", "192.168.1.10", 8554},
      {"camera.local", "camera.local", 554},
      {"cam:  +99x", "cam", 99},
      {"cam:", "cam", 0},
      {"cam:abc", "cam", 0},
      {"a:b:70000", "a:b", static_cast<int16_t>(70000 & 0xFFFF)},
      {"::1:554", "::1", 554},
      {"cam:-1", "cam", -1},
  };
  for (const Case& c : cases) {
    CNetClient client;
    ASSERT_TRUE(client.InitLive(MakeParam(c.address))) << c.address;
    EXPECT_STREQ(client.m_link.host, c.host) << c.address;
    EXPECT_EQ(client.m_link.port, c.port) << c.address;
  }
}

TEST(LiveInit, Defaults) {
  CNetClient client;
  KVNET_CLIENT_PARAM p = MakeParam("h");
  p.view = 1;
  p.videoWnd = 42;
  ASSERT_TRUE(client.InitLive(p));
  EXPECT_EQ(client.m_link.state.load(), LINK_CONNECTING);
  EXPECT_EQ(client.m_viewState.mdShowMode.load(), 2);
  EXPECT_EQ(client.m_stream.width.load(), 720);
  EXPECT_EQ(client.m_stream.height.load(), 576);
  EXPECT_EQ(client.m_stream.frameRate.load(), 25);
  EXPECT_EQ(client.m_stream.bitRate.load(), 512);
  EXPECT_EQ(client.m_sound.on.load(), 0);
  EXPECT_EQ(client.m_viewState.vertBlankDivisor.load(), 0);
  EXPECT_EQ(client.m_viewState.view.load(), 1);
  EXPECT_EQ(client.m_viewState.videoWindow.load(), 42u);
  EXPECT_EQ(client.m_link.replay, 0);
  EXPECT_EQ(std::memcmp(&client.m_link.param, &p, sizeof p), 0);
}

TEST(LiveInit, UnterminatedTextFieldsFail) {
  CNetClient a, b, c;
  KVNET_CLIENT_PARAM p = MakeParam("h");
  std::memset(p.address, 'x', sizeof p.address);
  EXPECT_FALSE(a.InitLive(p));
  p = MakeParam("h");
  std::memset(p.userName, 'u', sizeof p.userName);
  EXPECT_FALSE(b.InitLive(p));
  p = MakeParam("h");
  std::memset(p.password, 'p', sizeof p.password);
  EXPECT_FALSE(c.InitLive(p));
}

TEST(ReplayInit, DefaultsAndPathLimit) {
  CNetClient client;
  ASSERT_TRUE(client.InitReplay("/tmp/a.rec", 5));
  EXPECT_EQ(client.m_link.replay, 1);
  EXPECT_EQ(client.m_viewState.view.load(), 1);
  EXPECT_EQ(client.m_sound.on.load(), 1);
  EXPECT_EQ(client.m_viewState.videoWindow.load(), 5u);
  EXPECT_EQ(client.m_stream.width.load(), 1600);
  EXPECT_EQ(client.m_stream.height.load(), 1200);
  EXPECT_EQ(client.m_stream.frameRate.load(), 30);
  EXPECT_EQ(client.m_stream.bitRate.load(), 2048);
  EXPECT_EQ(client.m_viewState.vertBlankDivisor.load(), 10);
  EXPECT_EQ(client.m_link.state.load(), 0);
  EXPECT_STREQ(client.m_link.replayPath, "/tmp/a.rec");

  std::string longest(259, 'p');
  CNetClient fits;
  EXPECT_TRUE(fits.InitReplay(longest.c_str(), 0));
  std::string tooLong(260, 'p');
  CNetClient overflow;
  EXPECT_FALSE(overflow.InitReplay(tooLong.c_str(), 0));
  EXPECT_EQ(KVNET_OpenFile(tooLong.c_str(), 0, 0), nullptr);
  EXPECT_EQ(KVNET_OpenFile(nullptr, 0, 0), nullptr);
}

TEST(ClientStart, FailsCleanlyWithoutSources) {
  // Unknown transports have no source; the RTSP ones have theirs and stop cleanly whether or
  // not a device answers.
  for (int t : {3, -1}) {
    KVNET_CLIENT_PARAM p = MakeParam("127.0.0.1", static_cast<int16_t>(t));
    EXPECT_EQ(KVNET_ClientStart(&p), nullptr) << t;
  }
  for (int t : {TRANSPORT_RTSP_UDP, TRANSPORT_RTSP_TCP}) {
    KVNET_CLIENT_PARAM p = MakeParam("127.0.0.1:1", static_cast<int16_t>(t));
    KVNET_HANDLE h = KVNET_ClientStart(&p);
    ASSERT_NE(h, nullptr) << t;
    EXPECT_EQ(KVNET_ClientStop(h), 1);
  }
  EXPECT_EQ(KVNET_ClientStart(nullptr), nullptr);
  EXPECT_EQ(KVNET_OpenFile("/nonexistent/file.rec", 0, 0), nullptr);
}

TEST(ClientStart, UnknownTransportFailsBeforeAnySourceIsMade) {
  ScopedFakeParts parts;
  KVNET_CLIENT_PARAM p = MakeParam("h", 3);
  EXPECT_EQ(KVNET_ClientStart(&p), nullptr);
  EXPECT_EQ(parts.log()->Entries().size(), 0u);
}

TEST(ClientStart, StartsPartsInOrderAndStopsInOrder) {
  ScopedFakeParts parts;
  KVNET_CLIENT_PARAM p = MakeParam("cam:8000", TRANSPORT_UDP);
  KVNET_HANDLE h = KVNET_ClientStart(&p);
  ASSERT_NE(h, nullptr);
  CNetClient* client = CNetClient::FromHandle(h);
  EXPECT_EQ(client->m_self, client);
  EXPECT_EQ(KVNET_GetClientState(h), LINK_CONNECTING);
  ASSERT_NE(client->m_videoConduit, nullptr);
  ASSERT_NE(client->m_audioConduit, nullptr);

  // Talk, if on, is halted before anything else.
  struct FakeTalk : kv::ITalkSession {
    std::shared_ptr<kv::test::CallLog> log;
    void Halt() override { log->Add("talk.halt"); }
  };
  auto talk = std::make_unique<FakeTalk>();
  talk->log = parts.log();
  client->m_talk = std::move(talk);

  EXPECT_EQ(KVNET_ClientStop(h), 1);
  // The source thread logs "source.run" at some point after its start; the rest is ordered.
  std::vector<std::string> got = parts.log()->Entries();
  const auto run = std::find(got.begin(), got.end(), "source.run");
  ASSERT_NE(run, got.end());
  EXPECT_GT(run - got.begin(), parts.log()->IndexOf("audio.start"));
  EXPECT_LT(run - got.begin(), parts.log()->IndexOf("source.run-end"));
  got.erase(run);
  const std::vector<std::string> expected = {"audio.prepare",  "source.open",   "audio.start",
                                             "talk.halt",      "source.stop",   "conduits.aborted",
                                             "source.run-end", "source.close",  "audio.stop",
                                             "audio.free",     "source.destroy"};
  EXPECT_EQ(got, expected);
}

TEST(ClientStart, FailuresDestroyEverything) {
  {
    FakeBehaviour b;
    b.openFails = true;
    ScopedFakeParts parts(b);
    KVNET_CLIENT_PARAM p = MakeParam("cam");
    EXPECT_EQ(KVNET_ClientStart(&p), nullptr);
    EXPECT_EQ(parts.log()->Entries(),
              (std::vector<std::string>{"audio.prepare", "source.open", "source.destroy"}));
  }
  {
    FakeBehaviour b;
    b.prepareFails = true;
    ScopedFakeParts parts(b);
    KVNET_CLIENT_PARAM p = MakeParam("cam");
    EXPECT_EQ(KVNET_ClientStart(&p), nullptr);
    EXPECT_EQ(parts.log()->Entries(),
              (std::vector<std::string>{"audio.prepare", "source.destroy"}));
  }
  {
    FakeBehaviour b;
    b.audioStartFails = true;
    ScopedFakeParts parts(b);
    EXPECT_EQ(KVNET_OpenFile("/x.rec", 0, 1), nullptr);
    EXPECT_EQ(parts.log()->Entries(), (std::vector<std::string>{"audio.prepare", "source.open",
                                                                "audio.start", "source.destroy"}));
  }
}

TEST(OpenFile, StartPausedSetsThePausedStateBeforeStart) {
  ScopedFakeParts parts;
  KVNET_HANDLE h = KVNET_OpenFile("/tmp/some.rec", 9, 1);
  ASSERT_NE(h, nullptr);
  CNetClient* c = CNetClient::FromHandle(h);
  EXPECT_EQ(c->m_replayControl.state.load(), 1);
  EXPECT_EQ(c->m_link.replay, 1);
  EXPECT_EQ(KVNET_GetClientState(h), 0);
  EXPECT_EQ(KVNET_CloseFile(h), 1);

  KVNET_HANDLE h2 = KVNET_OpenFile("/tmp/some.rec", 9, 0);
  ASSERT_NE(h2, nullptr);
  EXPECT_EQ(CNetClient::FromHandle(h2)->m_replayControl.state.load(), 0);
  EXPECT_EQ(KVNET_CloseFile(h2), 1);
}

TEST(StreamInfo, ReportsMeasuredRatesAndDescription) {
  ScopedFakeParts parts;
  KVNET_CLIENT_PARAM p = MakeParam("cam");
  KVNET_HANDLE h = KVNET_ClientStart(&p);
  ASSERT_NE(h, nullptr);
  int bitRate = -1, frameRate = -1;
  EXPECT_EQ(KVNET_GetBitStreamInfo(h, &bitRate, &frameRate), 1);
  EXPECT_EQ(bitRate, 0);
  EXPECT_EQ(frameRate, 0);
  CNetClient* c = CNetClient::FromHandle(h);
  c->m_stream.videoCodec = VCODEC_H264;
  c->m_stream.audioCodec = ACODEC_G726_32;
  KVNET_VIDEO_INFO info{};
  EXPECT_EQ(KVNET_GetClientParam(h, &info), 0);
  EXPECT_EQ(info.width, 720);
  EXPECT_EQ(info.height, 576);
  EXPECT_EQ(info.frameRate, 25);
  EXPECT_EQ(info.videoCodec, VCODEC_H264);
  EXPECT_EQ(info.audioCodec, ACODEC_G726_32);
  EXPECT_EQ(info.bitRate, 512u);
  EXPECT_EQ(KVNET_ClientStop(h), 1);
}

// ---- Event delivery ----

struct Received {
  KVNET_HANDLE handle;
  int eventClass, code, user;
};
std::mutex gReceivedMutex;
std::vector<Received> gReceived;

void KVNET_CALL RecordEvent(KVNET_HANDLE h, int eventClass, int code, int user) {
  std::lock_guard<std::mutex> lock(gReceivedMutex);
  gReceived.push_back({h, eventClass, code, user});
}

TEST(Notify, CallbackGetsEveryClassWithUserValueExceptReplayEnd) {
  KVNET_Startup(0, 0, RecordEvent, 0);
  gReceived.clear();
  CNetClient client;
  KVNET_CLIENT_PARAM p = MakeParam("cam");
  p.notifyWnd = 1234;  // ignored while a callback is set
  ASSERT_TRUE(client.InitLive(p));
  client.m_self = &client;
  client.Notify(KV_EVENT_LINK, LINK_LOST);
  client.Notify(KV_EVENT_MOTION, 0x8001);
  client.Notify(KV_EVENT_REPLAY_END, 0);
  KVNET_Startup(0, 0, nullptr, 0);
  ASSERT_EQ(gReceived.size(), 3u);
  EXPECT_EQ(gReceived[0].handle, client.Handle());
  EXPECT_EQ(gReceived[0].eventClass, KV_EVENT_LINK);
  EXPECT_EQ(gReceived[0].code, LINK_LOST);
  EXPECT_EQ(gReceived[0].user, 77);
  EXPECT_EQ(gReceived[1].code, 0x8001);
  EXPECT_EQ(gReceived[2].eventClass, KV_EVENT_REPLAY_END);
  EXPECT_EQ(gReceived[2].user, 0);
}

TEST(Notify, PostsToTheNotifyWindowWithoutCallback) {
  auto previous = kv::platform::ReplaceWindowSystemForTest(
      std::make_unique<kv::platform::HeadlessWindowSystem>());
  auto* ws = static_cast<kv::platform::HeadlessWindowSystem*>(&kv::platform::GetWindowSystem());
  const kv::platform::WindowId wnd = ws->CreateWindow(0, 0, 320, 240, true);

  KVNET_Startup(0, 0, nullptr, 0);
  CNetClient client;
  KVNET_CLIENT_PARAM p = MakeParam("cam");
  p.notifyWnd = wnd;
  p.messageId = 0x0400 + 99;
  ASSERT_TRUE(client.InitLive(p));
  client.Notify(KV_EVENT_RECORD, REC_TIME_UP);
  client.Notify(KV_EVENT_REPLAY_END, 0);  // never posted
  client.Notify(KV_EVENT_ALARM, 3);

  kv::platform::PostedMessage m;
  ASSERT_TRUE(ws->TakeMessage(wnd, &m, 1000));
  EXPECT_EQ(m.message, 0x0400u + 99);
  EXPECT_EQ(m.wParam, static_cast<uint32_t>(KV_EVENT_RECORD));
  EXPECT_EQ(m.lParam, static_cast<uint32_t>(REC_TIME_UP));
  ASSERT_TRUE(ws->TakeMessage(wnd, &m, 1000));
  EXPECT_EQ(m.wParam, static_cast<uint32_t>(KV_EVENT_ALARM));
  EXPECT_EQ(m.lParam, 3u);
  EXPECT_EQ(ws->PendingMessages(wnd), 0u);

  // Notify window 0 and no callback: dropped without failing.
  CNetClient silent;
  ASSERT_TRUE(silent.InitLive(MakeParam("cam")));
  silent.Notify(KV_EVENT_LINK, LINK_CONNECTED);
  EXPECT_EQ(ws->PendingMessages(wnd), 0u);
  kv::platform::ReplaceWindowSystemForTest(std::move(previous));
}

}  // namespace
