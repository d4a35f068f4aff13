// CRtspSession: sockets, the request/answer exchange and the negotiation.
#include "sdk/sources/rtsp_session.h"

#include <algorithm>
#include <cstring>

#include "KvNetClient.h"
#include "sdk/platform/clock.h"
#include "sdk/platform/debug_output.h"
#include "sdk/sources/digest_auth.h"
#include "sdk/sources/sdp_description.h"

namespace kv {
namespace {

constexpr uint32_t kRtpReceiveTimeoutMs = 10000;
constexpr int kRtpReceiveBuffer = 65536;
constexpr size_t kMaxRequest = 2047;

}  // namespace

long CRtspSession::ControlStream::Receive(void* buffer, size_t length) {
  std::vector<uint8_t>& pending = m_session.m_pending;
  if (!pending.empty()) {
    const size_t n = std::min(length, pending.size());
    std::memcpy(buffer, pending.data(), n);
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(n));
    return static_cast<long>(n);
  }
  return m_session.m_control.Receive(buffer, length);
}

void CRtspSession::ControlStream::PushBack(const uint8_t* data, size_t length) {
  std::vector<uint8_t>& pending = m_session.m_pending;
  pending.insert(pending.begin(), data, data + length);
}

CRtspSession::CRtspSession(const RtspSessionConfig& config)
    : m_config(config), m_clock([] { return platform::GetTickCount(); }) {}

CRtspSession::~CRtspSession() {
  m_video.Close();
  m_audio.Close();
  std::lock_guard<std::mutex> lock(m_lock);
  m_control.Close();
}

int CRtspSession::OpenSockets() {
  CloseMediaSockets();
  CloseControlSocket();
  m_pending.clear();
  const platform::ResolveResult resolved = platform::ResolveHost(
      m_config.host, static_cast<uint16_t>(m_config.port), platform::SocketType::kTcp);
  if (resolved.error != 0 || resolved.addresses.empty()) return -2;
  m_device = resolved.addresses.front();
  m_family = m_device.Family();
  bool ok = false;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_config.transport == TRANSPORT_RTSP_UDP) {
      ok = m_control.Open(m_family, platform::SocketType::kTcp) &&
           m_video.Open(m_family, platform::SocketType::kUdp) &&
           m_audio.Open(m_family, platform::SocketType::kUdp);
    } else if (m_config.transport == TRANSPORT_RTSP_TCP) {
      ok = m_control.Open(m_family, platform::SocketType::kTcp);
    }
  }
  if (!ok) {
    CloseSockets();
    return -1;
  }
  return 0;
}

int CRtspSession::SetTimeouts(uint32_t receiveMs, uint32_t sendMs) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (!m_control.IsOpen()) return 0;
  if (!m_control.SetSendTimeout(sendMs) || !m_control.SetReceiveTimeout(receiveMs)) return 0;
  m_receiveTimeoutMs = receiveMs;
  return 1;
}

void CRtspSession::CloseMediaSockets() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_video.Close();
  m_audio.Close();
}

void CRtspSession::CloseControlSocket() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_control.Close();
}

void CRtspSession::CloseSockets() {
  CloseMediaSockets();
  CloseControlSocket();
}

bool CRtspSession::sendRequest(const std::string& request) {
  if (request.size() > kMaxRequest) return false;
  return m_control.SendAll(request.data(), request.size()) == static_cast<long>(request.size());
}

// Reads one answer: to the end of its headers and of its Content-Length body, within the
// buffer and the receive time-out. Bytes past the answer stay for the next read.
bool CRtspSession::readAnswer() {
  m_responseLength = 0;
  m_response[0] = '\0';
  const uint32_t start = m_clock();
  while (m_responseLength < kRtspAnswerCapacity) {
    if (m_pending.empty() && m_responseLength > 0) {
      const uint32_t spent = m_clock() - start;
      if (spent >= m_receiveTimeoutMs || m_control.WaitReadable(m_receiveTimeoutMs - spent) != 1) {
        break;
      }
    }
    const long n =
        m_stream.Receive(m_response + m_responseLength, kRtspAnswerCapacity - m_responseLength);
    if (n <= 0) break;
    m_responseLength += static_cast<size_t>(n);
    const size_t whole = RtspMessageLength(m_response, m_responseLength);
    if (whole > 0) {
      m_stream.PushBack(reinterpret_cast<const uint8_t*>(m_response) + whole,
                        m_responseLength - whole);
      m_responseLength = whole;
      break;
    }
  }
  m_response[m_responseLength] = '\0';
  return m_responseLength > 0;
}

bool CRtspSession::bindRtpSocket(platform::Socket& socket, uint16_t firstPort, uint16_t* port) {
  if (!socket.SetReceiveTimeout(kRtpReceiveTimeoutMs) ||
      !socket.SetReceiveBufferSize(kRtpReceiveBuffer)) {
    return false;
  }
  // Even ports from the first one; RTCP is not used, so nothing is bound to p + 1.
  for (uint32_t p = firstPort; p <= 65534; p += 2) {
    if (socket.BindAny(static_cast<uint16_t>(p))) {
      *port = static_cast<uint16_t>(p);
      return true;
    }
    if (!socket.IsOpen()) return false;
  }
  return false;
}

// The track URLs: "trackID=" characters when the answer has them, else the a=control of the
// first video and audio sections.
bool CRtspSession::chooseTracks() {
  m_videoTrackUrl.clear();
  m_audioTrackUrl.clear();
  char video = 0, audio = 0;
  FindTrackIds(m_response, &video, &audio);
  if (std::strstr(m_response, "trackID=") != nullptr) {
    if (video == 0) return false;
    m_videoTrackUrl = m_url + "/trackID=" + video;
    if (audio != 0) m_audioTrackUrl = m_url + "/trackID=" + audio;
    return true;
  }
  std::string base = HeaderValue(m_response, "Content-Base");
  if (base.empty()) base = m_url;
  if (!FindControlUrls(m_response, base, &m_videoTrackUrl, &m_audioTrackUrl)) return false;
  return m_videoTrackUrl.size() <= kMaxUrl && m_audioTrackUrl.size() <= kMaxUrl;
}

int CRtspSession::StartSession() {
  m_playing = false;
  m_sessionTimeout = 0;
  m_keepAliveOptions = false;
  m_keepAliveCSeq = -1;
  const int result = startSession();
  if (result == 1) {
    m_playing = true;
    m_lastKeepAlive = m_clock();
  }
  return result;
}

int CRtspSession::startSession() {
  m_credentials = RtspCredentials{};
  m_credentials.user = m_config.user;
  m_credentials.password = m_config.password;
  m_cseq = 1;
  m_sessionId.clear();
  m_info = RtspStreamInfo{};
  m_url = RtspUrl(m_config.host, m_config.port, m_config.channel);
  if (m_url.size() > kMaxUrl) return 0;
  if (SetTimeouts(5000, 5000) == 0) return 0;

  const platform::ResolveResult resolved = platform::ResolveHost(
      m_config.host, static_cast<uint16_t>(m_config.port), platform::SocketType::kTcp);
  if (resolved.error != 0 || resolved.addresses.empty()) return 0;
  if (m_control.Connect(resolved.addresses.front(), m_config.connectTimeoutMs) != 0) return 0;

  if (!exchange(DescribeRequest(m_url, nextCSeq()))) return 0;
  ParseBannerFirstForm(m_response, &m_info.banner);
  if (std::strstr(m_response, "401 Unauthorized") != nullptr) {
    m_credentials.active = true;
    if (ParseDigestChallenge(m_response, &m_credentials.realm, &m_credentials.nonce) !=
        ChallengeResult::kOk) {
      return 0;
    }
    const std::string response =
        DigestResponse(m_credentials.user, m_credentials.realm, m_credentials.password,
                       m_credentials.nonce, "DESCRIBE", m_url);
    if (!exchange(DescribeWithCredentials(m_url, nextCSeq(), m_credentials.user,
                                          m_credentials.realm, m_credentials.nonce, response))) {
      return 0;
    }
    if (!AnswerOk(m_response)) return -1;
  } else if (!AnswerOk(m_response)) {
    return 0;
  }

  if (!chooseTracks()) return 0;
  ParseBannerSecondForm(m_response, &m_info.banner);
  const StreamCodecs codecs = DetectCodecs(m_response);
  m_info.videoCodec = codecs.video;
  m_info.audioCodec = codecs.audio;

  const bool udp = m_config.transport == TRANSPORT_RTSP_UDP;
  if (udp && !bindRtpSocket(m_video, kVideoFirstPort, &m_videoPort)) return 0;
  const std::string firstTransport = udp ? UdpTransportLine(m_videoPort) : TcpTransportLine(false);
  if (!exchange(SetupRequest(m_videoTrackUrl, nextCSeq(), std::string(), firstTransport,
                             AuthorizationLine(m_credentials, "SETUP", m_url))) ||
      !AnswerOk(m_response)) {
    return 0;
  }
  if (ParseSessionId(m_response, &m_sessionId, &m_sessionTimeout) == SessionIdResult::kTooLong) {
    return 0;
  }

  if (udp && !bindRtpSocket(m_audio, kAudioFirstPort, &m_audioPort)) return 0;
  if (!m_audioTrackUrl.empty()) {
    const std::string secondTransport =
        udp ? UdpTransportLine(m_audioPort) : TcpTransportLine(true);
    if (!exchange(SetupRequest(m_audioTrackUrl, nextCSeq(), m_sessionId, secondTransport,
                               AuthorizationLine(m_credentials, "SETUP", m_url))) ||
        !AnswerOk(m_response)) {
      return 0;
    }
  }
  if (!exchange(PlayRequest(m_url, nextCSeq(), m_sessionId,
                            AuthorizationLine(m_credentials, "PLAY", m_url))) ||
      !AnswerOk(m_response)) {
    return 0;
  }
  return 1;
}

int CRtspSession::TearDown() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_playing = false;
  if (m_control.IsOpen()) {
    platform::OutputDebugString("CRtspSession::TearDown\n");
    if (exchange(SessionRequest("TEARDOWN", m_url, nextCSeq(), m_sessionId,
                                AuthorizationLine(m_credentials, "TEARDOWN", m_url))) &&
        AnswerOk(m_response)) {
      return 1;
    }
  }
  platform::OutputDebugString("CRtspSession::TearDown return\n");
  return 0;
}

int CRtspSession::TearDownNoReply() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_playing = false;
  if (!m_control.IsOpen()) return 0;
  return sendRequest(SessionRequest("TEARDOWN", m_url, nextCSeq(), m_sessionId,
                                    AuthorizationLine(m_credentials, "TEARDOWN", m_url)))
             ? 1
             : 0;
}

int CRtspSession::ReadInterleaved(uint8_t* out, int32_t* outLength) {
  return ReadInterleavedPacket(m_stream, out, kInterleavedBuffer, outLength);
}

int CRtspSession::KeepAlive() {
  if (!m_playing || m_sessionTimeout == 0) return 0;
  const uint32_t now = m_clock();
  const uint64_t interval = static_cast<uint64_t>(m_sessionTimeout) * 1000 / 2;
  if (now - m_lastKeepAlive < interval) return 0;
  m_lastKeepAlive = now;
  const char* method = m_keepAliveOptions ? "OPTIONS" : "GET_PARAMETER";
  std::lock_guard<std::mutex> lock(m_lock);
  if (!m_control.IsOpen()) return -1;
  m_keepAliveCSeq = m_cseq;
  if (!sendRequest(SessionRequest(method, m_url, nextCSeq(), m_sessionId,
                                  AuthorizationLine(m_credentials, method, m_url)))) {
    return -1;
  }
  // Over UDP nothing else arrives on the control connection: read the answer here.
  if (m_config.transport == TRANSPORT_RTSP_UDP && readAnswer() && !AnswerOk(m_response)) {
    m_keepAliveOptions = true;
  }
  return 1;
}

void CRtspSession::OnInterleavedText(const uint8_t* text, int32_t length) {
  if (m_keepAliveCSeq < 0 || m_keepAliveOptions || text == nullptr || length <= 0) return;
  const std::string answer(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
  if (answer.rfind("RTSP/1.0 ", 0) != 0) return;
  if (HeaderValue(answer.c_str(), "CSeq") != std::to_string(m_keepAliveCSeq)) return;
  if (!AnswerOk(answer.c_str())) m_keepAliveOptions = true;
}

}  // namespace kv
