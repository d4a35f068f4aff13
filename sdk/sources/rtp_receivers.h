// The two receiver threads of RTSP over UDP. CRTPVideoReceiver reads the session's video RTP
// socket and applies the video rules; a failed or silent socket (10 s) signals the source's
// restart event and ends the thread. CRTPAudioReceiver reads the audio RTP socket and applies
// the audio rule; it ends silently when its socket fails. Both are owned, started and joined
// by the source (StopReceiver).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "sdk/platform/event.h"
#include "sdk/platform/jthread.h"
#include "sdk/sources/rtp_audio.h"
#include "sdk/sources/rtp_video_rules.h"
#include "sdk/sources/rtsp_media_sink.h"

namespace kv {

class CRtspSession;
struct StreamDescription;

class CRTPVideoReceiver : public platform::JThread {
 public:
  static constexpr int kExitValue = 11;
  static constexpr int kNoMemory = -10;

  CRTPVideoReceiver(CRtspSession& session, RtspMediaSink& sink, const StreamDescription& stream,
                    platform::Event& restart);
  ~CRTPVideoReceiver() override;

  void ClearStop() { m_stop = 0; }
  // Sets the stop flag and waits without limit for the thread (its socket must be closed or
  // time out for a blocked receive to return).
  void StopReceiver();

 protected:
  int ThreadMain() override;

 private:
  CRtspSession& m_session;
  RtspMediaSink& m_sink;
  const StreamDescription& m_stream;
  platform::Event& m_restart;
  std::atomic<int32_t> m_stop{0};
  RtpVideoRules m_rules{false};
  std::unique_ptr<uint8_t[]> m_datagram;
};

class CRTPAudioReceiver : public platform::JThread {
 public:
  static constexpr int kExitValue = 12;

  CRTPAudioReceiver(CRtspSession& session, RtspMediaSink& sink, const StreamDescription& stream);
  ~CRTPAudioReceiver() override;

  void ClearStop() { m_stop = 0; }
  void StopReceiver();

 protected:
  int ThreadMain() override;

 private:
  CRtspSession& m_session;
  RtspMediaSink& m_sink;
  const StreamDescription& m_stream;
  std::atomic<int32_t> m_stop{0};
  RtpAudioDepacketizer m_audio;
  std::unique_ptr<uint8_t[]> m_datagram;
};

}  // namespace kv
