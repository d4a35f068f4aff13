// CAVSource: the base of every stream source. It is the client's receive (or file-read)
// thread and answers the recorder interface by delegating to the normal and alarm recorders it
// owns (a live source; the replay source has none); subclasses supply Open, Close, Run, Stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "sdk/platform/jthread.h"
#include "sdk/record/irecord.h"
#include "sdk/record/recorder.h"
#include "sdk/state/client_state.h"
#include "sdk/state/stream_counters.h"

namespace kv {

class CIConduit;
class IDisplayControl;
class IEventNotifier;
struct DisplayBinding;

// What a source is given of its client: the groups it reads and writes, the notifier for the
// client's events and the two conduits (none owned).
struct SourceContext {
  LinkSettings* link = nullptr;
  StreamDescription* stream = nullptr;
  SoundState* sound = nullptr;
  ViewState* view = nullptr;
  ReplayControl* replay = nullptr;
  RecordSettings* record = nullptr;
  StreamCounters* counters = nullptr;
  IEventNotifier* notifier = nullptr;
  CIConduit* videoConduit = nullptr;
  CIConduit* audioConduit = nullptr;
};

class CAVSource : public platform::JThread, public IRecord {
 public:
  // A source that records (every live one) gets its two recorders when it is attached.
  explicit CAVSource(bool records = true);
  ~CAVSource() override;

  // Gives the source its client's groups, notifier and conduits (not owned).
  void Attach(const SourceContext& context);

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

  // IRecord: each slot goes to the normal or the alarm recorder. A source without recorders
  // (replay) is never recording: its locks do nothing and its starts fail.
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

 protected:
  int ThreadMain() override;

 protected:
  // The common tail of every subclass's Stop.
  int StopAndJoin();
  // What the source's decode worker is given; the "Rec" mark follows this source's recording.
  DisplayBinding displayBinding();
  bool attached() const { return m_notifier != nullptr; }

  CIConduit* m_videoConduit = nullptr;
  CIConduit* m_audioConduit = nullptr;
  std::atomic<int> m_stopRequested{0};
  LinkSettings* m_link = nullptr;
  StreamDescription* m_stream = nullptr;
  SoundState* m_sound = nullptr;
  ViewState* m_view = nullptr;
  ReplayControl* m_replay = nullptr;
  RecordSettings* m_record = nullptr;
  StreamCounters* m_counters = nullptr;
  IEventNotifier* m_notifier = nullptr;
  const bool m_records;
  // The normal and the alarm recording; null for a source that does not record.
  std::unique_ptr<CRecorder> m_normalRecorder;
  std::unique_ptr<CRecorder> m_alarmRecorder;
};

}  // namespace kv
