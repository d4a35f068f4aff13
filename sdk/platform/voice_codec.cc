// Voice frames over our G.711 tables and spandsp's G.726 (RFC 3551 bit order).
#include "sdk/platform/voice_codec.h"

#include <cmath>  // before spandsp, whose telephony header otherwise supplies its own lrint
#include <cstring>
#include <limits>

extern "C" {
#include <spandsp/telephony.h>
// clang-format off
#include <spandsp/bitstream.h>
#include <spandsp/g726.h>
#include <spandsp/private/bitstream.h>
#include <spandsp/private/g726.h>
// clang-format on
}

#include "sdk/platform/g711.h"

namespace kv::platform {
namespace {

constexpr uint32_t kEncoderMagic = 0x434E4556;  // "VENC"
constexpr uint32_t kDecoderMagic = 0x43454456;  // "VDEC"

static_assert(sizeof(g726_state_t) <= sizeof(VoiceCodecState::adaptive));
static_assert(alignof(g726_state_t) <= 8);

// Bits per sample of a mode, 0 for an unknown one.
int bitsPerSample(int32_t mode) {
  switch (mode) {
    case kVoiceModeG711A:
    case kVoiceModeG711U:
      return 8;
    case kVoiceModeG726_16:
      return 2;
    case kVoiceModeG726_24:
      return 3;
    case kVoiceModeG726_32:
      return 4;
    case kVoiceModeG726_40:
      return 5;
    default:
      return 0;
  }
}

bool isG726(int32_t mode) { return mode >= kVoiceModeG726_16 && mode <= kVoiceModeG726_40; }

g726_state_t* adaptiveState(VoiceCodecState* state) {
  return reinterpret_cast<g726_state_t*>(state->adaptive);
}

int32_t reset(VoiceCodecState* state, int32_t mode, uint32_t magic) {
  if (state == nullptr) return kVoiceErrorNullPointer;
  if (bitsPerSample(mode) == 0) {
    state->magic = 0;  // a failed reset leaves no usable state behind
    return kVoiceErrorUnknownMode;
  }
  std::memset(state, 0, sizeof(*state));
  if (isG726(mode)) {
    // RIGHT packing puts the first code in the low bits of the first byte, as RFC 3551 does.
    if (g726_init(adaptiveState(state), bitsPerSample(mode) * 8000, G726_ENCODING_LINEAR,
                  G726_PACKING_RIGHT) == nullptr) {
      return kVoiceErrorUnknownMode;
    }
  }
  state->mode = mode;
  state->magic = magic;
  return 0;
}

bool ready(const VoiceCodecState* state, uint32_t magic) {
  return state->magic == magic && bitsPerSample(state->mode) != 0;
}

uint16_t readLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

size_t VoiceFrameBytes(int32_t mode, int32_t sampleCount) {
  const int bits = bitsPerSample(mode);
  if (bits == 0 || sampleCount <= 0 || sampleCount > kVoiceMaxEncodeSamples) return 0;
  const size_t payloadBits = static_cast<size_t>(sampleCount) * bits;
  if (payloadBits % 16 != 0) return 0;
  return kVoiceFrameHeaderBytes + payloadBits / 8;
}

size_t VoiceMaxDecodedSamples(int32_t mode, size_t payloadWords) {
  const int bits = bitsPerSample(mode);
  if (bits == 0) return 0;
  // Up to bits - 1 bits may be left over from the frame before.
  return (payloadWords * 16 + (isG726(mode) ? bits - 1 : 0)) / bits;
}

int32_t HI_VOICE_EncReset(VoiceCodecState* state, int32_t mode) {
  return reset(state, mode, kEncoderMagic);
}

int32_t HI_VOICE_DecReset(VoiceCodecState* state, int32_t mode) {
  return reset(state, mode, kDecoderMagic);
}

int32_t HI_VOICE_EncodeFrame(VoiceCodecState* state, const int16_t* pcmIn, uint8_t* frameOut,
                             size_t frameCapacity, int32_t sampleCount) {
  if (state == nullptr || pcmIn == nullptr || frameOut == nullptr) return kVoiceErrorNullPointer;
  if (!ready(state, kEncoderMagic)) return kVoiceErrorStateNotReady;
  const size_t frameBytes = VoiceFrameBytes(state->mode, sampleCount);
  if (frameBytes == 0) return kVoiceErrorBadSampleCount;
  if (frameCapacity < frameBytes) return kVoiceErrorBufferTooSmall;

  uint8_t* payload = frameOut + kVoiceFrameHeaderBytes;
  const size_t count = static_cast<size_t>(sampleCount);
  switch (state->mode) {
    case kVoiceModeG711A:
      EncodeAlaw(pcmIn, count, payload);
      break;
    case kVoiceModeG711U:
      EncodeUlaw(pcmIn, count, payload);
      break;
    default:
      // Whole 16-bit words per frame, so no bits stay behind in the packer.
      g726_encode(adaptiveState(state), payload, pcmIn, sampleCount);
      break;
  }
  const size_t words = (frameBytes - kVoiceFrameHeaderBytes) / 2;
  frameOut[0] = kVoiceFrameTag & 0xFF;
  frameOut[1] = kVoiceFrameTag >> 8;
  frameOut[2] = static_cast<uint8_t>(words & 0xFF);
  frameOut[3] = static_cast<uint8_t>(words >> 8);
  return 0;
}

int32_t HI_VOICE_DecodeFrame(VoiceCodecState* state, const uint8_t* frame, size_t frameBytes,
                             int16_t* output, size_t outputCapacity, uint16_t* sampleCount) {
  if (state == nullptr || frame == nullptr || output == nullptr || sampleCount == nullptr) {
    return kVoiceErrorNullPointer;
  }
  if (!ready(state, kDecoderMagic)) return kVoiceErrorStateNotReady;
  // The tag is not checked: talk downlinks do not promise it, and callers building frames from
  // RTP packets overwrite it anyway. The length field is what keeps us inside the buffer.
  if (frameBytes < kVoiceFrameHeaderBytes) return kVoiceErrorBadFrame;
  const size_t words = readLe16(frame + 2);
  const size_t payloadBytes = words * 2;
  if (frameBytes - kVoiceFrameHeaderBytes != payloadBytes) return kVoiceErrorBadFrame;
  const size_t maxSamples = VoiceMaxDecodedSamples(state->mode, words);
  if (maxSamples > std::numeric_limits<uint16_t>::max()) return kVoiceErrorBadFrame;
  if (outputCapacity < maxSamples) return kVoiceErrorBufferTooSmall;

  const uint8_t* payload = frame + kVoiceFrameHeaderBytes;
  size_t produced;
  switch (state->mode) {
    case kVoiceModeG711A:
      DecodeAlaw(payload, payloadBytes, output);
      produced = payloadBytes;
      break;
    case kVoiceModeG711U:
      DecodeUlaw(payload, payloadBytes, output);
      produced = payloadBytes;
      break;
    default:
      produced = static_cast<size_t>(
          g726_decode(adaptiveState(state), output, payload, static_cast<int>(payloadBytes)));
      break;
  }
  *sampleCount = static_cast<uint16_t>(produced);
  return 0;
}

}  // namespace kv::platform
