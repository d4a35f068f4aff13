// The RTSP requests the client sends, built from fixed templates byte for byte.
#pragma once

#include <cstdint>
#include <string>

namespace kv {

constexpr const char* kRtspUserAgentLine = "User-Agent: Morvalinder Client\r\n\r\n";

struct RtspCredentials {
  bool active = false;  // the device asked for Digest: every request carries Authorization
  std::string user, password, realm, nonce;
};

// "rtsp://host:port/channel".
std::string RtspUrl(const std::string& host, int port, int channel);

std::string DescribeRequest(const std::string& url, uint16_t cseq);
// DESCRIBE with the Digest response already computed.
std::string DescribeWithCredentials(const std::string& url, uint16_t cseq, const std::string& user,
                                    const std::string& realm, const std::string& nonce,
                                    const std::string& response);

// The Authorization line for method on url, empty while credentials are not active.
std::string AuthorizationLine(const RtspCredentials& credentials, const char* method,
                              const std::string& url);

// SETUP of a track. trackUrl is the request target (base URL + "/trackID=c", or a control
// URL); sessionId empty for the first track. transportLine is one of the two transport forms.
std::string SetupRequest(const std::string& trackUrl, uint16_t cseq, const std::string& sessionId,
                         const std::string& transportLine, const std::string& authorization);
std::string UdpTransportLine(int clientPort);
std::string TcpTransportLine(bool secondTrack);

std::string PlayRequest(const std::string& url, uint16_t cseq, const std::string& sessionId,
                        const std::string& authorization);
// TEARDOWN, and the keep-alives GET_PARAMETER and OPTIONS, share one form.
std::string SessionRequest(const char* method, const std::string& url, uint16_t cseq,
                           const std::string& sessionId, const std::string& authorization);

}  // namespace kv
