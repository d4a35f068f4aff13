// One RTSP connection to the simulated camera: reads requests, answers OPTIONS, DESCRIBE,
// SETUP, PLAY, PAUSE, TEARDOWN and GET_/SET_PARAMETER, asks for Digest credentials when the
// camera has a user, keeps at most one session and plays the configured faults.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "tools/kvdevice/media_hub.h"
#include "tools/kvdevice/media_sender.h"
#include "tools/kvdevice/options.h"
#include "tools/kvdevice/rtsp_message.h"
#include "tools/kvdevice/tcp_server.h"
#include "tools/kvdevice/udp_socket.h"

namespace kvdevice {

// What all connections share: the options, the live stream and the totals.
struct RtspServerContext {
  const Options* options = nullptr;
  MediaHub* hub = nullptr;
  std::atomic<uint64_t> sessions{0};
  std::atomic<uint64_t> expired{0};
  std::atomic<uint64_t> packets{0};
  std::atomic<uint64_t> bytes{0};
  std::atomic<uint32_t> sessionCounter{0};
};

class RtspConnection : public ConnectionHandler {
 public:
  explicit RtspConnection(RtspServerContext& context);
  ~RtspConnection() override;
  void serve(TcpConnection& connection, const std::atomic<bool>& stopping) override;

 private:
  struct Track {
    bool setUp = false;
    TransportRequest transport;
    std::unique_ptr<UdpSocket> rtp, rtcp;
    TrackState state;
  };
  using Clock = std::chrono::steady_clock;

  // Answers one request; false when nothing is to be sent back.
  bool handle(const RtspRequest& request, RtspAnswer& answer);
  void describe(const RtspRequest& request, RtspAnswer& answer);
  void setup(const RtspRequest& request, RtspAnswer& answer);
  void play(const RtspRequest& request, RtspAnswer& answer);
  bool sessionMatches(const RtspRequest& request) const;
  std::string baseUrl(const std::string& requestUri) const;
  std::string newSessionId();
  void stopSending();
  void endSession();
  void log(const std::string& text) const;

  RtspServerContext& context_;
  const Options& options_;
  TcpConnection* connection_ = nullptr;
  bool silent_ = false;
  std::string sessionId_;
  Track tracks_[2];
  std::unique_ptr<MediaSender> sender_;
  Clock::time_point lastActivity_;
};

}  // namespace kvdevice
