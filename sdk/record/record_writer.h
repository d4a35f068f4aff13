// CRecordWriter: one record file being written. It owns the open file, writes the file
// header, the units' bytes and, at the end, the key-frame index trailer, and keeps the index
// and the count of bytes written. A file left open is closed (without its trailer) when the
// writer goes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sdk/record/record_format.h"

namespace kv {

class CRecordWriter {
 public:
  CRecordWriter() = default;
  ~CRecordWriter();
  CRecordWriter(const CRecordWriter&) = delete;
  CRecordWriter& operator=(const CRecordWriter&) = delete;

  enum class OpenResult { kOpen, kNotCreated, kHeaderFailed };
  // Creates the file at path (its folders must exist) and writes the header. A file still
  // open is closed first, without its trailer. When the header cannot be written the new
  // file is closed and removed again (kHeaderFailed); nothing is open after a failure.
  OpenResult Open(const char* path, const RecordFileHeader& header);
  // Writes length bytes and counts them; false (and the file closed as by Abandon) when they
  // could not all be written. Nothing happens without an open file.
  bool Write(const void* data, uint32_t length);
  // Appends an index entry at the current position.
  void AddIndex(uint32_t timeStamp);
  // Writes the index trailer and closes the file; a file without a single index entry is
  // removed. False when the trailer could not be written or the file not closed.
  bool Finish();
  // Closes the file without a trailer (what was written stays readable by a scan); a file
  // without a single index entry is removed. True when a file was open.
  bool Abandon();

  bool IsOpen() const { return m_file != nullptr; }
  uint64_t Position() const { return m_position; }
  const std::vector<IndexEntry>& Index() const { return m_index; }

 private:
  // Closes the file and removes it when it has no index entry.
  bool closeFile();

  std::FILE* m_file = nullptr;
  uint64_t m_position = 0;
  std::vector<IndexEntry> m_index;
  // The path the open file was created at: the file removed is the one that was written.
  std::string m_path;
};

}  // namespace kv
