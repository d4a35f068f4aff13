// CEventReceiver2: log-in, keep-alive and the receive loop.
#include "sdk/control/event_receiver.h"

#include <cstring>
#include <utility>

#include "KvNetClient.h"
#include "sdk/control/mctp_messages.h"
#include "sdk/platform/clock.h"

namespace kv {

namespace {
constexpr CommandTimeouts kLoginTimeouts{1000, 10000, 10000};
}  // namespace

CEventReceiver2::CEventReceiver2(DeviceEndpoint device, MotionRegionTable* table,
                                 IDeviceEventSink* sink, EventReceiverTiming timing)
    : m_device(std::move(device)), m_table(table), m_sink(sink), m_timing(std::move(timing)) {}

CEventReceiver2::~CEventReceiver2() {
  StopReceiver();
  m_socket.Close();
}

uint32_t CEventReceiver2::now() const {
  return m_timing.tickCount ? m_timing.tickCount() : platform::GetTickCount();
}

int CEventReceiver2::LogIn(const std::string& sessionId) {
  if (!OpenCommandConnection(m_socket, m_device.host, m_device.port, kLoginTimeouts)) return 0;
  const std::string request = LoginRequest(sessionId, m_device.channel);
  char reply[kMctpReplyCapacity + 1];
  long got = -1;
  if (m_socket.Send(request.data(), request.size()) == static_cast<long>(request.size())) {
    got = m_socket.Receive(reply, kMctpReplyCapacity);
  }
  reply[got > 0 ? got : 0] = '\0';
  if (got < 0 || !CheckLoginReply(reply) ||
      !m_socket.SetReceiveTimeout(m_timing.receiveTimeoutMs)) {
    m_socket.Close();
    return 0;
  }
  return 1;
}

bool CEventReceiver2::Start(const std::string& sessionId) {
  StopReceiver();
  m_stop = 0;
  if (!LogIn(sessionId)) return false;
  if (JThread::Start() != 0) {
    m_socket.Close();
    return false;
  }
  return true;
}

void CEventReceiver2::StopReceiver() {
  m_stop = 1;
  m_socket.Close();
  WaitForEnd();
  CloseHandle();
}

int CEventReceiver2::ThreadMain() {
  ThreadStarted();
  m_keepAlivesSent = 0;
  EventStreamBuffer held;
  bool keptAlive = false;
  uint32_t lastKeepAlive = 0;
  const size_t keepAliveLength = std::strlen(kKeepAliveRequest);
  for (;;) {
    const uint32_t tick = now();
    if (!keptAlive || tick - lastKeepAlive >= m_timing.keepAliveMs) {
      if (m_socket.Send(kKeepAliveRequest, keepAliveLength) != static_cast<long>(keepAliveLength)) {
        break;
      }
      keptAlive = true;
      lastKeepAlive = tick;
      ++m_keepAlivesSent;
    }

    held.DiscardIfFull();
    const long got = m_socket.Receive(held.WritePointer(), held.Room());
    // The device closed the connection: nothing more will come, so the thread ends here
    // rather than spinning on empty receives.
    if (got == 0) break;
    if (got < 0 && !m_socket.LastCallTimedOut()) break;
    if (got > 0) {
      held.Commit(static_cast<size_t>(got));
      bool endThread = false;
      std::string message;
      while (!endThread && held.NextMessage(&message)) handle(message, &endThread);
      if (endThread) break;
    }
    if (m_stop != 0) break;
  }
  return kExitValue;
}

void CEventReceiver2::handle(const std::string& message, bool* endThread) {
  const EventMessage event = ParseEventMessage(message);
  switch (event.kind) {
    case EventMessage::Kind::kMotion: {
      const uint32_t tick = now();
      for (int i = 0; i < 16; ++i) {
        if ((event.mask & (1u << i)) == 0) continue;
        int32_t rect[4];
        std::memcpy(rect, event.regions[i], sizeof rect);
        ClampRegion(rect);
        StoreRegion(*m_table, i, rect);
        std::atomic_ref(m_table->lastMotionTick[i]).store(tick);
      }
      std::atomic_ref(m_table->lastMask).store(event.mask);
      if (m_sink != nullptr) m_sink->OnDeviceEvent(KV_EVENT_MOTION, static_cast<int>(event.mask));
      break;
    }
    case EventMessage::Kind::kAlarm:
      if (m_sink != nullptr) m_sink->OnDeviceEvent(KV_EVENT_ALARM, event.alarmCode);
      break;
    case EventMessage::Kind::kEndThread:
      *endThread = true;
      break;
    case EventMessage::Kind::kIgnored:
      break;
  }
}

}  // namespace kv
