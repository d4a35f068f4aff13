// A growing 8 kHz mono 16-bit WAV file.
#include "tools/kvdevice/wav_file.h"

#include <cstring>
#include <limits>

namespace kvdevice {

WavFile::~WavFile() {
  if (file_ != nullptr) std::fclose(file_);
}

bool WavFile::open(const std::string& path) {
  file_ = std::fopen(path.c_str(), "wb");
  return file_ != nullptr && writeHeader();
}

bool WavFile::writeHeader() {
  // The host is little-endian, as the format is.
  WavHeader h{};
  std::memcpy(h.riff, "RIFF", 4);
  h.riffSize = 36 + dataBytes_;
  std::memcpy(h.wave, "WAVE", 4);
  std::memcpy(h.fmt, "fmt ", 4);
  h.fmtSize = 16;
  h.format = 1;
  h.channels = 1;
  h.sampleRate = 8000;
  h.byteRate = 16000;
  h.blockAlign = 2;
  h.bitsPerSample = 16;
  std::memcpy(h.data, "data", 4);
  h.dataSize = dataBytes_;
  return std::fseek(file_, 0, SEEK_SET) == 0 && std::fwrite(&h, sizeof h, 1, file_) == 1 &&
         std::fseek(file_, 0, SEEK_END) == 0;
}

bool WavFile::append(const int16_t* samples, size_t count) {
  if (file_ == nullptr) return false;
  const uint64_t bytes = uint64_t{count} * 2;
  if (dataBytes_ + bytes > std::numeric_limits<uint32_t>::max() - 36) return false;
  if (count > 0 && std::fwrite(samples, 2, count, file_) != count) return false;
  dataBytes_ += static_cast<uint32_t>(bytes);
  return writeHeader() && std::fflush(file_) == 0;
}

}  // namespace kvdevice
