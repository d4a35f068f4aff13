// The talk connection's binary audio, pure: the uplink packet (length word, tick, voice frame)
// and the downlink reader that takes voice frames from a byte source, decodes them and hands
// the samples to playback in blocks that fit a playback buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "sdk/platform/voice_codec.h"

namespace kv {

// The talk codec of a device generation: generation 1 talks G.711 mu-law, any other G.726 at
// 32 kbit/s. mode is the voice codec mode, wireCodec the second field of "CMD:TALK".
struct TalkCodec {
  int32_t mode;
  int wireCodec;
};
TalkCodec TalkCodecForGeneration(int32_t deviceGeneration);

inline constexpr size_t kUplinkHeaderBytes = 8;
// Writes the uplink packet for a voice frame of frameBytes (4 + 2N, at most 1023) into out and
// returns its length (frameBytes + 8), or 0 when the frame does not fit the length field or out.
size_t BuildUplinkPacket(const uint8_t* frame, size_t frameBytes, uint32_t tick, uint8_t* out,
                         size_t capacity);

// Reads downlink voice frames. receiveAll(n, buffer) must return n, or 0 / -1 when the
// connection ended, failed or timed out.
class DownlinkReader {
 public:
  using ReceiveAll = std::function<long(size_t n, void* buffer)>;
  using Play = std::function<void(const uint8_t* pcm, int bytes)>;

  // Frames longer than this many payload words are read and dropped: no device frame is that
  // long, and decoding one would need buffers sized by what the peer claims.
  static constexpr int kMaxPayloadWords = 1024;
  // Decoded samples go to playback in blocks of at most this many bytes.
  static constexpr int kPlayBlockBytes = 320;

  explicit DownlinkReader(int32_t mode);
  // Resets the decoder; false when the codec refuses the mode.
  bool Reset();
  // Reads and handles one frame header (and its payload when it is a voice frame). False when
  // the connection ended, failed or timed out.
  bool Step(const ReceiveAll& receiveAll, const Play& play);

  uint64_t framesPlayed() const { return m_framesPlayed; }
  uint64_t framesSkipped() const { return m_framesSkipped; }

 private:
  bool discard(const ReceiveAll& receiveAll, size_t n);

  int32_t m_mode;
  platform::VoiceCodecState m_state{};
  uint8_t m_frame[platform::kVoiceFrameHeaderBytes + 2 * kMaxPayloadWords];
  int16_t m_samples[4 * 2 * kMaxPayloadWords + 64];
  uint64_t m_framesPlayed = 0;
  uint64_t m_framesSkipped = 0;
};

}  // namespace kv
