// RTP audio depacketising and decoding.
#include "sdk/sources/rtp_audio.h"

#include <new>

namespace kv {

RtpAudioDepacketizer::RtpAudioDepacketizer(int32_t clearLevel) : m_clearLevel(clearLevel) {}

bool RtpAudioDepacketizer::Reset(uint8_t audioCodec) {
  m_ready = false;
  m_codec = audioCodec;
  const size_t capacity = platform::VoiceMaxDecodedSamples(audioCodec, kRtpAudioMaxPayload / 2);
  if (capacity == 0) return false;
  if (capacity > m_pcmCapacity) {
    m_pcm.reset(new (std::nothrow) int16_t[capacity]);
    m_pcmCapacity = m_pcm ? capacity : 0;
    if (!m_pcm) return false;
  }
  if (platform::HI_VOICE_DecReset(&m_state, audioCodec) != 0) return false;
  m_ready = true;
  return true;
}

bool RtpAudioDepacketizer::Process(const RtpPacket& packet, IRtpAudioSink& sink) {
  if (!m_ready || packet.payload == nullptr || packet.payloadLength == 0 ||
      packet.payloadLength > kRtpAudioMaxPayload) {
    return false;
  }
  // The voice frame header takes the 4 bytes before the payload (the SSRC when there is no
  // CSRC list); an odd trailing byte is not part of the frame.
  const uint16_t words = static_cast<uint16_t>(packet.payloadLength / 2);
  if (words == 0) return false;
  uint8_t* frame = packet.payload - platform::kVoiceFrameHeaderBytes;
  frame[0] = static_cast<uint8_t>(platform::kVoiceFrameTag & 0xFF);
  frame[1] = static_cast<uint8_t>(platform::kVoiceFrameTag >> 8);
  frame[2] = static_cast<uint8_t>(words & 0xFF);
  frame[3] = static_cast<uint8_t>(words >> 8);
  const size_t frameBytes = platform::kVoiceFrameHeaderBytes + 2u * words;

  uint16_t samples = 0;
  if (platform::HI_VOICE_DecodeFrame(&m_state, frame, frameBytes, m_pcm.get(), m_pcmCapacity,
                                     &samples) != 0) {
    return false;
  }
  if (sink.AudioOn()) {
    if (sink.AudioQueued() > m_clearLevel) sink.ClearAudio();
    sink.WriteAudio(m_pcm.get(), static_cast<int32_t>(samples) * 2);
  }
  // Recorded length: the datagram from byte 8 on, as the device's receivers count it.
  sink.RecordAudio(m_codec & 0xF, frame,
                   static_cast<uint32_t>(platform::kVoiceFrameHeaderBytes + packet.payloadLength),
                   packet.timestamp);
  return true;
}

}  // namespace kv
