// The interoperability harness itself: the RTSP servers nobody here wrote (GStreamer's RTSP
// server library, VLC's RTSP streaming output) start on a given port and serve H.264 and G.711,
// as ffprobe and ffmpeg confirm. The SDK's client tests use the same scripts. Each test skips
// with a message when its server is not installed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/server_process.h"

namespace {

using kv::test::CommandResult;
using kv::test::RunCommand;
using kv::test::ServerProcess;

const std::string kScripts = std::string(KVNET_SOURCE_DIR) + "/tests/interop/";
constexpr int kSkipped = 77;  // the scripts' exit status when a part is missing

bool HaveFfmpeg() { return RunCommand("ffprobe -version && ffmpeg -version", 20).exitCode == 0; }

// Starts a server script; sets *skip with the reason when the server is not installed.
std::unique_ptr<ServerProcess> StartServer(const std::vector<std::string>& args, std::string* url,
                                           std::string* skip) {
  std::string error;
  int status = 0;
  std::unique_ptr<ServerProcess> server =
      ServerProcess::Start(args, "listening on ", 60000, "", url, &error, &status);
  if (server == nullptr && status == kSkipped) *skip = args[0] + ": a part is not installed";
  if (server == nullptr && skip->empty()) ADD_FAILURE() << error << " (exit " << status << ")";
  return server;
}

// The first DESCRIBE answer of a bare client, without credentials.
std::string BareDescribe(const std::string& url) {
  const size_t hostAt = url.find("//") + 2;
  const int port = std::stoi(url.substr(url.find(':', hostAt) + 1));
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    const std::string request = "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char chunk[4096];
    while (answer.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      answer.append(chunk, static_cast<size_t>(n));
    }
  }
  close(fd);
  return answer;
}

// ffprobe sees H.264 and the G.711 codec; ffmpeg decodes 20 pictures.
void ExpectPlayable(const std::string& url, const std::string& transport,
                    const std::string& audioCodec) {
  const std::string input = "-rtsp_transport " + transport + " -i '" + url + "'";
  CommandResult probe = RunCommand(
      "ffprobe -v error " + input + " -show_entries stream=codec_type,codec_name -of compact", 90);
  ASSERT_EQ(probe.exitCode, 0) << probe.err;
  EXPECT_NE(probe.out.find("codec_name=h264|codec_type=video"), std::string::npos) << probe.out;
  EXPECT_NE(probe.out.find("codec_name=" + audioCodec + "|codec_type=audio"), std::string::npos)
      << probe.out;
  CommandResult decode =
      RunCommand("ffmpeg -nostdin -v error " + input + " -frames:v 20 -f null -", 90);
  EXPECT_EQ(decode.exitCode, 0) << decode.err;
}

struct GstCase {
  const char* transport;
  bool digest;
  const char* audio;
  const char* audioCodec;
};

void PrintTo(const GstCase& c, std::ostream* os) {
  *os << c.transport << (c.digest ? " digest " : " ") << c.audio;
}

class GstreamerRtspServer : public ::testing::TestWithParam<GstCase> {};

TEST_P(GstreamerRtspServer, ServesH264AndG711) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffprobe/ffmpeg are not installed";
  const GstCase& c = GetParam();
  std::vector<std::string> args = {
      kScripts + "gst_rtsp_server.py", "--port", "0", "--audio", c.audio, "--key-interval", "10"};
  if (c.digest) args.insert(args.end(), {"--user", "viewer", "--password", "pa55"});
  std::string url, skip;
  std::unique_ptr<ServerProcess> server = StartServer(args, &url, &skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  ASSERT_NE(server, nullptr);
  if (c.digest) {
    const std::string challenge = BareDescribe(url);
    EXPECT_EQ(challenge.rfind("RTSP/1.0 401", 0), 0u) << challenge;
    EXPECT_NE(challenge.find("WWW-Authenticate: Digest "), std::string::npos) << challenge;
    CommandResult refused = RunCommand(
        "ffprobe -v error -rtsp_transport " + std::string(c.transport) + " -i " + url, 60);
    EXPECT_NE(refused.exitCode, 0);
    url.insert(url.find("//") + 2, "viewer:pa55@");
  }
  ExpectPlayable(url, c.transport, c.audioCodec);
  EXPECT_EQ(server->Stop(5000), 0);
}

INSTANTIATE_TEST_SUITE_P(TransportsAndDigest, GstreamerRtspServer,
                         ::testing::Values(GstCase{"udp", false, "pcma", "pcm_alaw"},
                                           GstCase{"tcp", false, "pcmu", "pcm_mulaw"},
                                           GstCase{"udp", true, "pcmu", "pcm_mulaw"},
                                           GstCase{"tcp", true, "pcma", "pcm_alaw"}),
                         [](const ::testing::TestParamInfo<GstCase>& info) {
                           return std::string(info.param.transport) +
                                  (info.param.digest ? "_digest" : "");
                         });

TEST(VlcRtspOutput, ServesH264AndG711OverUdpWithASessionTimeout) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffprobe/ffmpeg are not installed";
  // The port was free a moment ago; another program may take it before VLC does, so a second
  // attempt takes another one.
  int port = 0;
  std::string url, skip;
  std::unique_ptr<ServerProcess> server;
  for (int attempt = 0; attempt < 2 && server == nullptr && skip.empty(); ++attempt) {
    port = kv::test::FreeTcpPort();
    std::string error;
    int status = 0;
    server = ServerProcess::Start({kScripts + "vlc_rtsp_server.sh", std::to_string(port)},
                                  "listening on ", 90000, "", &url, &error, &status);
    if (server == nullptr && status == kSkipped) skip = "VLC or ffmpeg is not installed";
    if (server == nullptr && skip.empty())
      std::fprintf(stderr, "%s (exit %d)\n", error.c_str(), status);
  }
  if (!skip.empty()) GTEST_SKIP() << skip;
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(url, "rtsp://127.0.0.1:" + std::to_string(port) + "/stream");
  ExpectPlayable(url, "udp", "pcm_alaw");
  // What the client's keep-alive is for: the SETUP answer announces the session's timeout.
  CommandResult measured = RunCommand(
      "/usr/bin/python3 " + kScripts + "measure_session_timeout.py " + url + " --limit 3 --quiet 2",
      30);
  EXPECT_EQ(measured.exitCode, 0) << measured.err;
  EXPECT_NE(measured.out.find(";timeout=60"), std::string::npos) << measured.out;
  server->Stop(5000);
}

}  // namespace
