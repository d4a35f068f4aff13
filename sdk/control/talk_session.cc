// CTalk2VS: connection, talk request, workers and reconnection.
#include "sdk/control/talk_session.h"

#include <utility>

#include "sdk/control/mctp_messages.h"
#include "sdk/control/talk_frames.h"

namespace kv {

using namespace kv::platform;

namespace {
constexpr CommandTimeouts kTalkTimeouts{3000, 10000, 10000};

TalkCodec currentCodec(const TalkSettings& settings) {
  return TalkCodecForGeneration(settings.deviceGeneration ? settings.deviceGeneration->load() : 0);
}

}  // namespace

CTalk2VS::CTalk2VS(TalkSettings settings) : m_settings(std::move(settings)) {}

CTalk2VS::~CTalk2VS() { Halt(); }

bool CTalk2VS::StartSession() { return JThread::Start() == 0; }

void CTalk2VS::Halt() {
  m_stop = true;
  m_stopEvent.Set();
  m_socket.Abort();
  WaitForEnd();
  CloseHandle();
}

bool CTalk2VS::connectAndRequest() {
  ++m_attempts;
  const platform::SocketAddress address =
      ResolveDevice(m_settings.device.host, m_settings.device.port);
  m_socket.Close();
  if (m_stop || !address.IsValid()) return false;
  if (!m_socket.Create(kTalkTimeouts.connectMs, kTalkTimeouts.sendMs, kTalkTimeouts.receiveMs,
                       address.Family())) {
    return false;
  }
  m_socket.SetNoDelay();
  m_socket.SetSendBuffer();
  m_socket.SetReceiveBuffer();
  if (!m_socket.Connect(address)) {
    m_socket.Close();
    return false;
  }
  m_codec = currentCodec(m_settings);
  const std::string request = TalkRequest(m_settings.device.channel, m_codec.wireCodec);
  char reply[kMctpReplyCapacity + 1];
  long got = -1;
  if (m_socket.Send(request.data(), request.size()) == static_cast<long>(request.size())) {
    got = m_socket.Receive(reply, kMctpReplyCapacity);
  }
  reply[got > 0 ? got : 0] = '\0';
  const TalkReply checked = got < 0 ? TalkReply{} : CheckTalkReply(reply);
  if (!checked.accepted) {
    m_socket.Close();
    return false;
  }
  m_deviceSendsAudio = checked.deviceSendsAudio;
  ++m_connections;
  return true;
}

void CTalk2VS::stopWorkers() {
  if (m_recv) {
    m_recv->StopAndJoin();
    m_recv->CloseDevice();
    m_recv.reset();
  }
  if (m_send) {
    m_send->StopAndJoin();
    m_send->CloseDevice();
    m_send.reset();
  }
}

int CTalk2VS::ThreadMain() {
  ThreadStarted();
  for (;;) {
    m_socket.Close();
    stopWorkers();
    // Between attempts the thread waits on the stop event, so a halt ends the wait at once.
    while (!connectAndRequest()) {
      if (m_stop || m_stopEvent.Wait(m_settings.retryMs) == kWaitObject0) break;
    }
    if (m_stop) break;

    m_sendFailed.Reset();
    m_receiveFailed.Reset();
    const int32_t mode = m_codec.mode;
    if (m_deviceSendsAudio) {
      m_recv = std::make_unique<CRecvThread>(&m_socket, &m_receiveFailed, mode,
                                             m_settings.playbackDevice);
      if (!m_recv->OpenDevice()) break;
      if (m_recv->Start() != 0) break;
    }
    m_send =
        std::make_unique<CSendThread>(&m_socket, &m_sendFailed, mode, m_settings.captureDevice);
    if (!m_send->OpenDevice()) break;
    if (m_send->Start() != 0) break;

    Event* events[] = {&m_stopEvent, &m_sendFailed, &m_receiveFailed};
    if (WaitForMultipleEvents(events, 3, false, kInfinite) == kWaitObject0) break;
  }
  m_socket.Close();
  stopWorkers();
  return 0;
}

}  // namespace kv
