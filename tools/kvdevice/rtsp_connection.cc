// One RTSP connection to the simulated camera.
#include "tools/kvdevice/rtsp_connection.h"

#include <cstdio>
#include <random>

#include "tools/kvdevice/digest_auth.h"
#include "tools/kvdevice/sdp.h"

namespace kvdevice {
namespace {

// Largest request head and body; more is a bad request.
constexpr size_t kMaxBuffered = 1 << 20;

std::string HostForUrl(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Packets go out as UDP datagrams to the client's ports or '$'-framed on the connection.
class SessionSink : public PacketSink {
 public:
  SessionSink(TcpConnection& connection, const TransportRequest transports[2], UdpSocket* rtp[2],
              UdpSocket* rtcp[2])
      : connection_(connection),
        transports_{transports[0], transports[1]},
        rtp_{rtp[0], rtp[1]},
        rtcp_{rtcp[0], rtcp[1]} {}

  bool send(TrackKind kind, bool rtcp, const uint8_t* data, size_t size) override {
    const int k = static_cast<int>(kind);
    const TransportRequest& t = transports_[k];
    if (t.tcp) {
      if (size > 0xFFFF) return true;  // cannot be framed: not sent
      std::string frame;
      frame.reserve(4 + size);
      frame += '$';
      frame += static_cast<char>(rtcp ? t.channel1 : t.channel0);
      frame += static_cast<char>(size >> 8);
      frame += static_cast<char>(size & 0xFF);
      frame.append(reinterpret_cast<const char*>(data), size);
      return connection_.write(frame, &cancelled_);
    }
    UdpSocket* socket = rtcp ? rtcp_[k] : rtp_[k];
    return socket == nullptr || socket->send(data, size);
  }

  bool sendText(const std::string& text) override {
    if (!transports_[0].tcp && !transports_[1].tcp) return true;
    return connection_.write(text, &cancelled_);
  }

  void cancel() override { cancelled_ = true; }

 private:
  TcpConnection& connection_;
  TransportRequest transports_[2];
  UdpSocket* rtp_[2];
  UdpSocket* rtcp_[2];
  std::atomic<bool> cancelled_{false};
};

}  // namespace

RtspConnection::RtspConnection(RtspServerContext& context)
    : context_(context), options_(*context.options) {}

RtspConnection::~RtspConnection() { endSession(); }

void RtspConnection::log(const std::string& text) const {
  if (!options_.quiet) std::fprintf(stderr, "kvdevice: %s\n", text.c_str());
}

std::string RtspConnection::baseUrl(const std::string& requestUri) const {
  std::string base = requestUri;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

std::string RtspConnection::newSessionId() {
  const uint32_t n = ++context_.sessionCounter;
  if (!options_.rtsp.sessionId.empty()) return options_.rtsp.sessionId;
  return std::to_string(87654321u + n * 1111u);
}

bool RtspConnection::sessionMatches(const RtspRequest& request) const {
  std::optional<std::string> given = request.header("Session");
  return given && !sessionId_.empty() && SessionIdOf(*given) == sessionId_;
}

void RtspConnection::stopSending() {
  if (sender_ == nullptr) return;
  sender_->stop();
  for (int k = 0; k < 2; ++k) {
    tracks_[k].state.sequence = sender_->track(static_cast<TrackKind>(k)).sequence;
  }
  SendTotals t = sender_->totals();
  context_.packets += t.packets;
  context_.bytes += t.bytes;
  sender_.reset();
}

void RtspConnection::endSession() {
  stopSending();
  for (Track& t : tracks_) t = Track();
  sessionId_.clear();
}

void RtspConnection::serve(TcpConnection& connection, const std::atomic<bool>& stopping) {
  connection_ = &connection;
  lastActivity_ = Clock::now();
  const RtspOptions& r = options_.rtsp;
  bool open = true;
  while (open && !stopping) {
    for (;;) {
      RtspRequest request;
      size_t consumed = 0;
      Framing f = ReadRequest(connection.buffered(), request, consumed);
      connection.consume(consumed);
      if (f == Framing::kIncomplete) break;
      if (f == Framing::kInterleaved) continue;  // the client's RTCP
      if (f == Framing::kBad) {
        if (!silent_) connection.write(RtspAnswer{400, {}, {}}.text());
        open = false;
        break;
      }
      RtspAnswer answer;
      const bool playing = sender_ != nullptr;
      if (!handle(request, answer)) {
        log(request.method + " " + request.uri + " -> no answer");
        continue;
      }
      log(request.method + " " + request.uri + " -> " + std::to_string(answer.status));
      const std::string text = answer.text();
      const bool written = r.answerPieces > 1
                               ? connection.writeInPieces(text, r.answerPieces, r.answerGapMs)
                               : connection.write(text);
      if (!written) {
        open = false;
        break;
      }
      // Media follows the PLAY answer, never precedes it.
      if (request.method == "PLAY" && answer.status == 200 && !playing) {
        const TransportRequest transports[2] = {tracks_[0].transport, tracks_[1].transport};
        UdpSocket* rtp[2] = {tracks_[0].rtp.get(), tracks_[1].rtp.get()};
        UdpSocket* rtcp[2] = {tracks_[0].rtcp.get(), tracks_[1].rtcp.get()};
        const TrackState states[2] = {tracks_[0].state, tracks_[1].state};
        TcpConnection* c = &connection;
        sender_ = std::make_unique<MediaSender>(
            options_, states, std::make_unique<SessionSink>(connection, transports, rtp, rtcp),
            sessionId_, [c] { c->shutdown(); });
        sender_->start(*context_.hub);
      }
    }
    if (!open) break;
    if (r.expireSessions && !sessionId_.empty() &&
        Clock::now() - lastActivity_ > std::chrono::seconds(r.sessionTimeout)) {
      log("session " + sessionId_ + " expired");
      ++context_.expired;
      endSession();
    }
    ReadResult result = connection.read(200, kMaxBuffered);
    if (result == ReadResult::kClosed || result == ReadResult::kTooLong) break;
  }
  endSession();
  connection_ = nullptr;
}

bool RtspConnection::handle(const RtspRequest& request, RtspAnswer& answer) {
  const RtspOptions& r = options_.rtsp;
  if (!r.noAnswerFrom.empty() && (r.noAnswerFrom == "ALL" || r.noAnswerFrom == request.method)) {
    silent_ = true;
  }
  if (silent_) return false;
  if (std::optional<std::string> cseq = request.header("CSeq")) answer.add("CSeq", *cseq);
  if (r.banner == "v200" || r.banner == "plain") {
    const std::string numbers =
        std::to_string(options_.width) + "*" + std::to_string(options_.height) + "*" +
        std::to_string(options_.frameRate) + "*" + std::to_string(options_.bitRateKbps);
    answer.add("Server", r.banner == "v200" ? "MorvaLinder Rtsp Server V200R001 " + numbers
                                            : "MorvaLinder Rtsp Server " + numbers);
  }
  if (sessionMatches(request)) lastActivity_ = Clock::now();
  if (request.version != "RTSP/1.0") {
    answer.status = 505;
    return true;
  }
  if (!r.user.empty() && request.method != "OPTIONS") {
    std::optional<std::string> authorization = request.header("Authorization");
    const DigestAccount account{r.realm, r.nonce, r.user, r.password};
    if (!authorization || !DigestAccepted(account, request.method, *authorization)) {
      answer.status = 401;
      answer.add("WWW-Authenticate", DigestChallenge(account));
      return true;
    }
  }
  if (auto refusal = r.refuse.find(request.method); refusal != r.refuse.end()) {
    answer.status = refusal->second;
    return true;
  }
  const std::string& m = request.method;
  const bool needsSession = m == "PLAY" || m == "PAUSE" || m == "TEARDOWN";
  if ((needsSession || request.header("Session")) && m != "SETUP" && !sessionMatches(request)) {
    answer.status = 454;
    return true;
  }
  if (!sessionId_.empty() && request.header("Session")) {
    answer.add("Session",
               sessionId_ + (r.sessionTimeout > 0 ? ";timeout=" + std::to_string(r.sessionTimeout)
                                                  : std::string()));
  }
  if (m == "OPTIONS") {
    answer.add("Public",
               "OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, GET_PARAMETER, "
               "SET_PARAMETER");
  } else if (m == "DESCRIBE") {
    describe(request, answer);
  } else if (m == "SETUP") {
    setup(request, answer);
  } else if (m == "PLAY") {
    play(request, answer);
  } else if (m == "PAUSE") {
    stopSending();
  } else if (m == "TEARDOWN") {
    endSession();
  } else if (m != "GET_PARAMETER" && m != "SET_PARAMETER") {
    answer.status = 501;
  }
  return true;
}

void RtspConnection::describe(const RtspRequest& request, RtspAnswer& answer) {
  SdpSettings s;
  s.host = connection_->localHost();
  s.ipv6 = connection_->ipv6();
  s.baseUrl = baseUrl(request.uri);
  s.control = options_.rtsp.control;
  s.video = options_.videoCodec;
  s.videoFmtp = context_.hub->videoFmtp();
  s.audio = options_.audioCodec;
  s.frameRate = options_.frameRate;
  answer.add("Content-Type", "application/sdp");
  answer.add("Content-Base", s.baseUrl + "/");
  answer.body = BuildSdp(s);
}

void RtspConnection::setup(const RtspRequest& request, RtspAnswer& answer) {
  const RtspOptions& r = options_.rtsp;
  std::optional<std::string> sessionHeader = request.header("Session");
  if (sessionHeader && !sessionMatches(request)) {
    answer.status = 454;
    return;
  }
  int k = -1;
  for (TrackKind kind : {TrackKind::kVideo, TrackKind::kAudio}) {
    if (kind == TrackKind::kAudio && options_.audioCodec == AudioCodec::kNone) continue;
    if (EndsWith(request.uri,
                 "/" + TrackControl(r.control == "trackid" ? "trackid" : "stream", "", kind))) {
      k = static_cast<int>(kind);
    }
  }
  if (k < 0) {
    answer.status = 404;
    return;
  }
  std::optional<std::string> transportHeader = request.header("Transport");
  std::optional<TransportRequest> transport =
      transportHeader ? ParseTransport(*transportHeader) : std::nullopt;
  if (!transport || transport->multicast) {
    answer.status = 461;
    return;
  }
  if (sender_ != nullptr) {
    answer.status = 455;  // no new tracks while playing
    return;
  }
  Track& t = tracks_[k];
  t = Track();
  t.transport = *transport;
  const bool isNew = sessionId_.empty();
  if (isNew) sessionId_ = newSessionId();
  // A camera picks random sequence numbers, time stamp bases and SSRCs.
  std::mt19937 random(options_.faults.seed * 7919u + context_.sessionCounter * 31u +
                      static_cast<uint32_t>(k));
  t.state.enabled = true;
  t.state.payloadType = static_cast<uint8_t>(k == 0 ? PayloadType(options_.videoCodec)
                                                    : PayloadType(options_.audioCodec));
  t.state.ssrc = random();
  t.state.sequence = static_cast<uint16_t>(random());
  t.state.timeBase = random();
  char ssrc[9];
  std::snprintf(ssrc, sizeof ssrc, "%08X", t.state.ssrc);
  if (transport->tcp) {
    answer.add("Transport",
               "RTP/AVP/TCP;unicast;interleaved=" + std::to_string(transport->channel0) + "-" +
                   std::to_string(transport->channel1) + ";ssrc=" + ssrc);
  } else {
    std::string error;
    const std::string host = HostForUrl(connection_->peerHost());
    t.rtp = UdpSocket::Open(host + ":" + std::to_string(transport->clientPort0),
                            connection_->localHost(), error);
    t.rtcp = UdpSocket::Open(host + ":" + std::to_string(transport->clientPort1),
                             connection_->localHost(), error);
    if (t.rtp == nullptr || t.rtcp == nullptr) {
      log("cannot open the RTP sockets: " + error);
      t = Track();
      if (isNew) sessionId_.clear();
      answer.status = 500;
      return;
    }
    // Bound to the local address, so the ports are known before the first packet.
    answer.add("Transport",
               "RTP/AVP;unicast;client_port=" + std::to_string(transport->clientPort0) + "-" +
                   std::to_string(transport->clientPort1) +
                   ";server_port=" + std::to_string(t.rtp->localPort()) + "-" +
                   std::to_string(t.rtcp->localPort()) + ";ssrc=" + ssrc);
  }
  t.setUp = true;
  if (isNew) {
    ++context_.sessions;
    lastActivity_ = Clock::now();
    answer.add("Session",
               sessionId_ + (r.sessionTimeout > 0 ? ";timeout=" + std::to_string(r.sessionTimeout)
                                                  : std::string()));
  }
}

void RtspConnection::play(const RtspRequest& request, RtspAnswer& answer) {
  if (!tracks_[0].setUp && !tracks_[1].setUp) {
    answer.status = 455;
    return;
  }
  answer.add("Range", "npt=0.000-");
  std::string info;
  const std::string base = baseUrl(request.uri);
  for (int k = 0; k < 2; ++k) {
    const Track& t = tracks_[k];
    if (!t.setUp) continue;
    const auto kind = static_cast<TrackKind>(k);
    std::string control = TrackControl(options_.rtsp.control, base, kind);
    if (options_.rtsp.control != "absolute") control = base + "/" + control;
    if (!info.empty()) info += ",";
    info += "url=" + control + ";seq=" + std::to_string(t.state.sequence) +
            ";rtptime=" + std::to_string(t.state.timeBase + context_.hub->clockNow(kind));
  }
  answer.add("RTP-Info", info);
}

}  // namespace kvdevice
