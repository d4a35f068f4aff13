// A growing WAV file of 8 kHz mono 16-bit samples whose header is kept true after every
// append, so that a reader may open it while it is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kvdevice {

// The canonical 44-byte header: RIFF, a 16-byte PCM "fmt " chunk and the "data" chunk head.
struct WavHeader {
  char riff[4];
  uint32_t riffSize;
  char wave[4];
  char fmt[4];
  uint32_t fmtSize;
  uint16_t format;
  uint16_t channels;
  uint32_t sampleRate;
  uint32_t byteRate;
  uint16_t blockAlign;
  uint16_t bitsPerSample;
  char data[4];
  uint32_t dataSize;
};
static_assert(sizeof(WavHeader) == 44);
static_assert(offsetof(WavHeader, riffSize) == 4 && offsetof(WavHeader, fmtSize) == 16 &&
              offsetof(WavHeader, sampleRate) == 24 && offsetof(WavHeader, bitsPerSample) == 34 &&
              offsetof(WavHeader, dataSize) == 40);

class WavFile {
 public:
  WavFile() = default;
  ~WavFile();
  WavFile(const WavFile&) = delete;
  WavFile& operator=(const WavFile&) = delete;

  // Creates (or empties) the file; false when it cannot be written.
  bool open(const std::string& path);
  bool append(const int16_t* samples, size_t count);
  uint64_t samples() const { return dataBytes_ / 2; }

 private:
  bool writeHeader();

  std::FILE* file_ = nullptr;
  uint32_t dataBytes_ = 0;
};

}  // namespace kvdevice
