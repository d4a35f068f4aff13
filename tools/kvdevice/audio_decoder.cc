// The simulated camera's decoder of the voice it hears while talking.
#include "tools/kvdevice/audio_decoder.h"

#include <algorithm>
#include <cmath>  // before spandsp, whose telephony header defines lrint as a macro

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
#undef lrint
#undef lrintf

namespace kvdevice {

std::unique_ptr<AudioDecoder> AudioDecoder::Create(AudioCodec codec, std::string& error) {
  const int bits = AudioBitsPerSample(codec);
  if (bits == 0) {
    error = "no audio codec";
    return nullptr;
  }
  std::unique_ptr<AudioDecoder> d(new AudioDecoder());
  d->bits_ = bits;
  if (codec != AudioCodec::kG711A && codec != AudioCodec::kG711U) {
    d->g726_ = g726_init(nullptr, bits * 8000, G726_ENCODING_LINEAR, G726_PACKING_RIGHT);
    if (d->g726_ == nullptr) {
      error = "cannot start spandsp's G.726 decoder";
      return nullptr;
    }
    return d;
  }
  const char* name = codec == AudioCodec::kG711A ? "pcm_alaw" : "pcm_mulaw";
  const AVCodec* found = avcodec_find_decoder_by_name(name);
  if (found == nullptr) {
    error = std::string("libavcodec has no ") + name + " decoder";
    return nullptr;
  }
  d->context_ = avcodec_alloc_context3(found);
  d->frame_ = av_frame_alloc();
  d->packet_ = av_packet_alloc();
  if (d->context_ == nullptr || d->frame_ == nullptr || d->packet_ == nullptr) {
    error = "out of memory";
    return nullptr;
  }
  d->context_->sample_rate = 8000;
  av_channel_layout_default(&d->context_->ch_layout, 1);
  if (avcodec_open2(d->context_, found, nullptr) < 0) {
    error = std::string("cannot open the ") + name + " decoder";
    return nullptr;
  }
  return d;
}

AudioDecoder::~AudioDecoder() {
  if (g726_ != nullptr) g726_free(g726_);
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  avcodec_free_context(&context_);
}

bool AudioDecoder::decode(const uint8_t* data, size_t size, std::vector<int16_t>& out) {
  if (size == 0) return true;
  if (g726_ != nullptr) {
    const size_t at = out.size();
    out.resize(at + size * 8 / static_cast<size_t>(bits_) + 1);
    const int samples = g726_decode(g726_, out.data() + at, data, static_cast<int>(size));
    out.resize(at + static_cast<size_t>(std::max(samples, 0)));
    return samples >= 0;
  }
  if (av_new_packet(packet_, static_cast<int>(size)) < 0) return false;
  std::copy(data, data + size, packet_->data);
  const int sent = avcodec_send_packet(context_, packet_);
  av_packet_unref(packet_);
  if (sent < 0) return false;
  while (avcodec_receive_frame(context_, frame_) >= 0) {
    const auto* samples = reinterpret_cast<const int16_t*>(frame_->data[0]);
    if (frame_->format == AV_SAMPLE_FMT_S16) {
      out.insert(out.end(), samples, samples + frame_->nb_samples);
    }
    av_frame_unref(frame_);
  }
  return true;
}

}  // namespace kvdevice
