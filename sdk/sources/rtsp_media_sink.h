// Where an RTSP source's depacketised media go: the video and audio conduits, the record files
// (duration limits and time-up events included), the raw-video callback with its frame record,
// the client's received-byte counter and the decoder requests of the H.264 rule. One sink
// serves the video receiver, the audio receiver or the interleaved loop; each owns its own.
#pragma once

#include <cstdint>

#include "KvNetClient.h"
#include "sdk/sources/av_source.h"
#include "sdk/sources/rtp_h264.h"
#include "sdk/sources/rtp_sink.h"

namespace kv {

class RtspMediaSink final : public IRtpVideoSink, public IRtpAudioSink {
 public:
  // context: the source's client parts; recorder: the source's recorder interface. rawVideo:
  // whether the raw-video callback is served (RTP over UDP) or never called (interleaved).
  RtspMediaSink(const SourceContext& context, IRecord& recorder, bool rawVideo);

  // Takes the stream's size, codecs and frame rate into the frame record (at every start).
  void Begin();
  // Applies what the H.264 rule decided: received bytes, the decoder re-create request and
  // the pre-buffer depth.
  void Apply(const H264Decision& decision);
  // The RTP time stamp the next raw-video call reports.
  void SetTimestamp(uint32_t rtpTimestamp) { m_info.timeStamp = rtpTimestamp; }
  const KVNET_FRAME_INFO& FrameInfo() const { return m_info; }

  // IRtpVideoSink
  bool WriteVideo(const void* data, int32_t length, int32_t endOfFrame, int32_t tag) override;
  void ClearVideo() override;
  void RecordVideo(const VideoRecordUnit& unit) override;
  bool WantsRawVideo() const override;
  void RawVideo(const uint8_t* data, int32_t length, const RawVideoUnit& unit) override;

  // IRtpAudioSink
  bool AudioOn() const override;
  int32_t AudioQueued() override;
  void ClearAudio() override;
  void WriteAudio(const int16_t* samples, int32_t bytes) override;
  void RecordAudio(uint32_t type, const uint8_t* voiceFrame, uint32_t length,
                   uint32_t rtpTimestamp) override;

 private:
  SourceContext m_context;
  IRecord& m_recorder;
  const bool m_rawVideo;
  KVNET_FRAME_INFO m_info{};
};

}  // namespace kv
