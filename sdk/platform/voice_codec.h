// The voice codec: G.711 and G.726 speech at 8000 samples/s exchanged as voice frames.
//
// A voice frame is a 4-byte header followed by the codec payload:
//   bytes 0-1  tag 0x0100, little-endian (bytes 0x00, 0x01)
//   bytes 2-3  N, payload length in 16-bit words, little-endian
//   bytes 4..  2 * N payload bytes (G.726 codes packed least significant bit first)
// Every call returns 0 on success and one of the negative kVoiceError... values otherwise. A
// refused encode or decode writes nothing and leaves the state as it was; a refused reset leaves
// the state unusable until the next successful reset.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::platform {

// Codec modes; the audio codec code of a stream is used as the mode unchanged.
inline constexpr int32_t kVoiceModeG711A = 1;
inline constexpr int32_t kVoiceModeG711U = 2;
inline constexpr int32_t kVoiceModeG726_16 = 4;
inline constexpr int32_t kVoiceModeG726_24 = 5;
inline constexpr int32_t kVoiceModeG726_32 = 6;
inline constexpr int32_t kVoiceModeG726_40 = 7;

inline constexpr uint16_t kVoiceFrameTag = 0x0100;
inline constexpr size_t kVoiceFrameHeaderBytes = 4;
// The usual frame: 20 ms of speech.
inline constexpr int32_t kVoiceSamplesPerFrame = 160;
// Largest sample count one EncodeFrame call takes.
inline constexpr int32_t kVoiceMaxEncodeSamples = 1024;
// Largest frame kVoiceSamplesPerFrame samples give (G.711: one byte per sample).
inline constexpr size_t kVoiceMaxFrameBytes = kVoiceFrameHeaderBytes + kVoiceSamplesPerFrame;

inline constexpr int32_t kVoiceErrorNullPointer = -1;
inline constexpr int32_t kVoiceErrorUnknownMode = -2;
// The state was never reset, was reset for the other direction, or is damaged.
inline constexpr int32_t kVoiceErrorStateNotReady = -3;
// The frame is shorter than its header or its N disagrees with the bytes given.
inline constexpr int32_t kVoiceErrorBadFrame = -4;
inline constexpr int32_t kVoiceErrorBufferTooSmall = -5;
// Not 1..kVoiceMaxEncodeSamples samples, or the payload would not fill whole 16-bit words.
inline constexpr int32_t kVoiceErrorBadSampleCount = -6;

// Caller-owned codec state, one per direction and stream. Plain bytes: it may live anywhere and
// needs no clean-up; a reset makes it ready for one mode and one direction.
struct VoiceCodecState {
  uint32_t magic;  // marks a state reset for encoding or for decoding
  int32_t mode;
  alignas(8) unsigned char adaptive[128];  // G.726 predictor and quantiser state
};
static_assert(sizeof(VoiceCodecState) == 136);

int32_t HI_VOICE_EncReset(VoiceCodecState* state, int32_t mode);

// Encodes `sampleCount` samples (normally kVoiceSamplesPerFrame) into one voice frame of
// VoiceFrameBytes(mode, sampleCount) bytes at `frameOut`, which holds `frameCapacity` bytes.
int32_t HI_VOICE_EncodeFrame(VoiceCodecState* state, const int16_t* pcmIn, uint8_t* frameOut,
                             size_t frameCapacity, int32_t sampleCount);

int32_t HI_VOICE_DecReset(VoiceCodecState* state, int32_t mode);

// Decodes the voice frame of `frameBytes` bytes (exactly 4 + 2 * N) into `output`, which holds
// `outputCapacity` samples, and stores the number of samples written in `sampleCount`.
// The capacity must cover VoiceMaxDecodedSamples(mode, N).
int32_t HI_VOICE_DecodeFrame(VoiceCodecState* state, const uint8_t* frame, size_t frameBytes,
                             int16_t* output, size_t outputCapacity, uint16_t* sampleCount);

// Size of the frame `sampleCount` samples encode to, or 0 when the mode or count is refused.
size_t VoiceFrameBytes(int32_t mode, int32_t sampleCount);

// Most samples a frame of `payloadWords` words can decode to (G.726 may carry a few bits over
// from the previous frame), or 0 for an unknown mode.
size_t VoiceMaxDecodedSamples(int32_t mode, size_t payloadWords);

}  // namespace kv::platform
