// A live RTSP client against the device simulator, through the public C interface: the
// simulator on a free loopback port, pictures drawn into a headless window, sound written by
// the WAV audio backend, and the events in the test program's event log.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/platform/headless_window.h"
#include "sdk/platform/surface_headless.h"
#include "sdk/platform/window_system.h"
#include "tests/support/event_log.h"
#include "tests/support/record_writers.h"
#include "tests/support/xvfb.h"
#include "tests/tools/rtsp_bare_client.h"

namespace rtsp_live {

namespace fs = std::filesystem;
using kv::test::ReadWavSamples;
using kvdevice_rtsp_test::Device;

// The link codes reported so far, in order.
inline std::vector<int> LinkCodes() { return kv::test::EventCodes(KV_EVENT_LINK); }

inline int Count(int eventClass, int code) { return kv::test::CountEvents(eventClass, code); }

// Waits until done() holds or the time is up (generous: a loaded machine is slow).
template <typename Condition>
bool WaitUntil(Condition done, int seconds = 20) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

struct ClientOptions {
  ClientOptions(int transport_, int port_) : transport(transport_), port(port_) {}
  int transport;
  int port;
  std::string host = "127.0.0.1";
  std::string user, password;
  bool view = true;
};

class RtspLive : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = kv::platform::ReplaceWindowSystemForTest(
        std::make_unique<kv::platform::HeadlessWindowSystem>());
    kv::platform::HeadlessDisplay::Get().Reset();
    window_ = kv::platform::GetHeadlessWindowSystem()->CreateWindow(0, 0, 320, 240, true);
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    dir_ = fs::temp_directory_path() / ("kvnet-rtsp-" + std::to_string(getpid()) + "-" + name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    wav_ = (dir_ / "out.wav").string();
    audio_ = std::make_unique<kv::test::ScopedEnv>("KVNET_AUDIO_OUT", ("wav:" + wav_).c_str());
    KVNET_Startup(0, 0, kv::test::RecordEvent, 0);
    kv::test::ClearEvents();
  }
  void TearDown() override {
    if (handle_ != nullptr) KVNET_ClientStop(handle_);
    handle_ = nullptr;
    KVNET_SetWaitTime(5, 1, 10);
    KVNET_SetAVCallback(nullptr);
    KVNET_Startup(0, 0, nullptr, 0);
    audio_.reset();
    kv::platform::HeadlessDisplay::Get().Reset();
    if (previous_ || kv::platform::GetHeadlessWindowSystem() != nullptr) {
      kv::platform::ReplaceWindowSystemForTest(std::move(previous_));
    }
    fs::remove_all(dir_);
  }

  KVNET_HANDLE Start(const ClientOptions& o) {
    KVNET_CLIENT_PARAM p;
    std::memset(&p, 0, sizeof p);
    p.transport = static_cast<int16_t>(o.transport);
    p.view = o.view ? 1 : 0;
    p.videoWnd = window_;
    p.channel = 1;
    std::snprintf(p.address, sizeof p.address, "%s:%d", o.host.c_str(), o.port);
    std::snprintf(p.userName, sizeof p.userName, "%s", o.user.c_str());
    std::snprintf(p.password, sizeof p.password, "%s", o.password.c_str());
    handle_ = KVNET_ClientStart(&p);
    return handle_;
  }
  // Stops the client; true when KVNET_ClientStop returned within the bound.
  bool StopWithin(int seconds) {
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(KVNET_ClientStop(handle_), 1);
    handle_ = nullptr;
    return std::chrono::steady_clock::now() - begin < std::chrono::seconds(seconds);
  }
  kv::CNetClient& Client() const { return *kv::CNetClient::FromHandle(handle_); }
  uint32_t Pictures() const { return Client().m_counters.frameCount.load(); }

  std::unique_ptr<kv::platform::WindowSystem> previous_;
  kv::platform::WindowId window_ = 0;
  fs::path dir_;
  std::string wav_;
  std::unique_ptr<kv::test::ScopedEnv> audio_;
  KVNET_HANDLE handle_ = nullptr;
};

}  // namespace rtsp_live
