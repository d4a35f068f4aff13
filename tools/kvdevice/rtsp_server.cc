// kvdevice as an RTSP camera.
#include "tools/kvdevice/rtsp_server.h"

#include <cstdio>

#include "tools/kvdevice/media_hub.h"
#include "tools/kvdevice/rtsp_connection.h"
#include "tools/kvdevice/tcp_server.h"

namespace kvdevice {

int RunRtspServer(const Options& options, const std::function<bool()>& keepGoing) {
  std::string error;
  std::unique_ptr<TcpListener> listener = TcpListener::Open(options.rtsp.listen, error);
  if (listener == nullptr) {
    std::fprintf(stderr, "kvdevice: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<MediaHub> hub = MediaHub::Create(options, error);
  if (hub == nullptr) {
    std::fprintf(stderr, "kvdevice: %s\n", error.c_str());
    return 1;
  }
  const std::string host = listener->ipv6() ? "[" + listener->host() + "]" : listener->host();
  std::printf("kvdevice: listening on rtsp://%s:%d/\n", host.c_str(), listener->port());
  std::fflush(stdout);

  RtspServerContext context;
  context.options = &options;
  context.hub = hub.get();
  // MCTP/1.0 connections are recognised; no handler is plugged in yet, so they are closed.
  TcpServer server(
      std::move(listener), [&context] { return std::make_unique<RtspConnection>(context); },
      nullptr);
  hub->start();
  server.run([&] { return keepGoing() && !hub->ended(); });
  server.stop();
  hub->stop();
  int status = 0;
  if (!hub->error().empty()) {
    std::fprintf(stderr, "kvdevice: %s\n", hub->error().c_str());
    status = 1;
  }
  std::printf(
      "kvdevice served: connections %llu sessions %llu expired %llu pictures %llu audio_frames "
      "%llu packets %llu bytes %llu\n",
      static_cast<unsigned long long>(server.connections()),
      static_cast<unsigned long long>(context.sessions.load()),
      static_cast<unsigned long long>(context.expired.load()),
      static_cast<unsigned long long>(hub->pictures()),
      static_cast<unsigned long long>(hub->audioFrames()),
      static_cast<unsigned long long>(context.packets.load()),
      static_cast<unsigned long long>(context.bytes.load()));
  return status;
}

}  // namespace kvdevice
