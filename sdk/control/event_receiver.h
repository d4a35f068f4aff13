// CEventReceiver2: the device's event connection while an RTSP stream plays. It logs in with
// the RTSP session id, sends a keep-alive every 10 s, and turns motion and alarm reports into
// caller events and updates of the client's motion-region table.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "sdk/control/command_socket.h"
#include "sdk/control/control_seams.h"
#include "sdk/control/event_stream.h"
#include "sdk/platform/jthread.h"
#include "sdk/state/motion_regions.h"

namespace kv {

// The clock and intervals of the receiver; tests shorten or drive them.
struct EventReceiverTiming {
  std::function<uint32_t()> tickCount;  // milliseconds; the platform tick count when empty
  uint32_t keepAliveMs = 10000;
  int receiveTimeoutMs = 1000;  // after the log-in: how often the loop looks at its clock
};

class CEventReceiver2 : public platform::JThread, public IEventReceiver {
 public:
  static constexpr int kExitValue = 13;

  // table and sink are the client's and outlive the receiver.
  CEventReceiver2(DeviceEndpoint device, MotionRegionTable* table, IDeviceEventSink* sink,
                  EventReceiverTiming timing = {});
  ~CEventReceiver2() override;

  // 1 when the device accepted the log-in; the connection then stays open, else it is closed.
  int LogIn(const std::string& sessionId);
  // Sets the stop flag, closes the connection (a blocked receive returns at once) and joins.
  void StopReceiver();

  // IEventReceiver: LogIn, then the thread; a running receiver is stopped first.
  bool Start(const std::string& sessionId) override;
  void Stop() override { StopReceiver(); }
  bool IsRunning() const override { return JThread::IsRunning(); }

  // Keep-alives sent by the current or last thread (tests and diagnostics).
  uint32_t keepAlivesSent() const { return m_keepAlivesSent.load(); }

 protected:
  int ThreadMain() override;

 private:
  uint32_t now() const;
  void handle(const std::string& message, bool* endThread);

  DeviceEndpoint m_device;
  MotionRegionTable* m_table;
  IDeviceEventSink* m_sink;
  EventReceiverTiming m_timing;
  std::atomic<int32_t> m_stop{0};
  CommandSocket m_socket;
  std::atomic<uint32_t> m_keepAlivesSent{0};
};

}  // namespace kv
