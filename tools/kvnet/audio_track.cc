// Exported sound: stored voice frames copied or transcoded to AAC.
#include "kvnet/audio_track.h"

#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "KvNetClient.h"

namespace kvnet {
namespace {

constexpr int kAacBitRate = 32000;
constexpr size_t kMaxDecodedSamples = 8192;

int G726Bits(uint8_t codec) {
  switch (codec) {
    case ACODEC_G726_16:
      return 2;
    case ACODEC_G726_24:
      return 3;
    case ACODEC_G726_32:
      return 4;
    case ACODEC_G726_40:
      return 5;
    default:
      return 0;
  }
}

PacketPtr MakePacket(const uint8_t* data, size_t size, int64_t pts, int64_t duration) {
  PacketPtr p(av_packet_alloc());
  if (!p || av_new_packet(p.get(), static_cast<int>(size)) < 0) return nullptr;
  if (size != 0) std::memcpy(p->data, data, size);
  p->pts = p->dts = pts;
  p->duration = duration;
  p->flags |= AV_PKT_FLAG_KEY;
  return p;
}

}  // namespace

std::vector<uint8_t> RepackG726(const uint8_t* data, size_t size, int bits) {
  std::vector<uint8_t> out(size, 0);
  const size_t codes = size * 8 / static_cast<size_t>(bits);
  for (size_t i = 0; i < codes; ++i) {
    // Read code i least significant bit first...
    unsigned code = 0;
    for (int b = 0; b < bits; ++b) {
      const size_t bit = i * static_cast<size_t>(bits) + static_cast<size_t>(b);
      code |= ((data[bit / 8] >> (bit % 8)) & 1u) << b;
    }
    // ...and write it most significant bit first.
    for (int b = 0; b < bits; ++b) {
      const size_t bit = i * static_cast<size_t>(bits) + static_cast<size_t>(b);
      if ((code >> (bits - 1 - b)) & 1u) out[bit / 8] |= static_cast<uint8_t>(0x80u >> (bit % 8));
    }
  }
  return out;
}

AudioTrack::~AudioTrack() {
  av_frame_free(&frame_);
  avcodec_free_context(&encoder_);
}

bool AudioTrack::Configure(AVStream* stream, bool globalHeader, std::string* error) {
  AVCodecParameters* par = stream->codecpar;
  stream->time_base = AVRational{1, kAudioSampleRate};
  if (aac_) {
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    encoder_ = aac != nullptr ? avcodec_alloc_context3(aac) : nullptr;
    frame_ = av_frame_alloc();
    if (encoder_ == nullptr || frame_ == nullptr) {
      *error = "libavcodec has no AAC encoder";
      return false;
    }
    encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder_->sample_rate = kAudioSampleRate;
    av_channel_layout_default(&encoder_->ch_layout, 1);
    encoder_->bit_rate = kAacBitRate;
    encoder_->time_base = AVRational{1, kAudioSampleRate};
    if (globalHeader) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(encoder_, aac, nullptr) < 0 ||
        avcodec_parameters_from_context(par, encoder_) < 0) {
      *error = "the AAC encoder cannot be opened";
      return false;
    }
    return true;
  }
  par->codec_type = AVMEDIA_TYPE_AUDIO;
  par->sample_rate = kAudioSampleRate;
  av_channel_layout_default(&par->ch_layout, 1);
  switch (codec_) {
    case 0:
      par->codec_id = AV_CODEC_ID_PCM_S16LE;
      par->bits_per_coded_sample = 16;
      break;
    case ACODEC_G711A:
      par->codec_id = AV_CODEC_ID_PCM_ALAW;
      par->bits_per_coded_sample = 8;
      break;
    case ACODEC_G711U:
      par->codec_id = AV_CODEC_ID_PCM_MULAW;
      par->bits_per_coded_sample = 8;
      break;
    default:
      if (G726Bits(codec_) == 0) {
        *error = "unknown audio codec " + std::to_string(codec_);
        return false;
      }
      par->codec_id = AV_CODEC_ID_ADPCM_G726;
      par->bits_per_coded_sample = G726Bits(codec_);
      break;
  }
  par->bit_rate = int64_t{par->bits_per_coded_sample} * kAudioSampleRate;
  par->block_align = par->codec_id == AV_CODEC_ID_PCM_S16LE ? 2 : 1;
  return true;
}

bool AudioTrack::payloadOf(const uint8_t* data, uint32_t length, const uint8_t** payload,
                           size_t* size) {
  if (codec_ == 0) {
    *payload = data;
    *size = length & ~1u;
    return *size != 0;
  }
  // A voice frame: tag 0x0100 (bytes 00 01), N words, 2N bytes.
  if (length < kv::platform::kVoiceFrameHeaderBytes || data[0] != 0x00 || data[1] != 0x01) {
    return false;
  }
  const size_t words = data[2] | (size_t{data[3]} << 8);
  if (words == 0 || words * 2 != length - kv::platform::kVoiceFrameHeaderBytes) return false;
  *payload = data + kv::platform::kVoiceFrameHeaderBytes;
  *size = words * 2;
  return true;
}

bool AudioTrack::decode(const uint8_t* data, uint32_t length, std::vector<int16_t>* pcm) {
  if (codec_ == 0) {
    const size_t n = (length & ~1u) / 2;
    pcm->resize(n);
    for (size_t i = 0; i < n; ++i) {
      (*pcm)[i] = static_cast<int16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    return n != 0;
  }
  if (!voiceReady_) {
    if (kv::platform::HI_VOICE_DecReset(&voice_, codec_) != 0) return false;
    voiceReady_ = true;
  }
  const size_t words = (length - kv::platform::kVoiceFrameHeaderBytes) / 2;
  if (kv::platform::VoiceMaxDecodedSamples(codec_, words) > kMaxDecodedSamples) return false;
  pcm->resize(kMaxDecodedSamples);
  uint16_t samples = 0;
  if (kv::platform::HI_VOICE_DecodeFrame(&voice_, data, length, pcm->data(), pcm->size(),
                                         &samples) != 0) {
    return false;
  }
  pcm->resize(samples);
  return samples != 0;
}

bool AudioTrack::Add(const uint8_t* data, uint32_t length, std::vector<PacketPtr>* out) {
  const uint8_t* payload = nullptr;
  size_t size = 0;
  if (!payloadOf(data, length, &payload, &size)) return false;
  if (!aac_) {
    int64_t samples = static_cast<int64_t>(size);
    std::vector<uint8_t> repacked;
    if (codec_ == 0) {
      samples = static_cast<int64_t>(size / 2);
    } else if (const int bits = G726Bits(codec_)) {
      samples = static_cast<int64_t>(size * 8 / static_cast<size_t>(bits));
      repacked = RepackG726(payload, size, bits);
      payload = repacked.data();
    }
    PacketPtr p = MakePacket(payload, size, next_, samples);
    if (!p) return false;
    started_ = true;
    next_ += samples;
    out->push_back(std::move(p));
    return true;
  }
  std::vector<int16_t> pcm;
  if (!decode(data, length, &pcm)) return false;
  if (!started_) pendingStart_ = next_;
  started_ = true;
  for (int16_t s : pcm) pending_.push_back(static_cast<float>(s) / 32768.0f);
  next_ += static_cast<int64_t>(pcm.size());
  encodeFrames(false, out);
  return true;
}

void AudioTrack::receive(std::vector<PacketPtr>* out) {
  while (true) {
    PacketPtr p(av_packet_alloc());
    if (!p || avcodec_receive_packet(encoder_, p.get()) < 0) return;
    out->push_back(std::move(p));
  }
}

void AudioTrack::encodeFrames(bool flush, std::vector<PacketPtr>* out) {
  const size_t frameSize = static_cast<size_t>(encoder_->frame_size);
  while (pending_.size() >= frameSize || (flush && !pending_.empty())) {
    const size_t n = std::min(pending_.size(), frameSize);
    av_frame_unref(frame_);
    frame_->format = AV_SAMPLE_FMT_FLTP;
    frame_->sample_rate = kAudioSampleRate;
    frame_->nb_samples = static_cast<int>(n);
    av_channel_layout_default(&frame_->ch_layout, 1);
    if (av_frame_get_buffer(frame_, 0) < 0) return;
    std::memcpy(frame_->data[0], pending_.data(), n * sizeof(float));
    frame_->pts = pendingStart_;
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
    pendingStart_ += static_cast<int64_t>(n);
    if (avcodec_send_frame(encoder_, frame_) < 0) return;
    receive(out);
  }
}

void AudioTrack::Finish(std::vector<PacketPtr>* out) {
  if (!aac_ || encoder_ == nullptr) return;
  encodeFrames(true, out);
  if (avcodec_send_frame(encoder_, nullptr) >= 0) receive(out);
}

}  // namespace kvnet
