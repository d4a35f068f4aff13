// The simulated camera's decoder of the voice it hears while talking: G.711 through libavcodec,
// G.726 through spandsp (codes packed least significant bit first), 8 kHz mono.
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

class AudioDecoder {
 public:
  static std::unique_ptr<AudioDecoder> Create(AudioCodec codec, std::string& error);
  ~AudioDecoder();
  AudioDecoder(const AudioDecoder&) = delete;
  AudioDecoder& operator=(const AudioDecoder&) = delete;

  // Decodes coded bytes and appends the samples to out; false when the decoder refused them.
  bool decode(const uint8_t* data, size_t size, std::vector<int16_t>& out);

 private:
  AudioDecoder() = default;

  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  g726_state_s* g726_ = nullptr;
  int bits_ = 0;
};

}  // namespace kvdevice
