// The RTP audio rule: a G.711 or G.726 payload becomes a voice frame (its 4-byte header written
// over the end of the RTP header), is decoded into samples for the audio conduit while sound is
// on, and is recorded as it came.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "sdk/platform/voice_codec.h"
#include "sdk/sources/rtp_packet.h"
#include "sdk/sources/rtp_sink.h"

namespace kv {

// Largest payload a receiver hands over: an interleaved packet of at most 4096 bytes.
constexpr size_t kRtpAudioMaxPayload = 4096;

class RtpAudioDepacketizer {
 public:
  // clearLevel: the audio conduit is emptied when it holds more than this many bytes before a
  // write (1024 over RTP/UDP, 3072 interleaved).
  explicit RtpAudioDepacketizer(int32_t clearLevel);

  // Resets the decoder for the audio codec (the voice codec mode); false when it is refused or
  // there is no memory for the sample buffer.
  bool Reset(uint8_t audioCodec);
  // Handles one packet whose payload lies in a buffer with the RTP header before it; the 4 bytes
  // before the payload are overwritten. False when it was skipped (too long, odd-sized frame
  // refused by the decoder, decoding failed).
  bool Process(const RtpPacket& packet, IRtpAudioSink& sink);

 private:
  int32_t m_clearLevel;
  uint8_t m_codec = 0;
  bool m_ready = false;
  platform::VoiceCodecState m_state{};
  std::unique_ptr<int16_t[]> m_pcm;
  size_t m_pcmCapacity = 0;
};

}  // namespace kv
