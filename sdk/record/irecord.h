// The recorder interface a source implements: locked writers of the normal and alarm record
// files and their key-frame indexes, plus start and stop of both recordings.
#pragma once

#include <cstdint>

#include "sdk/record/record_format.h"

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

}  // namespace kv
