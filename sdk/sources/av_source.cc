// CAVSource: the common thread body, the stop sequence and the recorder slots.
#include "sdk/sources/av_source.h"

#include "KvNetClient.h"
#include "sdk/media/av_display.h"
#include "sdk/state/event_notifier.h"

namespace kv {

CAVSource::CAVSource(bool records) : m_records(records) {}

// Subclasses stop the thread before this runs; a file still open is closed unindexed by its
// recorder.
CAVSource::~CAVSource() { CloseHandle(); }

void CAVSource::Attach(const SourceContext& context) {
  m_link = context.link;
  m_stream = context.stream;
  m_sound = context.sound;
  m_view = context.view;
  m_replay = context.replay;
  m_record = context.record;
  m_counters = context.counters;
  m_notifier = context.notifier;
  m_videoConduit = context.videoConduit;
  m_audioConduit = context.audioConduit;
  if (m_records && m_record != nullptr && m_stream != nullptr && m_notifier != nullptr) {
    m_normalRecorder =
        std::make_unique<CRecorder>(CRecorder::Kind::kNormal, *m_record, *m_stream, *m_notifier);
    m_alarmRecorder =
        std::make_unique<CRecorder>(CRecorder::Kind::kAlarm, *m_record, *m_stream, *m_notifier);
  }
}

DisplayBinding CAVSource::displayBinding() {
  DisplayBinding binding;
  binding.link = m_link;
  binding.stream = m_stream;
  binding.view = m_view;
  binding.replay = m_replay;
  binding.counters = m_counters;
  binding.notifier = m_notifier;
  binding.videoConduit = m_videoConduit;
  binding.isRecording = [this] { return IsRecording() != 0; };
  return binding;
}

int CAVSource::ThreadMain() {
  ThreadStarted();
  return Run();
}

int CAVSource::StopAndJoin() {
  m_stopRequested = 1;
  if (IsRecording()) StopRecord();
  if (IsAlarmRecording()) StopAlarmRecord();
  if (WaitForEnd(platform::kInfinite) == platform::kWaitObject0) CloseHandle();
  return 0;
}

int CAVSource::IsRecording() { return m_normalRecorder ? m_normalRecorder->IsRecording() : 0; }
int CAVSource::IsAlarmRecording() { return m_alarmRecorder ? m_alarmRecorder->IsRecording() : 0; }

void CAVSource::LockRecord() {
  if (m_normalRecorder) m_normalRecorder->Lock();
}
void CAVSource::UnlockRecord() {
  if (m_normalRecorder) m_normalRecorder->Unlock();
}
void CAVSource::LockAlarmRecord() {
  if (m_alarmRecorder) m_alarmRecorder->Lock();
}
void CAVSource::UnlockAlarmRecord() {
  if (m_alarmRecorder) m_alarmRecorder->Unlock();
}

int CAVSource::WriteRecord(int, const void* data, uint32_t length) {
  return m_normalRecorder ? m_normalRecorder->Write(data, length) : 1;
}
int CAVSource::WriteAlarmRecord(int, const void* data, uint32_t length) {
  return m_alarmRecorder ? m_alarmRecorder->Write(data, length) : 1;
}
int CAVSource::AddRecordIndex(uint32_t timeStamp) {
  return m_normalRecorder ? m_normalRecorder->AddIndex(timeStamp) : 1;
}
int CAVSource::AddAlarmIndex(uint32_t timeStamp) {
  return m_alarmRecorder ? m_alarmRecorder->AddIndex(timeStamp) : 1;
}

int CAVSource::StartRecord() { return m_normalRecorder ? m_normalRecorder->Start() : 0; }
int CAVSource::StopRecord() { return m_normalRecorder ? m_normalRecorder->Stop() : 1; }
int CAVSource::StartAlarmRecord() { return m_alarmRecorder ? m_alarmRecorder->Start() : 0; }
int CAVSource::StopAlarmRecord() { return m_alarmRecorder ? m_alarmRecorder->Stop() : 1; }

}  // namespace kv
