// CAVSource_RTSP_TCP: the source of a live client on RTSP with RTP interleaved on the control
// connection. Its one thread connects, reads every packet with ReadInterleaved, depacketises
// video, decodes audio, feeds the conduits and the record files, and reconnects at once after
// a loss (without limit once a stream has played).
#pragma once

#include <cstdint>
#include <memory>

#include "sdk/sources/rtp_audio.h"
#include "sdk/sources/rtp_video_rules.h"
#include "sdk/sources/rtsp_media_sink.h"
#include "sdk/sources/rtsp_source.h"

namespace kv {

class CAVSource_RTSP_TCP : public CAVSource_RTSP {
 public:
  static constexpr int kExitValue = 3276;

  CAVSource_RTSP_TCP();
  ~CAVSource_RTSP_TCP() override;

  int Open() override;
  void Close() override;
  int Run() override;
  int Stop() override;

 private:
  enum class Step { kAttempt, kConnected, kLost, kEnd };
  // One connection attempt; kConnected, kEnd or kAttempt (after the retry interval).
  Step attempt(int* retries, bool* reconnecting);
  // Starts the playing stream's workers and reads until a loss (kLost) or the end (kEnd).
  Step play(bool* displayRunning);
  void handlePacket(int channel, uint8_t* packet, int32_t length);

  std::unique_ptr<RtspMediaSink> m_sink;
  RtpVideoRules m_video{true};
  RtpAudioDepacketizer m_audio;
  std::unique_ptr<uint8_t[]> m_packet;
};

}  // namespace kv
