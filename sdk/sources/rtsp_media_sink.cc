// The RTSP sources' media sink over the client's conduits, recorder and callbacks.
#include "sdk/sources/rtsp_media_sink.h"

#include "sdk/media/conduit.h"
#include "sdk/platform/clock.h"
#include "sdk/record/unit_recorder.h"
#include "sdk/state/event_notifier.h"
#include "sdk/state/library_state.h"

namespace kv {

RtspMediaSink::RtspMediaSink(const SourceContext& context, IRecord& recorder, bool rawVideo)
    : m_context(context), m_recorder(recorder), m_rawVideo(rawVideo) {}

void RtspMediaSink::Begin() {
  const StreamDescription& s = *m_context.stream;
  m_info = KVNET_FRAME_INFO{};
  m_info.width = static_cast<uint16_t>(s.width.load());
  m_info.height = static_cast<uint16_t>(s.height.load());
  m_info.mediaKind = 0;
  m_info.videoCodec = s.videoCodec.load();
  m_info.audioCodec = s.audioCodec.load();
  m_info.frameRate = static_cast<uint16_t>(s.frameRate.load());
}

void RtspMediaSink::Apply(const H264Decision& decision) {
  if (decision.receivedBytes != 0) m_context.counters->byteCount += decision.receivedBytes;
  if (decision.recreateDecoder) m_context.view->recreateDecoder = 1;
  if (decision.setPreBufferDepth) m_context.view->preBufferDepth = decision.preBufferDepth;
}

bool RtspMediaSink::WriteVideo(const void* data, int32_t length, int32_t endOfFrame, int32_t tag) {
  return m_context.videoConduit->Write(data, length, endOfFrame, 0, tag);
}

void RtspMediaSink::ClearVideo() { m_context.videoConduit->Clear(); }

void RtspMediaSink::RecordVideo(const VideoRecordUnit& unit) {
  if (!m_recorder.IsRecording() && !m_recorder.IsAlarmRecording()) return;
  UnitPieces pieces;
  for (int i = 0; i < unit.pieceCount && i < 3; ++i) {
    pieces.pieces[pieces.count++] = {unit.pieces[i].data, unit.pieces[i].length};
  }
  pieces.type = unit.type;
  pieces.keyPoint = unit.keyPoint;
  pieces.timeStamp = platform::GetTickCount();
  RecordVideoPieces(m_recorder, *m_context.stream, *m_context.record, *m_context.notifier, pieces);
}

bool RtspMediaSink::WantsRawVideo() const {
  return m_rawVideo && Library().avCallback.load() != nullptr;
}

void RtspMediaSink::RawVideo(const uint8_t* data, int32_t length, const RawVideoUnit& unit) {
  const KVNET_AVCallback callback = Library().avCallback.load();
  if (!m_rawVideo || callback == nullptr) return;
  m_info.timeStamp = unit.rtpTimestamp;
  m_info.nalType = unit.nalType;
  m_info.fragment = unit.fragment;
  callback(m_context.notifier->Handle(), data, length, &m_info, m_context.link->param.userValue);
}

bool RtspMediaSink::AudioOn() const { return m_context.sound->on.load() != 0; }

int32_t RtspMediaSink::AudioQueued() { return m_context.audioConduit->GetDataSize(); }

void RtspMediaSink::ClearAudio() { m_context.audioConduit->Clear(); }

void RtspMediaSink::WriteAudio(const int16_t* samples, int32_t bytes) {
  m_context.audioConduit->Write(samples, bytes, 0, 0, 0);
}

void RtspMediaSink::RecordAudio(uint32_t type, const uint8_t* voiceFrame, uint32_t length,
                                uint32_t rtpTimestamp) {
  RecordAudioUnit(m_recorder, static_cast<uint8_t>(type), voiceFrame, length, rtpTimestamp);
}

}  // namespace kv
