// The RTP receiver threads.
#include "sdk/sources/rtp_receivers.h"

#include <new>

#include "sdk/platform/clock.h"
#include "sdk/platform/debug_output.h"
#include "sdk/sources/rtp_packet.h"
#include "sdk/sources/rtsp_session.h"
#include "sdk/state/client_state.h"

namespace kv {
namespace {

constexpr size_t kVideoDatagram = 65536;
constexpr size_t kAudioDatagram = 2048;
constexpr int32_t kAudioClearLevel = 1024;

}  // namespace

CRTPVideoReceiver::CRTPVideoReceiver(CRtspSession& session, RtspMediaSink& sink,
                                     const StreamDescription& stream, platform::Event& restart)
    : m_session(session), m_sink(sink), m_stream(stream), m_restart(restart) {}

CRTPVideoReceiver::~CRTPVideoReceiver() { StopReceiver(); }

void CRTPVideoReceiver::StopReceiver() {
  m_stop = 1;
  if (WaitForEnd(platform::kInfinite) == platform::kWaitObject0) CloseHandle();
}

int CRTPVideoReceiver::ThreadMain() {
  ThreadStarted();
  if (!m_datagram) m_datagram.reset(new (std::nothrow) uint8_t[kVideoDatagram]);
  if (!m_datagram || !m_rules.Begin(m_stream)) {
    m_restart.Set();
    return kNoMemory;
  }
  m_sink.Begin();
  platform::Socket& socket = m_session.VideoSocket();
  while (m_stop.load() == 0) {
    platform::SocketAddress from;
    const long n = socket.ReceiveFrom(m_datagram.get(), kVideoDatagram, &from);
    if (n < 0) {
      // Failed, closed, or silent for the socket's receive time-out: the stream is lost.
      if (m_stop.load() == 0) platform::OutputDebugString("rtp video receive failed\n");
      m_restart.Set();
      break;
    }
    m_rules.Process(m_datagram.get(), static_cast<size_t>(n), platform::GetTickCount(), m_sink);
  }
  return kExitValue;
}

CRTPAudioReceiver::CRTPAudioReceiver(CRtspSession& session, RtspMediaSink& sink,
                                     const StreamDescription& stream)
    : m_session(session), m_sink(sink), m_stream(stream), m_audio(kAudioClearLevel) {}

CRTPAudioReceiver::~CRTPAudioReceiver() { StopReceiver(); }

void CRTPAudioReceiver::StopReceiver() {
  m_stop = 1;
  if (WaitForEnd(platform::kInfinite) == platform::kWaitObject0) CloseHandle();
}

int CRTPAudioReceiver::ThreadMain() {
  ThreadStarted();
  if (!m_datagram) m_datagram.reset(new (std::nothrow) uint8_t[kAudioDatagram]);
  if (!m_datagram || !m_audio.Reset(m_stream.audioCodec.load())) return kExitValue;
  platform::Socket& socket = m_session.AudioSocket();
  while (m_stop.load() == 0) {
    platform::SocketAddress from;
    const long n = socket.ReceiveFrom(m_datagram.get(), kAudioDatagram, &from);
    // A failed socket ends the sound until the next connection; the source is not told.
    if (n <= 0) break;
    RtpPacket packet;
    if (ParseRtpPacket(m_datagram.get(), static_cast<size_t>(n), &packet)) {
      m_audio.Process(packet, m_sink);
    }
  }
  return kExitValue;
}

}  // namespace kv
