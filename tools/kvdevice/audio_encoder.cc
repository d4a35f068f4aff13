// The simulated camera's audio encoder: G.711 through libavcodec, G.726 through spandsp.
#include "tools/kvdevice/audio_encoder.h"

#include <cmath>  // before spandsp, whose telephony header defines lrint as a macro
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
// clang-format off
#include <spandsp/telephony.h>
#include <spandsp/bitstream.h>
#include <spandsp/g726.h>
// clang-format on
}
// telephony.h turns these into truncating casts for C++; nothing here should see that.
#undef lrint
#undef lrintf

namespace kvdevice {

std::unique_ptr<AudioEncoder> AudioEncoder::Create(AudioCodec codec, int frameSamples,
                                                   std::string& error) {
  const int bits = AudioBitsPerSample(codec);
  if (bits == 0) {
    error = "no audio codec";
    return nullptr;
  }
  // Whole bytes per frame: no code may straddle two datagrams.
  if (frameSamples <= 0 || frameSamples % 8 != 0) {
    error = "audio frames must hold a positive multiple of 8 samples";
    return nullptr;
  }
  std::unique_ptr<AudioEncoder> e(new AudioEncoder());
  e->frameSamples_ = frameSamples;
  if (codec != AudioCodec::kG711A && codec != AudioCodec::kG711U) {
    // spandsp's G.726 follows the standard at every rate. libavcodec's departs from it at
    // 40 kbit/s (only its own decoder reads that back well), so it is not used for G.726.
    // RIGHT packing puts the first code in the low bits of the first byte, as RFC 3551 does.
    e->g726_ = g726_init(nullptr, bits * 8000, G726_ENCODING_LINEAR, G726_PACKING_RIGHT);
    if (e->g726_ == nullptr) {
      error = "cannot start spandsp's G.726 encoder";
      return nullptr;
    }
    return e;
  }

  const char* name = codec == AudioCodec::kG711A ? "pcm_alaw" : "pcm_mulaw";
  const AVCodec* found = avcodec_find_encoder_by_name(name);
  if (found == nullptr) {
    error = std::string("libavcodec has no ") + name + " encoder";
    return nullptr;
  }
  AVCodecContext* c = e->context_ = avcodec_alloc_context3(found);
  e->frame_ = av_frame_alloc();
  e->packet_ = av_packet_alloc();
  if (c == nullptr || e->frame_ == nullptr || e->packet_ == nullptr) {
    error = "out of memory";
    return nullptr;
  }
  c->sample_rate = 8000;
  c->sample_fmt = AV_SAMPLE_FMT_S16;
  c->bit_rate = 64000;
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
  if (g726_ != nullptr) g726_free(g726_);
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  avcodec_free_context(&context_);
}

bool AudioEncoder::encode(const int16_t* samples, std::vector<uint8_t>& out) {
  out.clear();
  if (g726_ != nullptr) {
    // At most 5 bits a sample; whole bytes per frame, so no bits wait in the packer.
    out.resize(static_cast<size_t>(frameSamples_) * 5 / 8);
    const int bytes = g726_encode(g726_, out.data(), samples, frameSamples_);
    if (bytes <= 0 || static_cast<size_t>(bytes) > out.size()) return false;
    out.resize(static_cast<size_t>(bytes));
    return true;
  }
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
