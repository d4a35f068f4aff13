// Sinks for the RTP depacketiser fuzz targets: they read every byte handed to them, so a piece
// that points outside its packet or buffer shows up under AddressSanitizer.
#pragma once

#include <cstdint>

#include "sdk/sources/rtp_sink.h"

namespace kvfuzz {

inline uint32_t Touch(const void* data, int64_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t sum = 0;
  for (int64_t i = 0; i < length; ++i) sum += p[i];
  return sum;
}

class TouchingSink : public kv::IRtpVideoSink, public kv::IRtpAudioSink {
 public:
  uint32_t sum = 0;
  int writes = 0;
  bool refuse = false;

  bool WriteVideo(const void* data, int32_t length, int32_t, int32_t) override {
    if (length < 0) __builtin_trap();
    sum += Touch(data, length);
    return !(refuse && (++writes % 7) == 0);
  }
  void ClearVideo() override {}
  void RecordVideo(const kv::VideoRecordUnit& unit) override {
    uint32_t total = 0;
    for (int i = 0; i < unit.pieceCount; ++i) {
      sum += Touch(unit.pieces[i].data, unit.pieces[i].length);
      total += unit.pieces[i].length;
    }
    if (total != unit.length) __builtin_trap();
  }
  bool WantsRawVideo() const override { return true; }
  void RawVideo(const uint8_t* data, int32_t length, const kv::RawVideoUnit&) override {
    sum += Touch(data, length);
  }
  bool AudioOn() const override { return true; }
  int32_t AudioQueued() override { return writes * 100; }
  void ClearAudio() override {}
  void WriteAudio(const int16_t* samples, int32_t bytes) override { sum += Touch(samples, bytes); }
  void RecordAudio(uint32_t, const uint8_t* frame, uint32_t length, uint32_t) override {
    sum += Touch(frame, length);
  }
};

}  // namespace kvfuzz
