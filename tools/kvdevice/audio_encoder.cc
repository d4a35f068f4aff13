// The simulated camera's audio encoder (libavcodec: G.711 A/mu-law, G.726 in RFC 3551 packing).
#include "tools/kvdevice/audio_encoder.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace kvdevice {

std::unique_ptr<AudioEncoder> AudioEncoder::Create(AudioCodec codec, int frameSamples,
                                                   std::string& error) {
  const char* name = nullptr;
  int64_t bitRate = 64000;
  switch (codec) {
    case AudioCodec::kNone:
      error = "no audio codec";
      return nullptr;
    case AudioCodec::kG711A:
      name = "pcm_alaw";
      break;
    case AudioCodec::kG711U:
      name = "pcm_mulaw";
      break;
    default:
      // g726le packs the code words from the least significant bit, as RFC 3551 does.
      name = "g726le";
      bitRate = int64_t{AudioBitsPerSample(codec)} * 8000;
      break;
  }
  const AVCodec* found = avcodec_find_encoder_by_name(name);
  if (found == nullptr) {
    error = std::string("libavcodec has no ") + name + " encoder";
    return nullptr;
  }
  std::unique_ptr<AudioEncoder> e(new AudioEncoder());
  e->frameSamples_ = frameSamples;
  AVCodecContext* c = e->context_ = avcodec_alloc_context3(found);
  e->frame_ = av_frame_alloc();
  e->packet_ = av_packet_alloc();
  if (c == nullptr || e->frame_ == nullptr || e->packet_ == nullptr) {
    error = "out of memory";
    return nullptr;
  }
  c->sample_rate = 8000;
  c->sample_fmt = AV_SAMPLE_FMT_S16;
  c->bit_rate = bitRate;
  c->time_base = AVRational{1, 8000};
  av_channel_layout_default(&c->ch_layout, 1);
  if (avcodec_open2(c, found, nullptr) < 0) {
    error = std::string("cannot open the ") + name + " encoder";
    return nullptr;
  }
  e->frame_->format = AV_SAMPLE_FMT_S16;
  e->frame_->nb_samples = frameSamples;
  e->frame_->sample_rate = 8000;
  av_channel_layout_default(&e->frame_->ch_layout, 1);
  if (av_frame_get_buffer(e->frame_, 0) < 0) {
    error = "out of memory";
    return nullptr;
  }
  return e;
}

AudioEncoder::~AudioEncoder() {
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  avcodec_free_context(&context_);
}

bool AudioEncoder::encode(const int16_t* samples, std::vector<uint8_t>& out) {
  out.clear();
  if (av_frame_make_writable(frame_) < 0) return false;
  std::memcpy(frame_->data[0], samples, sizeof(int16_t) * static_cast<size_t>(frameSamples_));
  if (avcodec_send_frame(context_, frame_) < 0) return false;
  // These codecs are sample-by-sample: every frame comes back at once.
  while (avcodec_receive_packet(context_, packet_) >= 0) {
    out.insert(out.end(), packet_->data, packet_->data + packet_->size);
    av_packet_unref(packet_);
  }
  return !out.empty();
}

}  // namespace kvdevice
