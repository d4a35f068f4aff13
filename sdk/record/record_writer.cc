// The record-file writer.
#include "sdk/record/record_writer.h"

namespace kv {

CRecordWriter::~CRecordWriter() {
  if (m_file != nullptr) std::fclose(m_file);
}

CRecordWriter::OpenResult CRecordWriter::Open(const char* path, const RecordFileHeader& header) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return OpenResult::kNotCreated;
  if (m_file != nullptr) std::fclose(m_file);
  m_file = file;
  m_path = path;
  m_index.clear();
  m_position = 0;
  uint8_t bytes[kRecordHeaderSize];
  EncodeFileHeader(header, bytes);
  return Write(bytes, kRecordHeaderSize) ? OpenResult::kOpen : OpenResult::kHeaderFailed;
}

bool CRecordWriter::Write(const void* data, uint32_t length) {
  if (m_file == nullptr) return true;
  const size_t written = std::fwrite(data, 1, length, m_file);
  m_position += length;
  if (written == length) return true;
  Abandon();
  return false;
}

void CRecordWriter::AddIndex(uint32_t timeStamp) {
  m_index.push_back(IndexEntry{m_position, timeStamp, 0});
}

bool CRecordWriter::Finish() {
  if (m_file == nullptr) return true;
  const std::vector<uint8_t> trailer = EncodeIndexTrailer(m_index);
  const bool written = std::fwrite(trailer.data(), 1, trailer.size(), m_file) == trailer.size();
  return closeFile() && written;
}

bool CRecordWriter::Abandon() {
  if (m_file == nullptr) return false;
  closeFile();
  return true;
}

bool CRecordWriter::closeFile() {
  const bool closed = std::fclose(m_file) == 0;
  m_file = nullptr;
  // A recording without a single index point is not kept.
  if (m_index.empty()) std::remove(m_path.c_str());
  return closed;
}

}  // namespace kv
