// CRecorder: one of a live source's two recordings (the normal or the alarm one). It keeps the
// recording flag and the record lock, starts a file at the recording's path with the stream's
// header, hands unit bytes and index points to its CRecordWriter and ends the file with its
// trailer, raising the recording's started and stopped events.
//
// Writers follow the lock discipline: Lock, optionally AddIndex (before the unit's bytes, so
// the entry points at the unit's header), Write one or more times, Unlock. Start and Stop take
// the same lock, so a start never sees a stop half done.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "sdk/platform/critical_section.h"
#include "sdk/record/record_writer.h"

namespace kv {

class IEventNotifier;
struct RecordSettings;
struct StreamDescription;

class CRecorder {
 public:
  enum class Kind { kNormal, kAlarm };

  // Reads the path from settings (path or alarmPath) and the header fields from stream at
  // each start; reports its events through notifier. None is owned.
  CRecorder(Kind kind, const RecordSettings& settings, const StreamDescription& stream,
            IEventNotifier& notifier);
  ~CRecorder();
  CRecorder(const CRecorder&) = delete;
  CRecorder& operator=(const CRecorder&) = delete;

  int IsRecording() const { return m_recording; }
  void Lock() { m_lock.Enter(); }
  void Unlock() { m_lock.Leave(); }
  // Writes length bytes when a file is open; always 1. A write that fails ends the recording
  // (its stopped event) and keeps what was written.
  int Write(const void* data, uint32_t length);
  // Appends an index entry at the file's current position; always 1.
  int AddIndex(uint32_t timeStamp);
  // Creates the file at the recording's path (and its folders) and writes the header: 1, and
  // the started event; 0 when it cannot.
  int Start();
  // Ends the recording: the trailer, the file closed (removed when it has no index point) and
  // the stopped event. 0 when the trailer could not be written.
  int Stop();

  const std::vector<IndexEntry>& Index() const { return m_writer.Index(); }
  uint64_t Position() const { return m_writer.Position(); }

 private:
  const char* path() const;
  // Ends a recording whose file can no longer be written; raises the stopped event.
  void abandon();

  const Kind m_kind;
  const RecordSettings& m_settings;
  const StreamDescription& m_stream;
  IEventNotifier& m_notifier;
  std::atomic<int> m_recording{0};
  platform::FlaggedCriticalSection m_lock;
  CRecordWriter m_writer;
};

}  // namespace kv
