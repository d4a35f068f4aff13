// The simulated camera's audio encoder (libavcodec: G.711 A/mu-law, G.726 in RFC 3551 packing).
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
  int frameSamples_ = 0;
};

}  // namespace kvdevice
