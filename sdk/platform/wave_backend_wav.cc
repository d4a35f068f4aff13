// WAV file wave backends: playback into a RIFF WAV file (sizes written at close), capture
// from one (silence after its data ends), at the real-time rate or as fast as possible.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sdk/platform/debug_output.h"
#include "sdk/platform/wave_backend.h"

namespace kv::platform::wave {
namespace {

constexpr uint32_t kHeaderBytes = 44;

void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, v & 0xFFFF);
  put16(p + 2, v >> 16);
}
uint32_t get16(const uint8_t* p) { return p[0] | (uint32_t{p[1]} << 8); }
uint32_t get32(const uint8_t* p) { return get16(p) | (get16(p + 2) << 16); }

void buildHeader(uint8_t* h, const WaveFormat& f, uint32_t dataBytes) {
  std::memcpy(h, "RIFF", 4);
  put32(h + 4, 36 + dataBytes);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  put32(h + 16, 16);
  put16(h + 20, f.formatTag);
  put16(h + 22, f.channels);
  put32(h + 24, f.samplesPerSec);
  put32(h + 28, f.avgBytesPerSec);
  put16(h + 32, f.blockAlign);
  put16(h + 34, f.bitsPerSample);
  std::memcpy(h + 36, "data", 4);
  put32(h + 40, dataBytes);
}

class WavOut : public OutBackend {
 public:
  WavOut(std::FILE* file, bool realTime, const WaveFormat& format)
      : m_file(file), m_format(format), m_pacer(realTime, format.avgBytesPerSec) {}
  ~WavOut() override {
    uint8_t header[kHeaderBytes];
    buildHeader(header, m_format, m_dataBytes);
    if (std::fseek(m_file, 0, SEEK_SET) != 0 ||
        std::fwrite(header, 1, kHeaderBytes, m_file) != kHeaderBytes) {
      DebugPrintf("KvNetClient: WAV header could not be written\n");
    }
    std::fclose(m_file);
  }
  int64_t Write(const uint8_t* data, uint32_t length, const CancelFn& cancelled) override {
    // Flushed per buffer so that what was played can be followed in the file as it grows.
    if (length > 0 &&
        (std::fwrite(data, 1, length, m_file) != length || std::fflush(m_file) != 0)) {
      return -1;
    }
    m_dataBytes += length;
    m_pacer.Pace(length, cancelled);
    return length;
  }
  void Discard() override { m_pacer.Restart(); }

 private:
  std::FILE* m_file;
  WaveFormat m_format;
  uint32_t m_dataBytes = 0;
  RealTimePacer m_pacer;
};

class WavIn : public InBackend {
 public:
  WavIn(std::FILE* file, uint32_t dataBytes, bool realTime, const WaveFormat& format)
      : m_file(file), m_left(dataBytes), m_pacer(realTime, format.avgBytesPerSec) {}
  ~WavIn() override { std::fclose(m_file); }
  bool Start() override {
    m_pacer.Restart();
    return true;
  }
  void Stop() override {}
  int64_t Read(uint8_t* data, uint32_t length, const CancelFn& cancelled) override {
    size_t got = 0;
    if (m_left > 0) {
      got = std::fread(data, 1, std::min(length, m_left), m_file);
      m_left = got == 0 ? 0 : m_left - static_cast<uint32_t>(got);
    }
    std::memset(data + got, 0, length - got);
    m_pacer.Pace(length, cancelled);
    return length;
  }

 private:
  std::FILE* m_file;
  uint32_t m_left;
  RealTimePacer m_pacer;
};

// Positions file at the data chunk; false when the file is not a WAV file of this format.
bool findData(std::FILE* file, const WaveFormat& want, uint32_t* dataBytes, MmResult* error) {
  uint8_t riff[12];
  *error = MMSYSERR_INVALPARAM;
  if (std::fread(riff, 1, 12, file) != 12 || std::memcmp(riff, "RIFF", 4) != 0 ||
      std::memcmp(riff + 8, "WAVE", 4) != 0) {
    return false;
  }
  bool haveFormat = false;
  for (;;) {
    uint8_t chunk[8];
    if (std::fread(chunk, 1, 8, file) != 8) return false;
    const uint32_t size = get32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      uint8_t fmt[16];
      if (size < 16 || std::fread(fmt, 1, 16, file) != 16) return false;
      if (get16(fmt) != want.formatTag || get16(fmt + 2) != want.channels ||
          get32(fmt + 4) != want.samplesPerSec || get16(fmt + 14) != want.bitsPerSample) {
        *error = WAVERR_BADFORMAT;
        return false;
      }
      haveFormat = true;
      const long rest = static_cast<long>(size) - 16 + static_cast<long>(size & 1);
      if (std::fseek(file, rest, SEEK_CUR) != 0) return false;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFormat) return false;
      *dataBytes = size;
      *error = MMSYSERR_NOERROR;
      return true;
    } else {
      const long skip = static_cast<long>(size) + static_cast<long>(size & 1);
      if (std::fseek(file, skip, SEEK_CUR) != 0) return false;
    }
  }
}

}  // namespace

std::unique_ptr<OutBackend> OpenWavOut(const std::string& path, bool realTime,
                                       const WaveFormat& format, MmResult* error) {
  std::FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "wb");
  uint8_t header[kHeaderBytes];
  buildHeader(header, format, 0);
  if (file == nullptr || std::fwrite(header, 1, kHeaderBytes, file) != kHeaderBytes) {
    if (file != nullptr) std::fclose(file);
    DebugPrintf("KvNetClient: WAV output \"%s\" cannot be written\n", path.c_str());
    *error = MMSYSERR_NODRIVER;
    return nullptr;
  }
  return std::make_unique<WavOut>(file, realTime, format);
}

std::unique_ptr<InBackend> OpenWavIn(const std::string& path, bool realTime,
                                     const WaveFormat& format, MmResult* error) {
  std::FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    DebugPrintf("KvNetClient: WAV input \"%s\" cannot be read\n", path.c_str());
    *error = MMSYSERR_NODRIVER;
    return nullptr;
  }
  uint32_t dataBytes = 0;
  if (!findData(file, format, &dataBytes, error)) {
    std::fclose(file);
    DebugPrintf("KvNetClient: \"%s\" is not a WAV file of the wanted format\n", path.c_str());
    return nullptr;
  }
  return std::make_unique<WavIn>(file, dataBytes, realTime, format);
}

}  // namespace kv::platform::wave
