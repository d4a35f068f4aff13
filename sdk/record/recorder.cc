// One recording: start, unit writes, index points and stop.
#include "sdk/record/recorder.h"

#include "KvNetClient.h"
#include "sdk/record/ensure_directory.h"
#include "sdk/state/client_state.h"
#include "sdk/state/event_notifier.h"

namespace kv {

CRecorder::CRecorder(Kind kind, const RecordSettings& settings, const StreamDescription& stream,
                     IEventNotifier& notifier)
    : m_kind(kind), m_settings(settings), m_stream(stream), m_notifier(notifier) {
  m_lock.Initialise();
}

CRecorder::~CRecorder() { m_lock.Delete(); }

const char* CRecorder::path() const {
  return m_kind == Kind::kNormal ? m_settings.path : m_settings.alarmPath;
}

int CRecorder::Write(const void* data, uint32_t length) {
  if (!m_writer.Write(data, length)) abandon();
  return 1;
}

int CRecorder::AddIndex(uint32_t timeStamp) {
  m_writer.AddIndex(timeStamp);
  return 1;
}

int CRecorder::Start() {
  platform::FlaggedLock lock(m_lock);
  RecordFileHeader header;
  header.frameRate = HeaderFrameRate(m_stream.frameRate.load());
  const char* file = path();
  if (!EnsureDirectory(file)) return 0;
  header.videoCodec = m_stream.videoCodec.load();
  header.audioCodec = m_stream.audioCodec.load();
  header.width = static_cast<uint16_t>(m_stream.width.load());
  header.height = static_cast<uint16_t>(m_stream.height.load());
  header.deviceGeneration = static_cast<uint8_t>(m_stream.deviceGeneration.load());
  switch (m_writer.Open(file, header)) {
    case CRecordWriter::OpenResult::kOpen:
      break;
    case CRecordWriter::OpenResult::kNotCreated:
      return 0;
    case CRecordWriter::OpenResult::kHeaderFailed:
      // The file was created but its header could not be written: that recording has ended.
      abandon();
      return 0;
  }
  m_recording = 1;
  m_notifier.Notify(KV_EVENT_RECORD, m_kind == Kind::kNormal ? REC_STARTED : ALARM_REC_STARTED);
  return 1;
}

int CRecorder::Stop() {
  platform::FlaggedLock lock(m_lock);
  m_recording = 0;
  const int result = m_writer.Finish() ? 1 : 0;
  m_notifier.Notify(KV_EVENT_RECORD, m_kind == Kind::kNormal ? REC_STOPPED : ALARM_REC_STOPPED);
  return result;
}

void CRecorder::abandon() {
  platform::FlaggedLock lock(m_lock);
  m_recording = 0;
  m_notifier.Notify(KV_EVENT_RECORD, m_kind == Kind::kNormal ? REC_STOPPED : ALARM_REC_STOPPED);
}

}  // namespace kv
