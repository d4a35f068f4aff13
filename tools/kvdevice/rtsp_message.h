// RTSP/1.0 as the simulated camera reads and writes it: requests taken from the front of the
// received bytes, answers built as text, and the Transport and Session header values. Pure
// functions over text; the connection handling lives in rtsp_connection.*.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvdevice {

struct RtspRequest {
  std::string method;
  std::string uri;
  std::string version;
  std::vector<std::pair<std::string, std::string>> headers;  // values without surrounding blanks
  std::string body;

  // The first header of that name (case-insensitive), or nothing.
  std::optional<std::string> header(std::string_view name) const;
};

enum class Framing {
  kIncomplete,   // more bytes are needed
  kRequest,      // a request was read
  kInterleaved,  // a '$'-framed binary packet (the client's RTCP) was skipped
  kBad,          // not RTSP: answer 400 and close
};

// Looks at the front of `data`: skips blank lines before a request, reads one request with its
// body (Content-Length) or one interleaved packet. `consumed` is what to drop from the front.
// A head longer than maxHead bytes, or a body over maxBody, is kBad.
Framing ReadRequest(std::string_view data, RtspRequest& request, size_t& consumed,
                    size_t maxHead = 8192, size_t maxBody = 65536);

// The reason phrase of a status code ("OK", "Unauthorized", ...; "Status" when unknown).
const char* ReasonPhrase(int status);

struct RtspAnswer {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // Content-Length is added when it is not empty

  void add(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
  }
  std::string text() const;
};

// The first transport of a Transport header value.
struct TransportRequest {
  bool tcp = false;  // RTP/AVP/TCP (interleaved); else RTP over UDP
  bool multicast = false;
  int channel0 = -1, channel1 = -1;        // interleaved=a-b
  int clientPort0 = -1, clientPort1 = -1;  // client_port=a-b
};
std::optional<TransportRequest> ParseTransport(std::string_view value);

// The session id of a Session header value: up to ';' or white space.
std::string SessionIdOf(std::string_view value);

// True for an id RTSP allows (letters, digits and $-_.+), 1 to 64 characters.
bool ValidSessionId(std::string_view id);

}  // namespace kvdevice
