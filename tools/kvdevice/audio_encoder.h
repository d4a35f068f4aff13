// The simulated camera's audio encoder: G.711 A/mu-law through libavcodec, G.726 at 16, 24, 32
// and 40 kbit/s through spandsp (codes packed least significant bit first, as RFC 3551 has it).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/kvdevice/options.h"

extern "C" {
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct g726_state_s;
}

namespace kvdevice {

class AudioEncoder {
 public:
  static std::unique_ptr<AudioEncoder> Create(AudioCodec codec, int frameSamples,
                                              std::string& error);
  ~AudioEncoder();

  // Encodes exactly frameSamples samples (8 kHz mono) into out.
  bool encode(const int16_t* samples, std::vector<uint8_t>& out);

 private:
  AudioEncoder() = default;

  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  g726_state_s* g726_ = nullptr;  // set for G.726, whose coder is spandsp's
  int frameSamples_ = 0;
};

}  // namespace kvdevice
