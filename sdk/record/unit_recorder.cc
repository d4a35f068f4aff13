// Unit writing for both record files.
#include "sdk/record/unit_recorder.h"

#include <atomic>

#include "KvNetClient.h"
#include "sdk/platform/clock.h"
#include "sdk/record/irecord.h"
#include "sdk/record/record_format.h"
#include "sdk/state/client_state.h"
#include "sdk/state/event_notifier.h"

namespace kv {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// True when more than duration milliseconds lie between start and now (either way round).
bool DurationExceeded(uint32_t start, uint32_t duration) {
  if (duration == 0) return false;
  const int32_t diff = static_cast<int32_t>(platform::GetTickCount() - start);
  const uint32_t distance =
      diff < 0 ? 0u - static_cast<uint32_t>(diff) : static_cast<uint32_t>(diff);
  return distance > duration;
}

struct FileOps {
  int (IRecord::*isOn)();
  void (IRecord::*lock)();
  void (IRecord::*unlock)();
  int (IRecord::*write)(int, const void*, uint32_t);
  int (IRecord::*index)(uint32_t);
  int (IRecord::*stop)();
};

constexpr FileOps kNormal{&IRecord::IsRecording, &IRecord::LockRecord,     &IRecord::UnlockRecord,
                          &IRecord::WriteRecord, &IRecord::AddRecordIndex, &IRecord::StopRecord};
constexpr FileOps kAlarm{&IRecord::IsAlarmRecording,  &IRecord::LockAlarmRecord,
                         &IRecord::UnlockAlarmRecord, &IRecord::WriteAlarmRecord,
                         &IRecord::AddAlarmIndex,     &IRecord::StopAlarmRecord};

// Writes one unit; called with the file's lock held and the recording on.
void WriteUnitLocked(IRecord& r, const FileOps& ops, const RecordUnitHeader& header,
                     const UnitPieces& unit) {
  uint8_t bytes[kUnitHeaderSize];
  EncodeUnitHeader(header, bytes);
  if (unit.keyPoint) (r.*ops.index)(header.timeStamp);
  (r.*ops.write)(0, bytes, kUnitHeaderSize);
  for (int i = 0; i < unit.count; ++i) {
    if (unit.pieces[i].length != 0) (r.*ops.write)(0, unit.pieces[i].data, unit.pieces[i].length);
  }
}

// Enters a record file's lock for the life of the object.
class FileLock {
 public:
  FileLock(IRecord& r, const FileOps& ops) : m_r(r), m_ops(ops) { (m_r.*m_ops.lock)(); }
  ~FileLock() { (m_r.*m_ops.unlock)(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  IRecord& m_r;
  const FileOps& m_ops;
};

}  // namespace

void RecordVideoUnit(IRecord& recorder, const StreamDescription& stream,
                     const RecordSettings& settings, IEventNotifier& notifier,
                     const VideoUnit& unit) {
  if (unit.data == nullptr && unit.length != 0) return;
  UnitPieces pieces;
  if (unit.beginsCodedUnit) pieces.pieces[pieces.count++] = {kStartCode, 4};
  pieces.pieces[pieces.count++] = {unit.data, unit.length};
  pieces.type = unit.type;
  pieces.keyPoint = (unit.type & 0xFu) == 7;
  pieces.timeStamp = unit.timeStamp;
  RecordVideoPieces(recorder, stream, settings, notifier, pieces);
}

void RecordVideoPieces(IRecord& recorder, const StreamDescription& stream,
                       const RecordSettings& settings, IEventNotifier& notifier,
                       const UnitPieces& unit) {
  if (unit.count < 0 || unit.count > 3) return;
  uint64_t total = 0;
  for (int i = 0; i < unit.count; ++i) {
    if (unit.pieces[i].data == nullptr && unit.pieces[i].length != 0) return;
    total += unit.pieces[i].length;
  }
  // A unit longer than the header can describe would corrupt the file: it is left out.
  if (total > kMaxUnitLength) return;
  RecordUnitHeader header;
  header.kind = kUnitVideo;
  header.type = unit.type & 0xFu;
  header.length = static_cast<uint32_t>(total);
  header.width = static_cast<uint16_t>(stream.width.load());
  header.height = static_cast<uint16_t>(stream.height.load());
  header.timeStamp = unit.timeStamp;

  struct Limit {
    const FileOps& ops;
    const std::atomic<uint32_t>& start;
    const std::atomic<uint32_t>& duration;
    int timeUpCode;
  } limits[] = {{kNormal, settings.start, settings.duration, REC_TIME_UP},
                {kAlarm, settings.alarmStart, settings.alarmDuration, ALARM_REC_TIME_UP}};
  for (const Limit& l : limits) {
    if (!(recorder.*l.ops.isOn)()) continue;
    // The flag and the limits are read under the file's lock, where every start sets them: a
    // stop and a new start just before this unit cannot have the new recording judged by the
    // old one's limits.
    FileLock lock(recorder, l.ops);
    if (!(recorder.*l.ops.isOn)()) continue;
    if (DurationExceeded(l.start.load(), l.duration.load())) {
      (recorder.*l.ops.stop)();
      notifier.Notify(KV_EVENT_RECORD, l.timeUpCode);
      continue;
    }
    WriteUnitLocked(recorder, l.ops, header, unit);
  }
}

void RecordAudioUnit(IRecord& recorder, uint8_t audioCodec, const uint8_t* voiceFrame,
                     uint32_t length, uint32_t timeStamp) {
  if (length > kMaxUnitLength || voiceFrame == nullptr) return;
  RecordUnitHeader header;
  header.kind = kUnitAudio;
  header.type = audioCodec & 0xFu;
  header.length = length;
  header.timeStamp = timeStamp;
  for (const FileOps* ops : {&kNormal, &kAlarm}) {
    if (!(recorder.*ops->isOn)()) continue;
    FileLock lock(recorder, *ops);
    if ((recorder.*ops->isOn)()) {
      UnitPieces frame;
      frame.pieces[frame.count++] = {voiceFrame, length};
      WriteUnitLocked(recorder, *ops, header, frame);
    }
  }
}

}  // namespace kv
