// CRtspSession: one RTSP/1.0 negotiation with the device (DESCRIBE with Digest, SETUP of one or
// two tracks, PLAY, TEARDOWN, keep-alives) and the sockets that carry the stream: the control
// connection, and for RTP over UDP the two bound RTP sockets.
//
// StartSession, ReadInterleaved and KeepAlive run on the source's receive thread without the
// lock; OpenSockets, SetTimeouts, the tear-downs and the close operations take it, because the
// stop path calls them from the caller's thread while the receive thread may be blocked on the
// same sockets (closing a socket or shortening its time-outs makes that call return).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/platform/socket.h"
#include "sdk/sources/interleaved_reader.h"
#include "sdk/sources/rtsp_answer.h"
#include "sdk/sources/rtsp_requests.h"

namespace kv {

// What the session needs from its client.
struct RtspSessionConfig {
  int32_t transport = 0;  // TRANSPORT_RTSP_UDP or TRANSPORT_RTSP_TCP
  std::string host;
  int32_t port = 554;
  int32_t channel = 1;
  std::string user, password;
  uint32_t connectTimeoutMs = 5000;
};

// What the session learns about the stream; the source copies it into its client.
struct RtspStreamInfo {
  uint8_t videoCodec = 0;
  uint8_t audioCodec = 0;
  StreamBanner banner;  // size, frame rate and bit rate when the Server banner stated them
};

class CRtspSession {
 public:
  static constexpr uint16_t kVideoFirstPort = 1600;
  static constexpr uint16_t kAudioFirstPort = 1800;
  static constexpr size_t kMaxUrl = 255;

  explicit CRtspSession(const RtspSessionConfig& config);
  ~CRtspSession();
  CRtspSession(const CRtspSession&) = delete;
  CRtspSession& operator=(const CRtspSession&) = delete;

  // The tick clock used for keep-alives and answer deadlines (tests inject one).
  void SetClock(std::function<uint32_t()> clock) { m_clock = std::move(clock); }

  // 0 success; -1 a socket cannot be created (all closed again); -2 the host cannot be resolved.
  int OpenSockets();
  // 1 playing; -1 the device refused the credentials; 0 any other failure.
  int StartSession();
  // Control socket time-outs in ms; 1, or 0 when it is closed or an option fails.
  int SetTimeouts(uint32_t receiveMs, uint32_t sendMs);
  // TEARDOWN and its answer: 1 when the device answered "200 OK".
  int TearDown();
  // TEARDOWN without reading an answer: 1 when it was sent.
  int TearDownNoReply();
  void CloseMediaSockets();
  void CloseControlSocket();
  void CloseSockets();
  // One interleaved packet from the control connection into out (kInterleavedBuffer bytes):
  // channel 0 to 3, kInterleavedText for other bytes (an answer to a keep-alive, skipped
  // oversize packets), -1 on failure.
  int ReadInterleaved(uint8_t* out, int32_t* outLength);

  // Keep-alive for servers that announced timeout=N in SETUP's Session header: every N/2 s
  // while playing a GET_PARAMETER (OPTIONS once that was refused). Over UDP its answer is read
  // here; interleaved, the source hands text it reads to OnInterleavedText. Returns 1 when one
  // was sent, 0 when none was due, -1 when sending failed.
  int KeepAlive();
  void OnInterleavedText(const uint8_t* text, int32_t length);
  uint32_t SessionTimeoutSeconds() const { return m_sessionTimeout; }

  const RtspStreamInfo& StreamInfo() const { return m_info; }
  const std::string& SessionId() const { return m_sessionId; }
  const std::string& Url() const { return m_url; }
  uint16_t VideoClientPort() const { return m_videoPort; }
  uint16_t AudioClientPort() const { return m_audioPort; }
  bool HasAudioTrack() const { return !m_audioTrackUrl.empty(); }
  // The last answer received (NUL-terminated).
  const char* Response() const { return m_response; }
  // The RTP sockets the UDP receivers read.
  platform::Socket& VideoSocket() { return m_video; }
  platform::Socket& AudioSocket() { return m_audio; }

 private:
  class ControlStream : public IByteStream {
   public:
    explicit ControlStream(CRtspSession& session) : m_session(session) {}
    long Receive(void* buffer, size_t length) override;
    void PushBack(const uint8_t* data, size_t length) override;

   private:
    CRtspSession& m_session;
  };

  bool sendRequest(const std::string& request);
  bool readAnswer();
  bool exchange(const std::string& request) { return sendRequest(request) && readAnswer(); }
  bool bindRtpSocket(platform::Socket& socket, uint16_t firstPort, uint16_t* port);
  bool chooseTracks();
  int startSession();
  uint16_t nextCSeq() { return m_cseq++; }

  RtspSessionConfig m_config;
  std::function<uint32_t()> m_clock;
  std::mutex m_lock;
  platform::Socket m_control;
  platform::Socket m_video;
  platform::Socket m_audio;
  uint16_t m_videoPort = 0;
  uint16_t m_audioPort = 0;
  platform::AddressFamily m_family = platform::AddressFamily::kIPv4;
  platform::SocketAddress m_device;
  ControlStream m_stream{*this};
  std::vector<uint8_t> m_pending;  // bytes received past an answer, read again first
  uint32_t m_receiveTimeoutMs = 5000;

  uint16_t m_cseq = 1;
  std::string m_url;
  std::string m_sessionId;
  std::string m_videoTrackUrl;
  std::string m_audioTrackUrl;
  RtspCredentials m_credentials;
  RtspStreamInfo m_info;
  char m_response[kRtspAnswerCapacity + 1] = {};
  size_t m_responseLength = 0;

  uint32_t m_sessionTimeout = 0;  // seconds, from SETUP's Session header
  uint32_t m_lastKeepAlive = 0;
  std::atomic<bool> m_playing{false};  // the stop path clears it from the caller's thread
  bool m_keepAliveOptions = false;
  int32_t m_keepAliveCSeq = -1;
};

}  // namespace kv
