// Voice codec throughput in samples/s: ours beside libavcodec's coders on the same signal.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "sdk/platform/voice_codec.h"

namespace {

using namespace kv::platform;

constexpr size_t kSamples = 16000;  // two seconds per iteration

std::vector<int16_t> signal() {
  std::vector<int16_t> pcm(kSamples);
  for (size_t i = 0; i < kSamples; ++i) {
    pcm[i] = static_cast<int16_t>(9000 * std::sin(i * 0.11) + 4000 * std::sin(i * 0.027 + 1));
  }
  return pcm;
}

// Our frames for the whole signal, back to back.
std::vector<std::vector<uint8_t>> ourFrames(int32_t mode, const std::vector<int16_t>& pcm) {
  VoiceCodecState state;
  HI_VOICE_EncReset(&state, mode);
  std::vector<std::vector<uint8_t>> frames;
  for (size_t at = 0; at < pcm.size(); at += kVoiceSamplesPerFrame) {
    std::vector<uint8_t> frame(kVoiceMaxFrameBytes);
    HI_VOICE_EncodeFrame(&state, &pcm[at], frame.data(), frame.size(), kVoiceSamplesPerFrame);
    frame.resize(VoiceFrameBytes(mode, kVoiceSamplesPerFrame));
    frames.push_back(std::move(frame));
  }
  return frames;
}

void ourEncode(benchmark::State& st, int32_t mode) {
  const auto pcm = signal();
  VoiceCodecState state;
  HI_VOICE_EncReset(&state, mode);
  uint8_t frame[kVoiceMaxFrameBytes];
  for (auto _ : st) {
    for (size_t at = 0; at < kSamples; at += kVoiceSamplesPerFrame) {
      if (HI_VOICE_EncodeFrame(&state, &pcm[at], frame, sizeof frame, kVoiceSamplesPerFrame)) {
        st.SkipWithError("encode failed");
      }
      benchmark::DoNotOptimize(frame);
    }
  }
  st.SetItemsProcessed(st.iterations() * kSamples);
}

void ourDecode(benchmark::State& st, int32_t mode) {
  const auto frames = ourFrames(mode, signal());
  VoiceCodecState state;
  HI_VOICE_DecReset(&state, mode);
  int16_t out[kVoiceSamplesPerFrame + 8];
  for (auto _ : st) {
    for (const auto& f : frames) {
      uint16_t count = 0;
      if (HI_VOICE_DecodeFrame(&state, f.data(), f.size(), out, std::size(out), &count)) {
        st.SkipWithError("decode failed");
      }
      benchmark::DoNotOptimize(out);
    }
  }
  st.SetItemsProcessed(st.iterations() * kSamples);
}

struct ContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

std::unique_ptr<AVCodecContext, ContextDeleter> openAv(const char* name, int bits, bool encoder) {
  const AVCodec* codec =
      encoder ? avcodec_find_encoder_by_name(name) : avcodec_find_decoder_by_name(name);
  if (codec == nullptr) return nullptr;
  std::unique_ptr<AVCodecContext, ContextDeleter> c(avcodec_alloc_context3(codec));
  c->sample_rate = 8000;
  c->sample_fmt = AV_SAMPLE_FMT_S16;
  c->bit_rate = 8000 * bits;
  c->bits_per_coded_sample = bits;
  av_channel_layout_default(&c->ch_layout, 1);
  if (avcodec_open2(c.get(), codec, nullptr) < 0) return nullptr;
  return c;
}

// libavcodec encodes in calls of its own frame size (160 samples where it lets us choose).
void avEncode(benchmark::State& st, const char* name, int bits) {
  const auto pcm = signal();
  auto c = openAv(name, bits, true);
  if (!c) return st.SkipWithError("no encoder");
  const size_t n = c->frame_size > 0 ? c->frame_size : kVoiceSamplesPerFrame;
  std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
  frame->nb_samples = static_cast<int>(n);
  frame->format = AV_SAMPLE_FMT_S16;
  av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
  av_frame_get_buffer(frame.get(), 0);
  std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
  size_t samples = 0;
  for (auto _ : st) {
    for (size_t at = 0; at + n <= kSamples; at += n) {
      av_frame_make_writable(frame.get());
      std::memcpy(frame->data[0], &pcm[at], n * 2);
      if (avcodec_send_frame(c.get(), frame.get()) < 0 ||
          avcodec_receive_packet(c.get(), packet.get()) < 0) {
        st.SkipWithError("encode failed");
      }
      av_packet_unref(packet.get());
      samples += n;
    }
  }
  st.SetItemsProcessed(samples);
}

// libavcodec decodes the payloads of our 160-sample frames, one packet each.
void avDecode(benchmark::State& st, const char* name, int bits, int32_t mode) {
  const auto frames = ourFrames(mode, signal());
  auto c = openAv(name, bits, false);
  if (!c) return st.SkipWithError("no decoder");
  std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
  std::vector<std::unique_ptr<AVPacket, PacketDeleter>> packets;
  for (const auto& f : frames) {
    packets.emplace_back(av_packet_alloc());
    av_new_packet(packets.back().get(), static_cast<int>(f.size() - 4));
    std::memcpy(packets.back()->data, f.data() + 4, f.size() - 4);
  }
  for (auto _ : st) {
    for (const auto& p : packets) {
      if (avcodec_send_packet(c.get(), p.get()) < 0 ||
          avcodec_receive_frame(c.get(), frame.get()) < 0) {
        st.SkipWithError("decode failed");
      }
      benchmark::DoNotOptimize(frame->data[0]);
      av_frame_unref(frame.get());
    }
  }
  st.SetItemsProcessed(st.iterations() * kSamples);
}

BENCHMARK_CAPTURE(ourEncode, G711A, kVoiceModeG711A);
BENCHMARK_CAPTURE(avEncode, G711A, "pcm_alaw", 8);
BENCHMARK_CAPTURE(ourDecode, G711A, kVoiceModeG711A);
BENCHMARK_CAPTURE(avDecode, G711A, "pcm_alaw", 8, kVoiceModeG711A);
BENCHMARK_CAPTURE(ourEncode, G711U, kVoiceModeG711U);
BENCHMARK_CAPTURE(avEncode, G711U, "pcm_mulaw", 8);
BENCHMARK_CAPTURE(ourDecode, G711U, kVoiceModeG711U);
BENCHMARK_CAPTURE(avDecode, G711U, "pcm_mulaw", 8, kVoiceModeG711U);
BENCHMARK_CAPTURE(ourEncode, G726_32, kVoiceModeG726_32);
BENCHMARK_CAPTURE(avEncode, G726_32, "g726le", 4);
BENCHMARK_CAPTURE(ourDecode, G726_32, kVoiceModeG726_32);
BENCHMARK_CAPTURE(avDecode, G726_32, "g726le", 4, kVoiceModeG726_32);

}  // namespace
