// CAVSource: the base of every stream source. It is the client's receive (or file-read)
// thread and the client's recorder; subclasses supply Open, Close, Run and Stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sdk/platform/critical_section.h"
#include "sdk/platform/jthread.h"
#include "sdk/record/irecord.h"

namespace kv {

class CIConduit;
class CNetClient;
class IDisplayControl;

class CAVSource : public platform::JThread, public IRecord {
 public:
  CAVSource();
  ~CAVSource() override;

  // Gives the source its client and the client's two conduits (not owned).
  void Attach(CNetClient* client, CIConduit* videoConduit, CIConduit* audioConduit);

  // Prepares before the thread starts; non-zero on success.
  virtual int Open() = 0;
  // Releases what Open prepared.
  virtual void Close() = 0;
  // The receive or read loop; its result is the thread's exit value.
  virtual int Run() = 0;
  // Asks the loop to end, unblocks it, ends recordings and waits for the thread.
  virtual int Stop() = 0;

  // The decode/display worker the display exports reach; null when there is none.
  virtual IDisplayControl* Display() { return nullptr; }

  bool StopRequested() const { return m_stopRequested != 0; }

  // IRecord.
  int IsRecording() override;
  int IsAlarmRecording() override;
  void LockRecord() override;
  void UnlockRecord() override;
  int WriteRecord(int reserved, const void* data, uint32_t length) override;
  int AddRecordIndex(uint32_t timeStamp) override;
  int AddAlarmIndex(uint32_t timeStamp) override;
  void LockAlarmRecord() override;
  void UnlockAlarmRecord() override;
  int WriteAlarmRecord(int reserved, const void* data, uint32_t length) override;
  int StartRecord() override;
  int StopRecord() override;
  int StartAlarmRecord() override;
  int StopAlarmRecord() override;

  // The file a recording writes: the normal one or the alarm one.
  enum class RecordKind { kNormal, kAlarm };

  // Read by tests and by the record writer.
  const std::vector<IndexEntry>& RecordIndex() const { return m_recordIndex; }
  const std::vector<IndexEntry>& AlarmIndex() const { return m_alarmIndex; }
  uint64_t RecordPosition() const { return m_recordPosition; }
  uint64_t AlarmPosition() const { return m_alarmPosition; }

 protected:
  int ThreadMain() override;

 private:
  struct RecordSlot;
  RecordSlot slot(RecordKind kind);
  int startRecordFile(RecordKind kind);
  int stopRecordFile(RecordKind kind);
  int writeRecordFile(RecordKind kind, const void* data, uint32_t length);
  // Ends a recording whose file can no longer be written; raises the stopped event.
  void abandonRecordFile(RecordKind kind);

 protected:
  // The common tail of every subclass's Stop.
  int StopAndJoin();

  CIConduit* m_videoConduit = nullptr;
  CIConduit* m_audioConduit = nullptr;
  std::atomic<int> m_stopRequested{0};
  CNetClient* m_client = nullptr;
  std::atomic<int> m_recording{0};
  std::atomic<int> m_alarmRecording{0};
  std::FILE* m_recordFile = nullptr;
  platform::FlaggedCriticalSection m_recordLock;
  std::FILE* m_alarmFile = nullptr;
  platform::FlaggedCriticalSection m_alarmLock;
  std::vector<IndexEntry> m_recordIndex;
  uint64_t m_recordPosition = 0;
  std::vector<IndexEntry> m_alarmIndex;
  uint64_t m_alarmPosition = 0;
  // The paths the open files were created at: a stop removes the file it closed, whatever
  // the client's path fields say by then.
  std::string m_recordFilePath;
  std::string m_alarmFilePath;
};

}  // namespace kv
