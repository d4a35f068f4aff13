// The event receiver against kvdevice: log-in with the RTSP session id, motion reports reaching
// the caller, the region table and the overlay, alarm reports, messages split or joined across
// receives, the keep-alive clock, and the thread's end when the device goes away.
#include "sdk/control/event_receiver.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "sdk/media/overlay.h"
#include "sdk/platform/clock.h"
#include "tests/control/control_device.h"

namespace kv::control_test {
namespace {

using Clock = std::chrono::steady_clock;
using kvdevice_mctp_test::AppendLine;

// Events as the receiver raises them.
class RecordingSink : public IDeviceEventSink {
 public:
  void OnDeviceEvent(int eventClass, int code) override {
    std::lock_guard lock(mutex_);
    events_.emplace_back(eventClass, code);
  }
  // Waits until count events came; all of them.
  std::vector<std::pair<int, int>> WaitFor(size_t count, int timeoutMs = 10000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
      {
        std::lock_guard lock(mutex_);
        if (events_.size() >= count) return events_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<int, int>> events_;
};

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

DeviceEndpoint Endpoint(const Device& device) {
  return DeviceEndpoint{"127.0.0.1", static_cast<uint16_t>(device.port()), 1, "", ""};
}

// Events raised through the public callback.
std::mutex gCallbackMutex;
std::vector<std::pair<int, int>> gCallbackEvents;
void KVNET_CALL OnEvent(KVNET_HANDLE, int eventClass, int code, int) {
  std::lock_guard lock(gCallbackMutex);
  gCallbackEvents.emplace_back(eventClass, code);
}

TEST(EventReceiverTest, MotionReachesTheCallerTheTableAndTheOverlay) {
  Folder folder;
  const std::string control = folder / "control";
  Device device(kLight + "--event-session any --mctp-control " + control);
  ASSERT_TRUE(device.ok());
  ASSERT_EQ(KVNET_Startup(0, 0, &OnEvent, 0), 1);
  {
    LiveClient live(device.port());
    CNetClient& client = live.client();
    // The device reports the rectangles saved for the channel.
    KVNET_MD_INFO info{};
    const int32_t r2[4] = {100, 60, 300, 200}, r5[4] = {400, 300, 600, 500};
    std::copy(r2, r2 + 4, info.region[2]);
    std::copy(r5, r5 + 4, info.region[5]);
    ASSERT_EQ(KVNET_ClientSaveMDInfo(live.handle(), &info), 1);
    client.m_viewState.motion.info = KVNET_MD_INFO{};
    client.m_viewState.motion.lastMask = 0xFFFF;

    ASSERT_NE(client.m_eventReceiver, nullptr) << "an RTSP client has an event receiver";
    ASSERT_TRUE(client.m_eventReceiver->Start("4242"));
    const uint32_t before = platform::GetTickCount();
    AppendLine(control, "motion 2,5");
    ASSERT_TRUE(WaitUntil([] {
      std::lock_guard lock(gCallbackMutex);
      return !gCallbackEvents.empty();
    }));
    {
      std::lock_guard lock(gCallbackMutex);
      EXPECT_EQ(gCallbackEvents, (std::vector<std::pair<int, int>>{{KV_EVENT_MOTION, 36}}));
    }
    // The table is read as the overlay reads it, one atomic value at a time.
    MotionRegionTable& table = client.m_viewState.motion;
    auto region = [&table](int i) {
      int32_t r[4];
      LoadRegion(table, i, r);
      return std::vector<int32_t>(r, r + 4);
    };
    auto tick = [&table](int i) { return std::atomic_ref(table.lastMotionTick[i]).load(); };
    auto mask = [&table] { return std::atomic_ref(table.lastMask).load(); };
    EXPECT_EQ(mask(), 36u) << "other regions' bits are cleared";
    EXPECT_EQ(region(2), std::vector<int32_t>(r2, r2 + 4));
    EXPECT_EQ(region(5), std::vector<int32_t>(r5, r5 + 4));
    EXPECT_LE(tick(2) - before, 5000u);
    EXPECT_EQ(tick(2), tick(5));
    EXPECT_EQ(tick(3), 0u);

    // The overlay frames both regions in red, scaled to a 352 x 288 window (half the space).
    client.m_viewState.videoWindow = 1;
    client.m_viewState.windowWidth = 352;
    client.m_viewState.windowHeight = 288;
    client.m_viewState.mdShowMode = 2;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 352, 288);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 0, 0, 0.5);
    cairo_paint(cr);
    OverlayInputs inputs;
    inputs.view = &client.m_viewState;
    EXPECT_EQ(DrawOverlay(live.handle(), cr, &inputs), 0);
    cairo_surface_flush(surface);
    const auto* pixels = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    auto red = [&](int x, int y) {
      const uint32_t p = *reinterpret_cast<const uint32_t*>(pixels + y * stride + 4 * x);
      return ((p >> 16) & 0xFF) > 240 && ((p >> 8) & 0xFF) < 20 && (p & 0xFF) < 20;
    };
    EXPECT_TRUE(red(120, 30)) << "region 2, top edge";
    EXPECT_TRUE(red(50, 80)) << "region 2, left edge";
    EXPECT_TRUE(red(250, 150)) << "region 5, top edge";
    EXPECT_TRUE(red(299, 200)) << "region 5, right edge";
    EXPECT_FALSE(red(100, 70)) << "inside region 2";
    EXPECT_FALSE(red(20, 250)) << "outside every region";
    cairo_destroy(cr);
    cairo_surface_destroy(surface);

    // Rectangles beyond the region space are clamped before they reach the table.
    AppendLine(control, "raw CMD:MD MCTP/1.0 CS\\n@1@1@7@-100@300@2000000000@500@0\\nEND\\n");
    ASSERT_TRUE(WaitUntil([&] { return mask() == 128u; }));
    EXPECT_EQ(region(7), (std::vector<int32_t>{0, 300, 704, 500}));
  }
  KVNET_Cleanup();
  std::lock_guard lock(gCallbackMutex);
  gCallbackEvents.clear();
}

TEST(EventReceiverTest, LogInNeedsTheOpenRtspSession) {
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--mctp-log " + log);
  ASSERT_TRUE(device.ok());
  MotionRegionTable table;
  RecordingSink sink;
  CEventReceiver2 receiver(Endpoint(device), &table, &sink);
  EXPECT_FALSE(receiver.Start("12345")) << "no such session";
  EXPECT_FALSE(receiver.IsRunning());

  kvdevice_rtsp_test::Client rtsp(device.port());
  const std::string session = kvdevice_rtsp_test::PlayInterleaved(rtsp, device.url(), false);
  ASSERT_FALSE(session.empty());
  ASSERT_TRUE(receiver.Start(session));
  EXPECT_TRUE(receiver.IsRunning());
  EXPECT_EQ(LogLines(log, Quoted("CMD:ALIVE MCTP/1.0 CS\n@12345@1\nEND\n")).size(), 1u);
  EXPECT_EQ(LogLines(log, Quoted("CMD:ALIVE MCTP/1.0 CS\n@" + session + "@1\nEND\n")).size(), 1u)
      << "the log-in carries the session id and the channel";
  EXPECT_TRUE(WaitForLog(log, "keepalive 1 -> accept")) << "the first keep-alive goes at once";
  const auto start = Clock::now();
  receiver.Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << "closing the socket wakes it";
  EXPECT_FALSE(receiver.IsRunning());
  EXPECT_EQ(receiver.GetExitValue(), CEventReceiver2::kExitValue);

  Device refusing(kLight + "--event-session any --mctp-reply login:refuse");
  ASSERT_TRUE(refusing.ok());
  CEventReceiver2 refused(Endpoint(refusing), &table, &sink);
  EXPECT_FALSE(refused.Start("1")) << "a log-in reply with 0 in the third field fails";
}

TEST(EventReceiverTest, AlarmsSplitAndJoinedMessagesAndTheEnd) {
  Folder folder;
  const std::string control = folder / "control";
  Device device(kLight + "--event-session any --event-gap 200 --mctp-control " + control);
  ASSERT_TRUE(device.ok());
  MotionRegionTable table;
  RecordingSink sink;
  CEventReceiver2 receiver(Endpoint(device), &table, &sink);
  ASSERT_TRUE(receiver.Start("1"));

  AppendLine(control, "alarm 7");
  AppendLine(control, "alarm 8 1");           // first field 1: ignored
  AppendLine(control, "split alarm 9");       // over two receives
  AppendLine(control, "motion 2 + alarm 5");  // two in one receive, in order
  using Events = std::vector<std::pair<int, int>>;
  EXPECT_EQ(
      sink.WaitFor(4),
      (Events{
          {KV_EVENT_ALARM, 7}, {KV_EVENT_ALARM, 9}, {KV_EVENT_MOTION, 4}, {KV_EVENT_ALARM, 5}}));
  // An alarm report of four lines ends the thread.
  AppendLine(control, "raw CMD:ALARM MCTP/1.0 CS\\n@2@7\\n@0\\nEND\\n");
  EXPECT_TRUE(WaitUntil([&] { return !receiver.IsRunning(); }));
  EXPECT_EQ(sink.WaitFor(5, 300).size(), 4u);
}

TEST(EventReceiverTest, TheThreadEndsWhenTheDeviceCloses) {
  Folder folder;
  const std::string control = folder / "control";
  Device device(kLight + "--event-session any --mctp-control " + control);
  ASSERT_TRUE(device.ok());
  MotionRegionTable table;
  CEventReceiver2 receiver(Endpoint(device), &table, nullptr);
  ASSERT_TRUE(receiver.Start("1"));
  AppendLine(control, "drop-events");
  EXPECT_TRUE(WaitUntil([&] { return !receiver.IsRunning(); }))
      << "a closed connection ends the loop rather than spinning";
  EXPECT_EQ(receiver.GetExitValue(), CEventReceiver2::kExitValue);
}

TEST(EventReceiverTest, KeepAliveEveryTenSecondsOfTheClock) {
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--event-session any --mctp-log " + log);
  ASSERT_TRUE(device.ok());
  std::atomic<uint32_t> now{5000};
  EventReceiverTiming timing;
  timing.tickCount = [&now] { return now.load(); };
  timing.receiveTimeoutMs = 50;
  MotionRegionTable table;
  CEventReceiver2 receiver(Endpoint(device), &table, nullptr, timing);
  ASSERT_TRUE(receiver.Start("1"));
  ASSERT_TRUE(WaitForLog(log, "keepalive 1 -> accept"));

  // Idle loops of the thread: the clock has not moved, so no keep-alive goes.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  now += 9999;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(receiver.keepAlivesSent(), 1u);
  now += 1;
  EXPECT_TRUE(WaitForLog(log, "keepalive 2 -> accept"));
  // Across the 32-bit wrap of the tick count.
  now = 0xFFFFFFFFu - 100;
  EXPECT_TRUE(WaitForLog(log, "keepalive 3 -> accept"));
  now += 10000;
  EXPECT_TRUE(WaitForLog(log, "keepalive 4 -> accept"));
  EXPECT_TRUE(receiver.IsRunning());
  receiver.Stop();
  EXPECT_EQ(receiver.keepAlivesSent(), 4u);
}

}  // namespace
}  // namespace kv::control_test
