// CAVSource_RTSP_UDP: the source of a live client on RTSP with RTP over UDP. Its thread
// connects, supervises and reconnects; two receiver threads (owned here) read the RTP sockets.
// A silent or failed video socket is a loss: the source tears down and reconnects, without
// limit once a stream has played.
#pragma once

#include <cstdint>
#include <memory>

#include "sdk/platform/event.h"
#include "sdk/sources/rtp_receivers.h"
#include "sdk/sources/rtsp_media_sink.h"
#include "sdk/sources/rtsp_source.h"

namespace kv {

class CAVSource_RTSP_UDP : public CAVSource_RTSP {
 public:
  static constexpr int kExitValue = 7;

  CAVSource_RTSP_UDP();
  ~CAVSource_RTSP_UDP() override;

  int Open() override;
  void Close() override;
  int Run() override;
  int Stop() override;

 private:
  enum class Step { kAttempt, kConnected, kLost, kCleanUp, kEnd };
  Step attempt(int* retries, bool* reconnecting);
  // Starts the workers of a playing stream and waits for a stop (kCleanUp) or a loss (kLost).
  Step play(bool* displayRunning);
  void stopReceivers();

  std::unique_ptr<RtspMediaSink> m_sink;
  std::unique_ptr<CRTPVideoReceiver> m_videoReceiver;
  std::unique_ptr<CRTPAudioReceiver> m_audioReceiver;
  platform::Event m_restartEvent{false, false};
};

}  // namespace kv
