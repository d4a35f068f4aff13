// CAVSource: the common thread body, stop sequence and recorder writers.
#include "sdk/sources/av_source.h"

#include <cstring>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/record/ensure_directory.h"
#include "sdk/record/record_format.h"

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

// Everything one of the two recordings uses, so both share one implementation.
struct CAVSource::RecordSlot {
  std::atomic<int>& flag;
  std::FILE*& file;
  platform::FlaggedCriticalSection& lock;
  std::vector<IndexEntry>& index;
  uint64_t& position;
  const char* path;       // where the next start creates the file
  std::string& filePath;  // where the open file was created
  int startedCode;
  int stoppedCode;
};

CAVSource::RecordSlot CAVSource::slot(RecordKind kind) {
  if (kind == RecordKind::kNormal) {
    return {m_recording,      m_recordFile,     m_recordLock,
            m_recordIndex,    m_recordPosition, m_client ? m_client->m_recordPath : "",
            m_recordFilePath, REC_STARTED,      REC_STOPPED};
  }
  return {m_alarmRecording, m_alarmFile,       m_alarmLock,
          m_alarmIndex,     m_alarmPosition,   m_client ? m_client->m_alarmRecordPath : "",
          m_alarmFilePath,  ALARM_REC_STARTED, ALARM_REC_STOPPED};
}

int CAVSource::WriteRecord(int, const void* data, uint32_t length) {
  return writeRecordFile(RecordKind::kNormal, data, length);
}

int CAVSource::WriteAlarmRecord(int, const void* data, uint32_t length) {
  return writeRecordFile(RecordKind::kAlarm, data, length);
}

int CAVSource::writeRecordFile(RecordKind kind, const void* data, uint32_t length) {
  RecordSlot s = slot(kind);
  if (s.file != nullptr) {
    const size_t written = std::fwrite(data, 1, length, s.file);
    s.position += length;
    if (written != length) abandonRecordFile(kind);
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

int CAVSource::StartRecord() { return startRecordFile(RecordKind::kNormal); }
int CAVSource::StopRecord() { return stopRecordFile(RecordKind::kNormal); }
int CAVSource::StartAlarmRecord() { return startRecordFile(RecordKind::kAlarm); }
int CAVSource::StopAlarmRecord() { return stopRecordFile(RecordKind::kAlarm); }

int CAVSource::startRecordFile(RecordKind kind) {
  if (m_client == nullptr) return 0;
  RecordSlot s = slot(kind);
  platform::FlaggedLock lock(s.lock);
  RecordFileHeader header;
  header.frameRate = HeaderFrameRate(m_client->m_frameRate.load());
  if (!EnsureDirectory(s.path)) return 0;
  std::FILE* file = std::fopen(s.path, "wb");
  if (file == nullptr) return 0;
  if (s.file != nullptr) std::fclose(s.file);
  s.file = file;
  s.filePath = s.path;
  s.index.clear();
  s.flag = 1;
  header.videoCodec = m_client->m_videoCodec.load();
  header.audioCodec = m_client->m_audioCodec.load();
  header.width = static_cast<uint16_t>(m_client->m_width.load());
  header.height = static_cast<uint16_t>(m_client->m_height.load());
  header.deviceGeneration = static_cast<uint8_t>(m_client->m_deviceGeneration.load());
  uint8_t bytes[kRecordHeaderSize];
  EncodeFileHeader(header, bytes);
  s.position = 0;
  writeRecordFile(kind, bytes, kRecordHeaderSize);
  if (s.file == nullptr) return 0;  // the header could not be written: already ended
  m_client->Notify(KV_EVENT_RECORD, s.startedCode);
  return 1;
}

int CAVSource::stopRecordFile(RecordKind kind) {
  RecordSlot s = slot(kind);
  platform::FlaggedLock lock(s.lock);
  s.flag = 0;
  int result = 1;
  if (s.file != nullptr) {
    const uint32_t count = static_cast<uint32_t>(s.index.size());
    std::vector<uint8_t> trailer(10 + kIndexEntrySize * count + 4 + 8);
    uint8_t* p = trailer.data();
    std::memcpy(p, kIndexBegin, 10);
    p += 10;
    for (const IndexEntry& e : s.index) {
      PutLe64(p, e.offset);
      PutLe32(p + 8, e.timeStamp);
      PutLe32(p + 12, 0);
      p += kIndexEntrySize;
    }
    PutLe32(p, count);
    std::memcpy(p + 4, kIndexEnd, 8);
    const bool written = std::fwrite(trailer.data(), 1, trailer.size(), s.file) == trailer.size();
    const bool closed = std::fclose(s.file) == 0;
    s.file = nullptr;
    if (!written || !closed) result = 0;
    // A recording without a single index point is not kept.
    if (count == 0) std::remove(s.filePath.c_str());
  }
  if (m_client != nullptr) m_client->Notify(KV_EVENT_RECORD, s.stoppedCode);
  return result;
}

void CAVSource::abandonRecordFile(RecordKind kind) {
  RecordSlot s = slot(kind);
  platform::FlaggedLock lock(s.lock);
  s.flag = 0;
  if (s.file == nullptr) return;
  std::fclose(s.file);
  s.file = nullptr;
  // What was written stays readable without its index; a file without one key unit goes.
  if (s.index.empty()) std::remove(s.filePath.c_str());
  if (m_client != nullptr) m_client->Notify(KV_EVENT_RECORD, s.stoppedCode);
}

}  // namespace kv
