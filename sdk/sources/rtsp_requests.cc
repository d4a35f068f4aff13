// RTSP request templates.
#include "sdk/sources/rtsp_requests.h"

#include "sdk/sources/digest_auth.h"

namespace kv {

std::string RtspUrl(const std::string& host, int port, int channel) {
  return "rtsp://" + host + ":" + std::to_string(port) + "/" + std::to_string(channel);
}

std::string DescribeRequest(const std::string& url, uint16_t cseq) {
  return "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
         "\r\nAccept: application/sdp\r\n" + kRtspUserAgentLine;
}

std::string DescribeWithCredentials(const std::string& url, uint16_t cseq, const std::string& user,
                                    const std::string& realm, const std::string& nonce,
                                    const std::string& response) {
  return "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
         "\r\nAccept: application/sdp\r\nAuthorization: Digest username=\"" + user +
         "\", realm=\"" + realm + "\", nonce=\"" + nonce + "\", uri=\"" + url + "\", response=\"" +
         response + "\"\r\n" + kRtspUserAgentLine;
}

std::string AuthorizationLine(const RtspCredentials& c, const char* method,
                              const std::string& url) {
  if (!c.active) return std::string();
  const std::string response = DigestResponse(c.user, c.realm, c.password, c.nonce, method, url);
  return "Authorization: Digest username=\"" + c.user + "\", realm=\"" + c.realm + "\", nonce=\"" +
         c.nonce + "\", uri=\"" + url + "\", response=\"" + response + "\"\r\n";
}

std::string SetupRequest(const std::string& trackUrl, uint16_t cseq, const std::string& sessionId,
                         const std::string& transportLine, const std::string& authorization) {
  std::string out = "SETUP " + trackUrl + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n";
  if (!sessionId.empty()) out += "Session: " + sessionId + "\r\n";
  return out + transportLine + authorization + kRtspUserAgentLine;
}

std::string UdpTransportLine(int clientPort) {
  return "Transport: RTP/AVP;unicast;client_port=" + std::to_string(clientPort) + "-" +
         std::to_string(clientPort + 1) + "\r\n";
}

std::string TcpTransportLine(bool secondTrack) {
  return secondTrack ? "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n"
                     : "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n";
}

std::string PlayRequest(const std::string& url, uint16_t cseq, const std::string& sessionId,
                        const std::string& authorization) {
  return "PLAY " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
         "\r\nSession: " + sessionId + "\r\n" + authorization +
         "Rang: npt=0.000-\r\nUser-Agent: Morvalinder Client\r\n\r\n";
}

std::string SessionRequest(const char* method, const std::string& url, uint16_t cseq,
                           const std::string& sessionId, const std::string& authorization) {
  return std::string(method) + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
         "\r\nSession: " + sessionId + "\r\n" + authorization + kRtspUserAgentLine;
}

}  // namespace kv
