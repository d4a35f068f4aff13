// CTalk2VS: one client's two-way talk session. Its thread connects to the device's control
// port, asks for a talk channel with "CMD:TALK", runs a send worker (and a receive worker when
// the device sends audio) on that connection, and reconnects whenever either direction fails,
// every 10 s while the device refuses, until the session is halted.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "sdk/control/command_socket.h"
#include "sdk/control/control_seams.h"
#include "sdk/control/talk_frames.h"
#include "sdk/control/talk_workers.h"
#include "sdk/platform/event.h"
#include "sdk/platform/jthread.h"

namespace kv {

struct TalkSettings {
  DeviceEndpoint device;
  // The client's device-generation flag, read at every connection (null: 0).
  const std::atomic<int32_t>* deviceGeneration = nullptr;
  // Wave devices (empty: the defaults, KVNET_AUDIO_IN / KVNET_AUDIO_OUT).
  std::string captureDevice;
  std::string playbackDevice;
  // Time between two connection attempts.
  uint32_t retryMs = 10000;
};

class CTalk2VS : public platform::JThread, public ITalkSession {
 public:
  explicit CTalk2VS(TalkSettings settings);
  ~CTalk2VS() override;

  // Starts the session thread; false when it could not be started.
  bool StartSession();
  // ITalkSession: stop flag, stop event, socket closed (unblocking the workers), join.
  void Halt() override;

  // Observations for tests and tools.
  bool deviceSendsAudio() const { return m_deviceSendsAudio.load(); }
  uint32_t connections() const { return m_connections.load(); }
  uint32_t attempts() const { return m_attempts.load(); }

 protected:
  int ThreadMain() override;

 private:
  bool connectAndRequest();
  void stopWorkers();

  TalkSettings m_settings;
  CommandSocket m_socket;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_deviceSendsAudio{false};
  TalkCodec m_codec{};  // of the current connection; session thread only
  platform::Event m_stopEvent{true, false};
  platform::Event m_sendFailed{true, false};
  platform::Event m_receiveFailed{true, false};
  std::unique_ptr<CSendThread> m_send;
  std::unique_ptr<CRecvThread> m_recv;
  std::atomic<uint32_t> m_connections{0};
  std::atomic<uint32_t> m_attempts{0};
};

}  // namespace kv
