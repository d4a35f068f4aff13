// The sound of an exported recording: the stored voice frames (G.711, G.726) or AVI PCM either
// as they are, for Matroska, or decoded and encoded as AAC with libavcodec, for MP4. Packets
// carry time stamps in samples at 8,000 per second.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "sdk/platform/voice_codec.h"

namespace kvnet {

constexpr int kAudioSampleRate = 8000;

struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

// G.726 codes packed least significant bit first (as stored) repacked most significant bit
// first, the order containers' G.726 codec expects; bits is 2..5.
std::vector<uint8_t> RepackG726(const uint8_t* data, size_t size, int bits);

class AudioTrack {
 public:
  // codec: the ACODEC_* code of the stored voice frames, or 0 for 16-bit PCM. aac: transcode.
  AudioTrack(uint8_t codec, bool aac) : codec_(codec), aac_(aac) {}
  ~AudioTrack();
  AudioTrack(const AudioTrack&) = delete;
  AudioTrack& operator=(const AudioTrack&) = delete;

  // Sets up the stream (and the AAC encoder); false with *error.
  bool Configure(AVStream* stream, bool globalHeader, std::string* error);
  // Where the sound starts, in samples; taken at the first unit.
  void SetStart(int64_t sample) {
    if (!started_) next_ = sample;
  }
  bool started() const { return started_; }
  // One stored unit; its packets are appended to out. False for a unit that is damaged (a
  // voice frame whose header disagrees with its length) or that the codec refuses: skipped.
  bool Add(const uint8_t* data, uint32_t length, std::vector<PacketPtr>* out);
  // Flushes the encoder.
  void Finish(std::vector<PacketPtr>* out);

 private:
  bool payloadOf(const uint8_t* data, uint32_t length, const uint8_t** payload, size_t* size);
  bool decode(const uint8_t* data, uint32_t length, std::vector<int16_t>* pcm);
  void encodeFrames(bool flush, std::vector<PacketPtr>* out);
  void receive(std::vector<PacketPtr>* out);

  uint8_t codec_;
  bool aac_;
  bool started_ = false;
  int64_t next_ = 0;  // time stamp of the next sample to come
  AVCodecContext* encoder_ = nullptr;
  AVFrame* frame_ = nullptr;
  std::vector<float> pending_;  // samples waiting for a whole encoder frame
  int64_t pendingStart_ = 0;
  kv::platform::VoiceCodecState voice_{};
  bool voiceReady_ = false;
};

}  // namespace kvnet
