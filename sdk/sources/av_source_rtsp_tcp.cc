// CAVSource_RTSP_TCP: the attempt / connected / lost / end loop and the interleaved reads.
#include "sdk/sources/av_source_rtsp_tcp.h"

#include <new>

#include "KvNetClient.h"
#include "sdk/media/av_display.h"
#include "sdk/media/conduit.h"
#include "sdk/platform/clock.h"
#include "sdk/platform/debug_output.h"
#include "sdk/sources/interleaved_reader.h"

namespace kv {
namespace {

constexpr int32_t kAudioClearLevel = 3072;
constexpr uint32_t kStopTimeoutMs = 2000;

}  // namespace

CAVSource_RTSP_TCP::CAVSource_RTSP_TCP()
    : CAVSource_RTSP(TRANSPORT_RTSP_TCP), m_audio(kAudioClearLevel) {}

CAVSource_RTSP_TCP::~CAVSource_RTSP_TCP() {
  Close();
  CloseHandle();
}

int CAVSource_RTSP_TCP::Open() {
  if (!openCommon()) return 0;
  m_sink.reset(new (std::nothrow) RtspMediaSink(
      SourceContext{m_link, m_stream, m_sound, m_view, m_replay, m_record, m_counters, m_notifier,
                    m_videoConduit, m_audioConduit},
      *this, false));
  m_packet.reset(new (std::nothrow) uint8_t[kInterleavedBuffer]);
  return m_sink && m_packet ? 1 : 0;
}

void CAVSource_RTSP_TCP::Close() {
  closeCommon();
  m_sink.reset();
  m_packet.reset();
}

int CAVSource_RTSP_TCP::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_stopMutex);
    m_stopRequested = 1;
    m_stopEvent.Set();
    if (m_session) {
      m_session->SetTimeouts(kStopTimeoutMs, kStopTimeoutMs);
      if (m_connected.load() != 0) m_session->TearDownNoReply();
      // Closing the connection makes a blocked read, a connect or an answer wait return now.
      m_session->CloseSockets();
    }
  }
  return StopAndJoin();
}

CAVSource_RTSP_TCP::Step CAVSource_RTSP_TCP::attempt(int* retries, bool* reconnecting) {
  m_connected = 0;
  if (*retries != -1 && *reconnecting) --*retries;
  setState(LINK_CONNECTING);
  report(LINK_CONNECTING);
  stopRecordings();
  if (openSockets() != 0) return Step::kEnd;
  const int started = m_session->StartSession();
  if (started == 1) return Step::kConnected;
  if (started == -1) report(LINK_AUTH_FAILED);
  if (*retries != -1 && *retries <= 0) {
    setState(LINK_CLOSED);
    return Step::kEnd;
  }
  if (!waitRetryInterval()) return Step::kEnd;
  setState(LINK_RETRYING);
  report(LINK_RETRYING);
  *reconnecting = true;
  return Step::kAttempt;
}

CAVSource_RTSP_TCP::Step CAVSource_RTSP_TCP::play(bool* displayRunning) {
  if (StopRequested()) return Step::kEnd;
  applyStreamInfo();
  m_connected = 1;
  setState(LINK_CONNECTED);
  report(LINK_CONNECTED);
  startEvents();
  if (!startDisplay()) return Step::kEnd;
  m_view->framesWaiting = 0;
  *displayRunning = true;
  if (!m_audio.Reset(m_stream->audioCodec.load())) return Step::kEnd;
  m_videoConduit->Clear();
  m_audioConduit->Clear();
  m_sink->Begin();
  if (!m_video.Begin(*m_stream)) return Step::kEnd;

  while (!StopRequested()) {
    int32_t length = 0;
    const int channel = m_session->ReadInterleaved(m_packet.get(), &length);
    if (StopRequested()) return Step::kEnd;
    if (channel < 0) return Step::kLost;
    if (channel == kInterleavedText) {
      m_session->OnInterleavedText(m_packet.get(), length);
    } else {
      handlePacket(channel, m_packet.get(), length);
    }
    if (m_session->KeepAlive() < 0) return Step::kLost;
  }
  return Step::kEnd;
}

void CAVSource_RTSP_TCP::handlePacket(int channel, uint8_t* packet, int32_t length) {
  if (length <= 0) return;
  if (channel == 0) {
    m_video.Process(packet, static_cast<size_t>(length), platform::GetTickCount(), *m_sink);
  } else if (channel == 2) {
    RtpPacket rtp;
    if (ParseRtpPacket(packet, static_cast<size_t>(length), &rtp)) m_audio.Process(rtp, *m_sink);
  }
  // Channels 1 and 3 carry RTCP, which is not used.
}

int CAVSource_RTSP_TCP::Run() {
  int retries = RetryCount();
  bool reconnecting = false;
  bool displayRunning = false;
  Step step = Step::kAttempt;
  while (step != Step::kEnd) {
    if (step == Step::kAttempt) {
      step = attempt(&retries, &reconnecting);
    } else if (step == Step::kConnected) {
      // From the first play on, reconnection is tried without limit.
      retries = -1;
      step = play(&displayRunning);
    } else {
      setState(LINK_LOST);
      report(LINK_LOST);
      stopEvents();
      if (displayRunning) stopDisplay(true);
      displayRunning = false;
      // No TEARDOWN: the next OpenSockets closes the old connection.
      step = StopRequested() ? Step::kEnd : Step::kAttempt;
    }
  }
  m_connected = 0;
  stopEvents();
  if (displayRunning) stopDisplay(true);
  if (!StopRequested()) report(LINK_CLOSED);
  return kExitValue;
}

}  // namespace kv
