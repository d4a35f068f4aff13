// CAVSource_RTSP_UDP: the attempt / connected / lost / clean-up loop.
#include "sdk/sources/av_source_rtsp_udp.h"

#include <new>

#include "KvNetClient.h"
#include "sdk/media/av_display.h"
#include "sdk/platform/debug_output.h"

namespace kv {
namespace {

constexpr uint32_t kStopTimeoutMs = 500;
// How often a playing stream looks whether a keep-alive is due.
constexpr uint32_t kKeepAliveCheckMs = 500;

}  // namespace

CAVSource_RTSP_UDP::CAVSource_RTSP_UDP() : CAVSource_RTSP(TRANSPORT_RTSP_UDP) {}

CAVSource_RTSP_UDP::~CAVSource_RTSP_UDP() {
  Close();
  CloseHandle();
}

int CAVSource_RTSP_UDP::Open() {
  if (!openCommon()) return 0;
  m_sink.reset(new (std::nothrow) RtspMediaSink(
      SourceContext{m_link, m_stream, m_sound, m_view, m_replay, m_record, m_counters, m_notifier,
                    m_videoConduit, m_audioConduit},
      *this, true));
  if (!m_sink) return 0;
  m_videoReceiver.reset(new (std::nothrow)
                            CRTPVideoReceiver(*m_session, *m_sink, *m_stream, m_restartEvent));
  m_audioReceiver.reset(new (std::nothrow) CRTPAudioReceiver(*m_session, *m_sink, *m_stream));
  return m_videoReceiver && m_audioReceiver ? 1 : 0;
}

void CAVSource_RTSP_UDP::Close() {
  // The receivers read the session's sockets: they go first.
  m_videoReceiver.reset();
  m_audioReceiver.reset();
  closeCommon();
  m_sink.reset();
}

int CAVSource_RTSP_UDP::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_stopMutex);
    m_stopRequested = 1;
    m_stopEvent.Set();
    if (m_session) {
      m_session->SetTimeouts(kStopTimeoutMs, kStopTimeoutMs);
      // The receivers' blocking receives return; before PLAY a negotiation in progress fails.
      m_session->CloseMediaSockets();
      if (m_connected.load() == 0) m_session->CloseSockets();
    }
  }
  return StopAndJoin();
}

CAVSource_RTSP_UDP::Step CAVSource_RTSP_UDP::attempt(int* retries, bool* reconnecting) {
  // Recording never spans a reconnection.
  stopRecordings();
  if (*retries != -1 && *reconnecting) --*retries;
  m_restartEvent.Reset();
  m_connected = 0;
  setState(LINK_CONNECTING);
  if (openSockets() != 0) return Step::kEnd;
  const int started = m_session->StartSession();
  if (started == 1) return Step::kConnected;
  // A stop closes the sockets under a negotiation: that failure is not reported.
  if (StopRequested()) return Step::kEnd;
  if (started == -1) {
    report(LINK_AUTH_FAILED);
  } else {
    setState(LINK_CONNECT_FAILED);
    report(LINK_CONNECT_FAILED);
  }
  if (*retries != -1 && *retries <= 0) return Step::kEnd;
  if (!waitRetryInterval()) return Step::kEnd;
  report(LINK_RETRYING);
  *reconnecting = true;
  return Step::kAttempt;
}

CAVSource_RTSP_UDP::Step CAVSource_RTSP_UDP::play(bool* displayRunning) {
  if (StopRequested()) return Step::kCleanUp;
  applyStreamInfo();
  if (!startDisplay()) return Step::kCleanUp;
  *displayRunning = true;
  m_connected = 1;
  setState(LINK_CONNECTED);
  report(LINK_CONNECTED);
  m_videoReceiver->ClearStop();
  if (m_videoReceiver->Start() != 0) return Step::kCleanUp;
  m_audioReceiver->ClearStop();
  if (m_audioReceiver->Start() != 0) {
    m_videoReceiver->StopReceiver();
    return Step::kCleanUp;
  }
  startEvents();
  // A server that announced a session time-out gets its keep-alives from this thread, which
  // otherwise only waits.
  const bool keepAlive = m_session->SessionTimeoutSeconds() != 0;
  platform::Event* events[] = {&m_stopEvent, &m_restartEvent};
  for (;;) {
    const uint32_t woke = platform::WaitForMultipleEvents(
        events, 2, false, keepAlive ? kKeepAliveCheckMs : platform::kInfinite);
    if (woke == platform::kWaitTimeout) {
      if (m_session->KeepAlive() < 0) platform::OutputDebugString("rtsp keep-alive not sent\n");
      continue;
    }
    if (woke == platform::kWaitObject0 + 1 && !StopRequested()) return Step::kLost;
    break;
  }
  stopReceivers();
  return Step::kCleanUp;
}

void CAVSource_RTSP_UDP::stopReceivers() {
  m_videoReceiver->StopReceiver();
  m_audioReceiver->StopReceiver();
}

int CAVSource_RTSP_UDP::Run() {
  int retries = RetryCount();
  bool reconnecting = false;
  bool displayRunning = false;
  Step step = Step::kAttempt;
  while (step != Step::kEnd) {
    switch (step) {
      case Step::kAttempt:
        step = attempt(&retries, &reconnecting);
        break;
      case Step::kConnected:
        step = play(&displayRunning);
        break;
      case Step::kLost:
        setState(LINK_LOST);
        report(LINK_LOST);
        // The receivers' sockets are closed so that the audio receiver returns at once.
        m_session->CloseMediaSockets();
        stopReceivers();
        m_session->TearDown();
        stopEvents();
        stopDisplay(true);
        displayRunning = false;
        // After a stream has once played, reconnection is tried without limit.
        retries = -1;
        reconnecting = true;
        step = StopRequested() ? Step::kCleanUp : Step::kAttempt;
        break;
      case Step::kCleanUp:
        m_session->SetTimeouts(kStopTimeoutMs, kStopTimeoutMs);
        m_session->TearDown();
        m_session->CloseMediaSockets();
        m_session->CloseControlSocket();
        stopEvents();
        if (displayRunning) stopDisplay(true);
        displayRunning = false;
        step = Step::kEnd;
        break;
      case Step::kEnd:
        break;
    }
  }
  m_connected = 0;
  if (!StopRequested()) report(LINK_CLOSED);
  return kExitValue;
}

}  // namespace kv
