// Voice frames: layout, refusals, G.726 round trips and interchange with libavcodec's coders.
#include "sdk/platform/voice_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace kv::platform {
namespace {

constexpr int32_t kAllModes[] = {kVoiceModeG711A,   kVoiceModeG711U,   kVoiceModeG726_16,
                                 kVoiceModeG726_24, kVoiceModeG726_32, kVoiceModeG726_40};
constexpr int32_t kG726Modes[] = {kVoiceModeG726_16, kVoiceModeG726_24, kVoiceModeG726_32,
                                  kVoiceModeG726_40};

int bitsOf(int32_t mode) { return mode <= kVoiceModeG711U ? 8 : mode - 2; }

// Speech-like test signal: two tones and a slow sweep, peak about 12000.
std::vector<int16_t> testSignal(size_t count) {
  std::vector<int16_t> pcm(count);
  for (size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / 8000.0;
    const double v = 6000 * std::sin(2 * std::numbers::pi * 440 * t) +
                     3500 * std::sin(2 * std::numbers::pi * 1250 * t + 1) +
                     2500 * std::sin(2 * std::numbers::pi * (200 + 300 * t) * t);
    pcm[i] = static_cast<int16_t>(std::lround(v));
  }
  return pcm;
}

// Signal-to-noise ratio of `decoded` against `original`, in dB, from sample `from` on.
double snrDb(const std::vector<int16_t>& original, const std::vector<int16_t>& decoded,
             size_t from) {
  double signal = 0;
  double noise = 0;
  for (size_t i = from; i < original.size() && i < decoded.size(); ++i) {
    signal += double(original[i]) * original[i];
    noise += (double(original[i]) - decoded[i]) * (double(original[i]) - decoded[i]);
  }
  return 10 * std::log10(signal / std::max(noise, 1.0));
}

// Encodes whole 160-sample frames with our codec; returns the frames back to back.
std::vector<std::vector<uint8_t>> encodeFrames(int32_t mode, const std::vector<int16_t>& pcm) {
  VoiceCodecState state;
  EXPECT_EQ(HI_VOICE_EncReset(&state, mode), 0);
  std::vector<std::vector<uint8_t>> frames;
  for (size_t at = 0; at + kVoiceSamplesPerFrame <= pcm.size(); at += kVoiceSamplesPerFrame) {
    std::vector<uint8_t> frame(kVoiceMaxFrameBytes);
    EXPECT_EQ(HI_VOICE_EncodeFrame(&state, pcm.data() + at, frame.data(), frame.size(),
                                   kVoiceSamplesPerFrame),
              0);
    frame.resize(kVoiceFrameHeaderBytes + 2 * (frame[2] | frame[3] << 8));
    frames.push_back(std::move(frame));
  }
  return frames;
}

// Wraps a bare payload (an even number of bytes) in a voice frame header.
std::vector<uint8_t> makeFrame(const uint8_t* payload, size_t bytes) {
  std::vector<uint8_t> frame(kVoiceFrameHeaderBytes + bytes);
  frame[1] = 0x01;
  frame[2] = static_cast<uint8_t>(bytes / 2 & 0xFF);
  frame[3] = static_cast<uint8_t>(bytes / 2 >> 8);
  if (bytes != 0) std::memcpy(frame.data() + kVoiceFrameHeaderBytes, payload, bytes);
  return frame;
}

std::vector<int16_t> decodeFrames(int32_t mode, const std::vector<std::vector<uint8_t>>& frames) {
  VoiceCodecState state;
  EXPECT_EQ(HI_VOICE_DecReset(&state, mode), 0);
  std::vector<int16_t> pcm;
  std::vector<int16_t> out(65536);
  for (const auto& frame : frames) {
    uint16_t count = 0;
    EXPECT_EQ(
        HI_VOICE_DecodeFrame(&state, frame.data(), frame.size(), out.data(), out.size(), &count),
        0);
    pcm.insert(pcm.end(), out.begin(), out.begin() + count);
  }
  return pcm;
}

std::vector<uint8_t> payloadOf(const std::vector<std::vector<uint8_t>>& frames) {
  std::vector<uint8_t> bytes;
  for (const auto& f : frames) bytes.insert(bytes.end(), f.begin() + 4, f.end());
  return bytes;
}

// ---- libavcodec as an independent peer ----

struct CodecContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using ContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

const char* avName(int32_t mode) {
  if (mode == kVoiceModeG711A) return "pcm_alaw";
  if (mode == kVoiceModeG711U) return "pcm_mulaw";
  return "g726le";  // RFC 3551 bit order
}

ContextPtr openAv(int32_t mode, bool encoder) {
  const AVCodec* codec = encoder ? avcodec_find_encoder_by_name(avName(mode))
                                 : avcodec_find_decoder_by_name(avName(mode));
  if (codec == nullptr) return nullptr;
  ContextPtr c(avcodec_alloc_context3(codec));
  c->sample_rate = 8000;
  c->sample_fmt = AV_SAMPLE_FMT_S16;
  c->bit_rate = 8000 * bitsOf(mode);
  c->bits_per_coded_sample = bitsOf(mode);
  av_channel_layout_default(&c->ch_layout, 1);
  if (avcodec_open2(c.get(), codec, nullptr) < 0) return nullptr;
  return c;
}

// One libavcodec encode call; G.726 encoders take only their fixed frame size, so `pcm` is cut to
// it and the samples actually used are returned in `used`.
std::vector<uint8_t> avEncode(int32_t mode, const std::vector<int16_t>& pcm, size_t* used) {
  ContextPtr c = openAv(mode, true);
  if (!c) return {};
  const size_t n = c->frame_size > 0 ? static_cast<size_t>(c->frame_size) : pcm.size();
  if (n > pcm.size()) return {};
  std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
  frame->nb_samples = static_cast<int>(n);
  frame->format = AV_SAMPLE_FMT_S16;
  av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
  if (av_frame_get_buffer(frame.get(), 0) < 0) return {};
  std::memcpy(frame->data[0], pcm.data(), n * 2);
  std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
  if (avcodec_send_frame(c.get(), frame.get()) < 0) return {};
  if (avcodec_receive_packet(c.get(), packet.get()) < 0) return {};
  *used = n;
  return std::vector<uint8_t>(packet->data, packet->data + packet->size);
}

std::vector<int16_t> avDecode(int32_t mode, const std::vector<uint8_t>& bytes) {
  ContextPtr c = openAv(mode, false);
  if (!c) return {};
  std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
  if (av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) return {};
  std::memcpy(packet->data, bytes.data(), bytes.size());
  std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
  if (avcodec_send_packet(c.get(), packet.get()) < 0) return {};
  if (avcodec_receive_frame(c.get(), frame.get()) < 0) return {};
  const auto* s = reinterpret_cast<const int16_t*>(frame->data[0]);
  return std::vector<int16_t>(s, s + frame->nb_samples);
}

// ---- frame layout and refusals ----

TEST(VoiceCodecTest, EncodedFrameCarriesTagAndWordCount) {
  const std::vector<int16_t> pcm = testSignal(kVoiceSamplesPerFrame);
  for (int32_t mode : kAllModes) {
    VoiceCodecState state;
    ASSERT_EQ(HI_VOICE_EncReset(&state, mode), 0);
    std::vector<uint8_t> frame(kVoiceMaxFrameBytes + 8, 0xEE);
    ASSERT_EQ(
        HI_VOICE_EncodeFrame(&state, pcm.data(), frame.data(), frame.size(), kVoiceSamplesPerFrame),
        0);
    const size_t words = kVoiceSamplesPerFrame * bitsOf(mode) / 16;
    EXPECT_EQ(frame[0], 0x00);
    EXPECT_EQ(frame[1], 0x01);
    EXPECT_EQ(frame[2] | frame[3] << 8, static_cast<int>(words)) << mode;
    EXPECT_EQ(VoiceFrameBytes(mode, kVoiceSamplesPerFrame), 4 + 2 * words);
    // Nothing written past the frame.
    EXPECT_EQ(frame[4 + 2 * words], 0xEE) << mode;
  }
}

TEST(VoiceCodecTest, ResetRefusesUnknownModesAndNullState) {
  VoiceCodecState state;
  for (int32_t mode : {0, 3, 8, -1, 96}) {
    EXPECT_EQ(HI_VOICE_EncReset(&state, mode), kVoiceErrorUnknownMode) << mode;
    EXPECT_EQ(HI_VOICE_DecReset(&state, mode), kVoiceErrorUnknownMode) << mode;
  }
  EXPECT_EQ(HI_VOICE_EncReset(nullptr, kVoiceModeG711A), kVoiceErrorNullPointer);
  EXPECT_EQ(HI_VOICE_DecReset(nullptr, kVoiceModeG711A), kVoiceErrorNullPointer);
  // A failed reset leaves the state unusable even if it was ready before.
  ASSERT_EQ(HI_VOICE_DecReset(&state, kVoiceModeG711U), 0);
  EXPECT_NE(HI_VOICE_DecReset(&state, 3), 0);
  const uint8_t frame[6] = {0, 1, 1, 0, 0xFF, 0xFF};
  int16_t out[16];
  uint16_t count = 0;
  EXPECT_EQ(HI_VOICE_DecodeFrame(&state, frame, sizeof frame, out, 16, &count),
            kVoiceErrorStateNotReady);
}

TEST(VoiceCodecTest, StateMustBeResetForTheDirectionUsed) {
  const std::vector<int16_t> pcm = testSignal(kVoiceSamplesPerFrame);
  uint8_t frame[kVoiceMaxFrameBytes];
  int16_t out[kVoiceSamplesPerFrame];
  uint16_t count = 0;
  const uint8_t g711Frame[8] = {0, 1, 2, 0, 0xD5, 0xD5, 0x55, 0x55};

  VoiceCodecState never;
  std::memset(&never, 0, sizeof never);
  EXPECT_EQ(HI_VOICE_EncodeFrame(&never, pcm.data(), frame, sizeof frame, 160),
            kVoiceErrorStateNotReady);
  EXPECT_EQ(HI_VOICE_DecodeFrame(&never, g711Frame, sizeof g711Frame, out, 160, &count),
            kVoiceErrorStateNotReady);

  VoiceCodecState encoder;
  ASSERT_EQ(HI_VOICE_EncReset(&encoder, kVoiceModeG711A), 0);
  EXPECT_EQ(HI_VOICE_DecodeFrame(&encoder, g711Frame, sizeof g711Frame, out, 160, &count),
            kVoiceErrorStateNotReady);
  VoiceCodecState decoder;
  ASSERT_EQ(HI_VOICE_DecReset(&decoder, kVoiceModeG726_32), 0);
  EXPECT_EQ(HI_VOICE_EncodeFrame(&decoder, pcm.data(), frame, sizeof frame, 160),
            kVoiceErrorStateNotReady);

  // A damaged mode field is caught rather than trusted.
  decoder.mode = 3;
  EXPECT_EQ(HI_VOICE_DecodeFrame(&decoder, g711Frame, sizeof g711Frame, out, 160, &count),
            kVoiceErrorStateNotReady);
  // Resetting for a new mode makes the same buffer usable again.
  ASSERT_EQ(HI_VOICE_DecReset(&decoder, kVoiceModeG711A), 0);
  ASSERT_EQ(HI_VOICE_DecodeFrame(&decoder, g711Frame, sizeof g711Frame, out, 160, &count), 0);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(out[0], 8);
  EXPECT_EQ(out[2], -8);
}

TEST(VoiceCodecTest, DecodeRefusesMalformedFramesWithoutReadingPastThem) {
  VoiceCodecState state;
  ASSERT_EQ(HI_VOICE_DecReset(&state, kVoiceModeG711U), 0);
  std::vector<int16_t> out(4096, 0x1234);
  uint16_t count = 77;
  // Each frame lives in an exactly sized heap block, so a read past it shows under ASan.
  auto decode = [&](std::vector<uint8_t> bytes) {
    auto block = std::make_unique<uint8_t[]>(bytes.size());
    if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
    return HI_VOICE_DecodeFrame(&state, block.get(), bytes.size(), out.data(), out.size(), &count);
  };
  EXPECT_EQ(decode({}), kVoiceErrorBadFrame);
  EXPECT_EQ(decode({0x00, 0x01, 0x00}), kVoiceErrorBadFrame);
  EXPECT_EQ(decode({0x00, 0x01, 0x02, 0x00, 0x11, 0x22, 0x33}), kVoiceErrorBadFrame);  // short
  EXPECT_EQ(decode({0x00, 0x01, 0x01, 0x00, 0x11, 0x22, 0x33}), kVoiceErrorBadFrame);  // long
  EXPECT_EQ(decode({0x00, 0x01, 0x00, 0x01, 0x11, 0x22}), kVoiceErrorBadFrame);        // N = 256
  EXPECT_EQ(decode({0x00, 0x01, 0xFF, 0xFF, 0x11, 0x22}), kVoiceErrorBadFrame);
  EXPECT_EQ(count, 77);
  EXPECT_EQ(out[0], 0x1234);

  // An empty payload is a valid frame of no samples.
  EXPECT_EQ(decode({0x00, 0x01, 0x00, 0x00}), 0);
  EXPECT_EQ(count, 0);

  const uint8_t frame[8] = {0x00, 0x01, 0x02, 0x00, 0xFF, 0x80, 0x00, 0x7F};
  EXPECT_EQ(HI_VOICE_DecodeFrame(nullptr, frame, 8, out.data(), 4, &count), kVoiceErrorNullPointer);
  EXPECT_EQ(HI_VOICE_DecodeFrame(&state, nullptr, 8, out.data(), 4, &count),
            kVoiceErrorNullPointer);
  EXPECT_EQ(HI_VOICE_DecodeFrame(&state, frame, 8, nullptr, 4, &count), kVoiceErrorNullPointer);
  EXPECT_EQ(HI_VOICE_DecodeFrame(&state, frame, 8, out.data(), 4, nullptr), kVoiceErrorNullPointer);
  EXPECT_EQ(HI_VOICE_DecodeFrame(&state, frame, 8, out.data(), 3, &count),
            kVoiceErrorBufferTooSmall);
  ASSERT_EQ(HI_VOICE_DecodeFrame(&state, frame, 8, out.data(), 4, &count), 0);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 32124);
  EXPECT_EQ(out[2], -32124);
  EXPECT_EQ(out[3], 0);
}

TEST(VoiceCodecTest, EncodeRefusesBadArgumentsAndWritesNothing) {
  const std::vector<int16_t> pcm = testSignal(kVoiceMaxEncodeSamples + 16);
  for (int32_t mode : kAllModes) {
    VoiceCodecState state;
    ASSERT_EQ(HI_VOICE_EncReset(&state, mode), 0);
    const size_t need = VoiceFrameBytes(mode, 160);
    std::vector<uint8_t> frame(need, 0xEE);
    EXPECT_EQ(HI_VOICE_EncodeFrame(&state, pcm.data(), frame.data(), need - 1, 160),
              kVoiceErrorBufferTooSmall)
        << mode;
    EXPECT_EQ(HI_VOICE_EncodeFrame(nullptr, pcm.data(), frame.data(), need, 160),
              kVoiceErrorNullPointer);
    EXPECT_EQ(HI_VOICE_EncodeFrame(&state, nullptr, frame.data(), need, 160),
              kVoiceErrorNullPointer);
    EXPECT_EQ(HI_VOICE_EncodeFrame(&state, pcm.data(), nullptr, need, 160), kVoiceErrorNullPointer);
    for (int32_t bad : {0, -160, kVoiceMaxEncodeSamples + 16}) {
      EXPECT_EQ(HI_VOICE_EncodeFrame(&state, pcm.data(), frame.data(), frame.size(), bad),
                kVoiceErrorBadSampleCount)
          << mode << " " << bad;
    }
    EXPECT_EQ(frame, std::vector<uint8_t>(need, 0xEE)) << mode;
    // Counts whose payload is not whole 16-bit words are refused: 3 samples never fit; 8 fit
    // only at 16 and 32 kbit/s and with G.711.
    EXPECT_EQ(HI_VOICE_EncodeFrame(&state, pcm.data(), frame.data(), frame.size(), 3),
              kVoiceErrorBadSampleCount);
    const bool eightFits = (8 * bitsOf(mode)) % 16 == 0;
    std::vector<uint8_t> small(64);
    EXPECT_EQ(HI_VOICE_EncodeFrame(&state, pcm.data(), small.data(), small.size(), 8) == 0,
              eightFits)
        << mode;
  }
}

// ---- G.711 against libavcodec ----

TEST(VoiceCodecTest, G711FramesInterchangeWithLibavcodecBitExactly) {
  // Every code, then a signal that runs through all segments.
  std::vector<uint8_t> allCodes(256);
  for (int i = 0; i < 256; ++i) allCodes[i] = static_cast<uint8_t>(i);
  std::vector<int16_t> sweep(8000);
  for (size_t i = 0; i < sweep.size(); ++i) {
    sweep[i] = static_cast<int16_t>(std::lround(32767 * std::sin(i * 0.05) * i / sweep.size()));
  }
  for (int32_t mode : {kVoiceModeG711A, kVoiceModeG711U}) {
    SCOPED_TRACE(mode);
    // Their codes decoded by us and by them.
    const std::vector<int16_t> theirs = avDecode(mode, allCodes);
    ASSERT_EQ(theirs.size(), 256u);
    EXPECT_EQ(decodeFrames(mode, {makeFrame(allCodes.data(), allCodes.size())}), theirs);

    size_t used = 0;
    const std::vector<uint8_t> theirCodes = avEncode(mode, sweep, &used);
    ASSERT_EQ(used, sweep.size());
    std::vector<std::vector<uint8_t>> theirFrames;
    for (size_t at = 0; at < theirCodes.size(); at += 160) {
      theirFrames.push_back(makeFrame(theirCodes.data() + at, 160));
    }
    EXPECT_EQ(decodeFrames(mode, theirFrames), avDecode(mode, theirCodes));

    // Our frames decoded by them give what we decode.
    const auto ourFrames = encodeFrames(mode, sweep);
    EXPECT_EQ(avDecode(mode, payloadOf(ourFrames)), decodeFrames(mode, ourFrames));
  }
}

// libavcodec's G.711 encoders round to the nearest decoder output instead of using the
// standard's decision values, so codes may differ by one step at interval edges; the decoded
// levels must never be further apart than one quantisation step.
TEST(VoiceCodecTest, G711EncodingDiffersFromLibavcodecByAtMostOneStep) {
  std::vector<int16_t> all(65536);
  for (int i = 0; i < 65536; ++i) all[i] = static_cast<int16_t>(i - 32768);
  for (int32_t mode : {kVoiceModeG711A, kVoiceModeG711U}) {
    size_t used = 0;
    const std::vector<uint8_t> theirs = avEncode(mode, all, &used);
    ASSERT_EQ(theirs.size(), all.size());
    std::vector<uint8_t> ours(all.size() + kVoiceFrameHeaderBytes);
    VoiceCodecState state;
    ASSERT_EQ(HI_VOICE_EncReset(&state, mode), 0);
    int differing = 0;
    for (size_t at = 0; at < all.size(); at += 512) {
      std::vector<uint8_t> frame(516);
      ASSERT_EQ(HI_VOICE_EncodeFrame(&state, all.data() + at, frame.data(), frame.size(), 512), 0);
      std::memcpy(ours.data() + at, frame.data() + 4, 512);
    }
    const auto ourLevels = decodeFrames(mode, {makeFrame(ours.data(), all.size() - 2)});
    const auto theirLevels = avDecode(mode, theirs);
    for (size_t i = 0; i + 2 < all.size(); ++i) {
      if (ours[i] == theirs[i]) continue;
      ++differing;
      // One step at the level in question is at most 1/16 of it plus the bottom step.
      const int step = std::abs(ourLevels[i]) / 16 + 32;
      ASSERT_LE(std::abs(ourLevels[i] - theirLevels[i]), step)
          << "mode " << mode << " input " << all[i];
    }
    std::printf("mode %d: %d of 65536 codes differ from libavcodec's encoder\n", mode, differing);
    EXPECT_LT(differing, 65536 / 8);
  }
}

// ---- G.726 ----

TEST(VoiceCodecTest, G726RoundTripQualityRisesWithRate) {
  const std::vector<int16_t> pcm = testSignal(8000);
  double previous = 0;
  for (int32_t mode : kG726Modes) {
    const auto frames = encodeFrames(mode, pcm);
    ASSERT_EQ(frames.size(), 50u);
    const auto decoded = decodeFrames(mode, frames);
    ASSERT_EQ(decoded.size(), pcm.size());
    const double snr = snrDb(pcm, decoded, 400);
    std::printf("G.726 mode %d round trip SNR %.1f dB\n", mode, snr);
    // At least about 5 dB per bit of code, and better at each higher rate.
    EXPECT_GT(snr, 5.0 * bitsOf(mode) - 2) << mode;
    EXPECT_GT(snr, previous + 3) << mode;
    previous = snr;
  }
}

TEST(VoiceCodecTest, G726StateCarriesAcrossFramesAndResetRestartsIt) {
  const std::vector<int16_t> pcm = testSignal(640);
  for (int32_t mode : kG726Modes) {
    // Four frames in one go and four separate frames give identical codes.
    VoiceCodecState whole;
    ASSERT_EQ(HI_VOICE_EncReset(&whole, mode), 0);
    std::vector<uint8_t> big(4 + 640);
    ASSERT_EQ(HI_VOICE_EncodeFrame(&whole, pcm.data(), big.data(), big.size(), 640), 0);
    big.resize(4 + 640 * bitsOf(mode) / 8);
    const auto frames = encodeFrames(mode, pcm);
    EXPECT_EQ(std::vector<uint8_t>(big.begin() + 4, big.end()), payloadOf(frames)) << mode;

    // Decoding the second frame from a fresh state differs from decoding it in sequence.
    const auto inSequence = decodeFrames(mode, frames);
    const auto fresh = decodeFrames(mode, {frames[1]});
    EXPECT_NE(fresh, std::vector<int16_t>(inSequence.begin() + 160, inSequence.begin() + 320));
    // ...while a reset state decodes the first frame exactly as before.
    EXPECT_EQ(decodeFrames(mode, {frames[0]}),
              std::vector<int16_t>(inSequence.begin(), inSequence.begin() + 160));
  }
}

// Odd-sized G.726-24 and -40 payloads leave bits over for the next frame instead of losing them.
TEST(VoiceCodecTest, G726BitsCarryOverBetweenUnevenFrames) {
  const std::vector<int16_t> pcm = testSignal(320);
  for (int32_t mode : {kVoiceModeG726_24, kVoiceModeG726_40}) {
    const auto frames = encodeFrames(mode, pcm);
    const std::vector<uint8_t> bytes = payloadOf(frames);
    const auto expected = decodeFrames(mode, frames);
    // The same bytes in frames of one word each.
    std::vector<std::vector<uint8_t>> pieces;
    for (size_t at = 0; at < bytes.size(); at += 2) pieces.push_back(makeFrame(&bytes[at], 2));
    EXPECT_EQ(decodeFrames(mode, pieces), expected) << mode;
    EXPECT_EQ(VoiceMaxDecodedSamples(mode, 1), (16u + bitsOf(mode) - 1) / bitsOf(mode));
  }
}

// libavcodec's G.726 is not bit-exact with ours (spandsp's, which follows the ITU reference):
// from a reset state both give the same first samples, then the reconstructed signal first
// differs by one 14-bit step and the adaptive states drift apart. So the check is that each
// side's streams decode on the other side to nearly the signal quality they have at home; a
// packing or rate mix-up drops far below that. At 40 kbit/s the two implementations disagree
// much more (about 7-9 dB across against 39-41 dB at home), so that rate is left out here and
// only its bit order and first samples are checked below.
TEST(VoiceCodecTest, G726StreamsInterchangeWithLibavcodec) {
  const std::vector<int16_t> pcm = testSignal(8000);
  for (int32_t mode : {kVoiceModeG726_16, kVoiceModeG726_24, kVoiceModeG726_32}) {
    SCOPED_TRACE(mode);
    // Their encoder, cut to whole 160-sample frames.
    size_t used = 0;
    const std::vector<uint8_t> theirBytes = avEncode(mode, pcm, &used);
    ASSERT_FALSE(theirBytes.empty());
    const size_t frameBytes = 160 * bitsOf(mode) / 8;
    std::vector<std::vector<uint8_t>> theirFrames;
    for (size_t at = 0; at + frameBytes <= theirBytes.size(); at += frameBytes) {
      theirFrames.push_back(makeFrame(theirBytes.data() + at, frameBytes));
    }
    const std::vector<uint8_t> whole(theirBytes.begin(),
                                     theirBytes.begin() + theirFrames.size() * frameBytes);
    const auto byUs = decodeFrames(mode, theirFrames);
    const auto byThem = avDecode(mode, whole);
    ASSERT_EQ(byUs.size(), theirFrames.size() * 160);
    ASSERT_EQ(byThem.size(), byUs.size());
    const std::vector<int16_t> original(pcm.begin(), pcm.begin() + byUs.size());
    const double usOnTheirs = snrDb(original, byUs, 400);
    const double themOnTheirs = snrDb(original, byThem, 400);

    // Our encoder, decoded by both.
    const auto ourFrames = encodeFrames(mode, pcm);
    const auto themOnOurs = snrDb(pcm, avDecode(mode, payloadOf(ourFrames)), 400);
    const auto usOnOurs = snrDb(pcm, decodeFrames(mode, ourFrames), 400);
    std::printf(
        "G.726 mode %d SNR dB: their stream us %.1f them %.1f; our stream us %.1f them %.1f\n",
        mode, usOnTheirs, themOnTheirs, usOnOurs, themOnOurs);
    EXPECT_GT(usOnTheirs, themOnTheirs - 6);
    EXPECT_GT(themOnOurs, usOnOurs - 6);
    EXPECT_GT(usOnTheirs, 5.0 * bitsOf(mode) - 4);
    EXPECT_GT(themOnOurs, 5.0 * bitsOf(mode) - 4);
  }
}

// Codes of the first samples from a known state, packed as RFC 3551 has it: the first code in
// the least significant bits of the first byte. Decoding the same codes packed the other way
// (most significant bits first) must not give the same samples.
TEST(VoiceCodecTest, G726PackingIsLeastSignificantBitsFirst) {
  for (int32_t mode : kG726Modes) {
    const int bits = bitsOf(mode);
    std::vector<int> codes(128);
    for (size_t i = 0; i < codes.size(); ++i) codes[i] = (i * 7 + 3) % (1 << bits);
    std::vector<uint8_t> lsbFirst;
    std::vector<uint8_t> msbFirst;
    uint32_t low = 0, high = 0;
    int lowBits = 0, highBits = 0;
    for (int c : codes) {
      low |= static_cast<uint32_t>(c) << lowBits;
      lowBits += bits;
      high = (high << bits) | static_cast<uint32_t>(c);
      highBits += bits;
      while (lowBits >= 8) {
        lsbFirst.push_back(low & 0xFF);
        low >>= 8;
        lowBits -= 8;
      }
      while (highBits >= 8) {
        msbFirst.push_back((high >> (highBits - 8)) & 0xFF);
        highBits -= 8;
      }
    }
    // 128 codes fill whole words at every rate.
    const auto ours = decodeFrames(mode, {makeFrame(lsbFirst.data(), lsbFirst.size())});
    const auto swapped = decodeFrames(mode, {makeFrame(msbFirst.data(), msbFirst.size())});
    const auto theirs = avDecode(mode, lsbFirst);
    ASSERT_EQ(ours.size(), 128u);
    ASSERT_EQ(theirs.size(), 128u);
    EXPECT_NE(ours, swapped) << mode;
    // The first samples after a reset do not yet depend on the two decoders' differences.
    EXPECT_EQ(std::vector<int16_t>(ours.begin(), ours.begin() + 3),
              std::vector<int16_t>(theirs.begin(), theirs.begin() + 3))
        << mode;
  }
}

}  // namespace
}  // namespace kv::platform
