// CAVSource_RTSP: session and worker set-up, retry settings and waits, stream information.
#include "sdk/sources/rtsp_source.h"

#include <new>

#include "KvNetClient.h"
#include "sdk/control/control_seams.h"
#include "sdk/media/av_display.h"
#include "sdk/platform/debug_output.h"
#include "sdk/state/event_notifier.h"
#include "sdk/state/library_state.h"

namespace kv {

CAVSource_RTSP::CAVSource_RTSP(int32_t transport) : m_transport(transport) {}

CAVSource_RTSP::~CAVSource_RTSP() = default;

IDisplayControl* CAVSource_RTSP::Display() { return m_display ? m_display->Control() : nullptr; }

int CAVSource_RTSP::openCommon() {
  RtspSessionConfig config;
  config.transport = m_transport;
  config.host = m_link->host;
  // The port field is 16 bits wide; ports above 32767 are kept as their unsigned value.
  config.port = static_cast<uint16_t>(m_link->port);
  config.channel = m_link->param.channel;
  config.user = m_link->param.userName;
  config.password = m_link->param.password;
  config.connectTimeoutMs =
      static_cast<uint32_t>(Library().waitTimes.connectTimeout.load()) * 1000u;
  m_session.reset(new (std::nothrow) CRtspSession(config));
  m_display.reset(new (std::nothrow) CAVDisplay());
  if (!m_session || !m_display) return 0;
  m_display->Bind(displayBinding());
  return 1;
}

void CAVSource_RTSP::closeCommon() {
  m_session.reset();
  m_display.reset();
}

int CAVSource_RTSP::RetryCount() { return Library().waitTimes.retryCount.load(); }

uint32_t CAVSource_RTSP::RetryIntervalMs() {
  const int seconds = Library().waitTimes.retryInterval.load();
  return seconds > 0 ? static_cast<uint32_t>(seconds) * 1000u : 0u;
}

bool CAVSource_RTSP::waitRetryInterval() {
  if (StopRequested()) return false;
  const uint32_t interval = RetryIntervalMs();
  if (interval != 0 && m_stopEvent.Wait(interval) == platform::kWaitObject0) return false;
  return !StopRequested();
}

int CAVSource_RTSP::openSockets() {
  std::lock_guard<std::mutex> lock(m_stopMutex);
  if (StopRequested()) return -3;
  return m_session->OpenSockets();
}

void CAVSource_RTSP::applyStreamInfo() {
  const RtspStreamInfo& info = m_session->StreamInfo();
  m_stream->videoCodec = info.videoCodec;
  m_stream->audioCodec = info.audioCodec;
  if (info.banner.deviceGeneration) m_stream->deviceGeneration = 1;
  if (info.banner.sizeStated) {
    m_stream->width = info.banner.width;
    m_stream->height = info.banner.height;
    m_stream->frameRate = info.banner.frameRate;
    m_stream->bitRate = info.banner.bitRate;
    m_stream->sizeFromPicture = 0;
  } else {
    // No size from the device: the first decoded picture tells it.
    m_stream->sizeFromPicture = 1;
  }
}

bool CAVSource_RTSP::startDisplay() {
  if (m_display->SetupDecoder() == 0) {
    platform::OutputDebugString("rtsp source: decoder set-up failed\n");
    return false;
  }
  if (m_display->Start() != 0) {
    m_display->ReleaseDecoder();
    return false;
  }
  return true;
}

void CAVSource_RTSP::stopDisplay(bool release) {
  m_display->SetStopFlag();
  if (m_display->WaitForEnd(platform::kInfinite) == platform::kWaitObject0)
    m_display->CloseHandle();
  if (release) m_display->ReleaseDecoder();
}

bool CAVSource_RTSP::startEvents() {
  if (m_events == nullptr) return false;
  // A failed log-in leaves the stream without device events.
  return m_events->Start(m_session->SessionId());
}

void CAVSource_RTSP::stopEvents() {
  if (m_events != nullptr) m_events->Stop();
}

void CAVSource_RTSP::report(int code) { m_notifier->Notify(KV_EVENT_LINK, code); }

void CAVSource_RTSP::setState(int state) { m_link->state = state; }

void CAVSource_RTSP::stopRecordings() {
  if (IsRecording()) StopRecord();
  if (IsAlarmRecording()) StopAlarmRecord();
}

}  // namespace kv
