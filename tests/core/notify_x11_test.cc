// Event delivery by posted message into a real X11 window (under Xvfb).
#include <gtest/gtest.h>

#include <cstring>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/platform/window_system.h"
#include "sdk/platform/x11_window.h"
#include "tests/support/xvfb.h"

namespace {

class NotifyX11 : public kv::test::XvfbTest {};

TEST_F(NotifyX11, EventsArriveAsClientMessages) {
  auto x11 = kv::platform::X11WindowSystem::Open(DisplayName().c_str());
  ASSERT_NE(x11, nullptr);
  auto previous = kv::platform::ReplaceWindowSystemForTest(std::move(x11));

  kv::test::X11TestClient caller;
  ASSERT_TRUE(caller.Connect(DisplayName().c_str()));
  const uint32_t window = caller.CreateWindow(0, 10, 10, 200, 100);
  ASSERT_NE(window, 0u);
  ASSERT_TRUE(caller.Sync());

  KVNET_Startup(0, 0, nullptr, 0);
  kv::CNetClient client;
  KVNET_CLIENT_PARAM p;
  std::memset(&p, 0, sizeof p);
  p.transport = TRANSPORT_UDP;
  p.notifyWnd = window;
  p.messageId = 0x0400 + 7;
  std::strcpy(p.address, "cam");
  ASSERT_TRUE(client.InitLive(p));
  client.m_self = &client;
  client.Notify(KV_EVENT_LINK, LINK_CONNECTED);
  client.Notify(KV_EVENT_REPLAY_END, 0);  // never posted
  client.Notify(KV_EVENT_MOTION, 0x0005);

  auto first = caller.WaitClientMessage(3000);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->window, window);
  EXPECT_EQ(first->typeName, "KVNET_MESSAGE");
  EXPECT_EQ(first->format, 32);
  EXPECT_EQ(first->data32[0], 0x0400u + 7);
  EXPECT_EQ(first->data32[1], static_cast<uint32_t>(KV_EVENT_LINK));
  EXPECT_EQ(first->data32[2], static_cast<uint32_t>(LINK_CONNECTED));
  auto second = caller.WaitClientMessage(3000);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->data32[1], static_cast<uint32_t>(KV_EVENT_MOTION));
  EXPECT_EQ(second->data32[2], 5u);
  EXPECT_FALSE(caller.WaitClientMessage(200).has_value());

  // A window the caller destroyed: the post fails quietly and the process goes on.
  ASSERT_TRUE(caller.DestroyWindow(window));
  ASSERT_TRUE(caller.Sync());
  client.Notify(KV_EVENT_ALARM, 1);
  kv::platform::ReplaceWindowSystemForTest(std::move(previous));
}

}  // namespace
