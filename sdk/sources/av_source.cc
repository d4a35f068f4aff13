// CAVSource: the common thread body, stop sequence and recorder writers.
#include "sdk/sources/av_source.h"

namespace kv {

CAVSource::CAVSource() {
  m_recordLock.Initialise();
  m_alarmLock.Initialise();
}

CAVSource::~CAVSource() {
  // Subclasses stop the thread before this runs; a file still open is closed unindexed.
  if (m_recordFile != nullptr) std::fclose(m_recordFile);
  if (m_alarmFile != nullptr) std::fclose(m_alarmFile);
  std::vector<IndexEntry>().swap(m_recordIndex);
  std::vector<IndexEntry>().swap(m_alarmIndex);
  m_recordLock.Delete();
  m_alarmLock.Delete();
  CloseHandle();
}

void CAVSource::Attach(CNetClient* client, CIConduit* videoConduit, CIConduit* audioConduit) {
  m_client = client;
  m_videoConduit = videoConduit;
  m_audioConduit = audioConduit;
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

int CAVSource::IsRecording() { return m_recording; }
int CAVSource::IsAlarmRecording() { return m_alarmRecording; }
void CAVSource::LockRecord() { m_recordLock.Enter(); }
void CAVSource::UnlockRecord() { m_recordLock.Leave(); }
void CAVSource::LockAlarmRecord() { m_alarmLock.Enter(); }
void CAVSource::UnlockAlarmRecord() { m_alarmLock.Leave(); }

int CAVSource::WriteRecord(int, const void* data, uint32_t length) {
  if (m_recordFile != nullptr) {
    std::fwrite(data, 1, length, m_recordFile);
    m_recordPosition += length;
  }
  return 1;
}

int CAVSource::WriteAlarmRecord(int, const void* data, uint32_t length) {
  if (m_alarmFile != nullptr) {
    std::fwrite(data, 1, length, m_alarmFile);
    m_alarmPosition += length;
  }
  return 1;
}

int CAVSource::AddRecordIndex(uint32_t timeStamp) {
  m_recordIndex.push_back(IndexEntry{m_recordPosition, timeStamp, 0});
  return 1;
}

int CAVSource::AddAlarmIndex(uint32_t timeStamp) {
  m_alarmIndex.push_back(IndexEntry{m_alarmPosition, timeStamp, 0});
  return 1;
}

// The record file writer is not part of this build: starting a recording fails and
// stopping one that never started reports nothing done.
int CAVSource::StartRecord() { return 0; }
int CAVSource::StopRecord() { return 0; }
int CAVSource::StartAlarmRecord() { return 0; }
int CAVSource::StopAlarmRecord() { return 0; }

}  // namespace kv
