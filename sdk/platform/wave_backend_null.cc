// Synthetic wave backends: playback that discards at the real-time rate, capture of silence
// or of a sine tone.
#include <cmath>
#include <cstring>
#include <numbers>

#include "sdk/platform/wave_backend.h"

namespace kv::platform::wave {
namespace {

class NullOut : public OutBackend {
 public:
  explicit NullOut(const WaveFormat& format) : m_pacer(true, format.avgBytesPerSec) {}
  int64_t Write(const uint8_t*, uint32_t length, const CancelFn& cancelled) override {
    m_pacer.Pace(length, cancelled);
    return length;
  }
  void Discard() override { m_pacer.Restart(); }

 private:
  RealTimePacer m_pacer;
};

class SilenceIn : public InBackend {
 public:
  explicit SilenceIn(const WaveFormat& format) : m_pacer(true, format.avgBytesPerSec) {}
  bool Start() override {
    m_pacer.Restart();
    return true;
  }
  void Stop() override {}
  int64_t Read(uint8_t* data, uint32_t length, const CancelFn& cancelled) override {
    std::memset(data, 0, length);
    m_pacer.Pace(length, cancelled);
    return length;
  }

 private:
  RealTimePacer m_pacer;
};

class ToneIn : public InBackend {
 public:
  ToneIn(double hz, bool realTime, const WaveFormat& format)
      : m_step(2.0 * std::numbers::pi * hz / format.samplesPerSec),
        m_channels(format.channels),
        m_pacer(realTime, format.avgBytesPerSec) {}
  bool Start() override {
    m_pacer.Restart();
    return true;
  }
  void Stop() override {}
  int64_t Read(uint8_t* data, uint32_t length, const CancelFn& cancelled) override {
    const uint32_t frameBytes = 2u * m_channels;
    const uint32_t frames = length / frameBytes;
    for (uint32_t i = 0; i < frames; ++i) {
      const auto sample = static_cast<int16_t>(std::lround(kAmplitude * std::sin(m_phase)));
      m_phase = std::fmod(m_phase + m_step, 2.0 * std::numbers::pi);
      for (uint32_t c = 0; c < m_channels; ++c) {
        data[i * frameBytes + 2 * c] = static_cast<uint8_t>(sample & 0xFF);
        data[i * frameBytes + 2 * c + 1] = static_cast<uint8_t>((sample >> 8) & 0xFF);
      }
    }
    std::memset(data + frames * frameBytes, 0, length - frames * frameBytes);
    m_pacer.Pace(length, cancelled);
    return length;
  }

 private:
  static constexpr double kAmplitude = 8000.0;
  double m_phase = 0.0;
  double m_step;
  uint32_t m_channels;
  RealTimePacer m_pacer;
};

}  // namespace

std::unique_ptr<InBackend> OpenToneIn(double hz, bool realTime, const WaveFormat& format) {
  return std::make_unique<ToneIn>(hz, realTime, format);
}

std::unique_ptr<OutBackend> OpenNullOut(const WaveFormat& format) {
  return std::make_unique<NullOut>(format);
}

std::unique_ptr<InBackend> OpenSilenceIn(const WaveFormat& format) {
  return std::make_unique<SilenceIn>(format);
}

}  // namespace kv::platform::wave
