// The recorder interface a source implements: locked writers of the normal and alarm record
// files and their key-frame indexes, plus start and stop of both recordings.
#pragma once

#include <cstdint>

namespace kv {

class IRecord {
 public:
  virtual int IsRecording() = 0;
  virtual int IsAlarmRecording() = 0;
  virtual void LockRecord() = 0;
  virtual void UnlockRecord() = 0;
  virtual int WriteRecord(int reserved, const void* data, uint32_t length) = 0;
  virtual int AddRecordIndex(uint32_t timeStamp) = 0;
  virtual int AddAlarmIndex(uint32_t timeStamp) = 0;
  virtual void LockAlarmRecord() = 0;
  virtual void UnlockAlarmRecord() = 0;
  virtual int WriteAlarmRecord(int reserved, const void* data, uint32_t length) = 0;
  virtual int StartRecord() = 0;
  virtual int StopRecord() = 0;
  virtual int StartAlarmRecord() = 0;
  virtual int StopAlarmRecord() = 0;

 protected:
  ~IRecord() = default;
};

// One entry of a record file's key-frame index.
struct IndexEntry {
  uint64_t offset;     // file offset of the unit's header
  uint32_t timeStamp;  // milliseconds
  uint32_t zero;
};
static_assert(sizeof(IndexEntry) == 16);
static_assert(__builtin_offsetof(IndexEntry, offset) == 0);
static_assert(__builtin_offsetof(IndexEntry, timeStamp) == 8);
static_assert(__builtin_offsetof(IndexEntry, zero) == 12);

}  // namespace kv
