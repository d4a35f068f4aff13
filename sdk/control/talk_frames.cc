// Talk uplink packets and the downlink frame reader.
#include "sdk/control/talk_frames.h"

#include <cstring>

namespace kv {

using namespace kv::platform;

TalkCodec TalkCodecForGeneration(int32_t deviceGeneration) {
  if (deviceGeneration == 1) return {kVoiceModeG711U, 2};
  return {kVoiceModeG726_32, 16};
}

size_t BuildUplinkPacket(const uint8_t* frame, size_t frameBytes, uint32_t tick, uint8_t* out,
                         size_t capacity) {
  if (frameBytes > 0x3FF || frameBytes + kUplinkHeaderBytes > capacity) return 0;
  const uint32_t word = static_cast<uint32_t>(frameBytes);
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<uint8_t>(word >> (8 * i));
    out[4 + i] = static_cast<uint8_t>(tick >> (8 * i));
  }
  std::memcpy(out + kUplinkHeaderBytes, frame, frameBytes);
  return frameBytes + kUplinkHeaderBytes;
}

DownlinkReader::DownlinkReader(int32_t mode) : m_mode(mode) {}

bool DownlinkReader::Reset() { return HI_VOICE_DecReset(&m_state, m_mode) == 0; }

bool DownlinkReader::discard(const ReceiveAll& receiveAll, size_t n) {
  uint8_t scratch[512];
  while (n > 0) {
    const size_t chunk = n < sizeof scratch ? n : sizeof scratch;
    if (receiveAll(chunk, scratch) <= 0) return false;
    n -= chunk;
  }
  return true;
}

bool DownlinkReader::Step(const ReceiveAll& receiveAll, const Play& play) {
  if (receiveAll(kVoiceFrameHeaderBytes, m_frame) <= 0) return false;
  // A header that is not a voice frame's is dropped alone; the next four bytes are read as a
  // new header.
  if (m_frame[0] != 0 && m_frame[1] != 1) {
    ++m_framesSkipped;
    return true;
  }
  const int16_t words = static_cast<int16_t>(m_frame[2] | (m_frame[3] << 8));
  // A negative length says nothing of how far the frame reaches: drop the header alone.
  if (words < 0) {
    ++m_framesSkipped;
    return true;
  }
  const size_t payload = 2 * static_cast<size_t>(words);
  if (words > kMaxPayloadWords) {
    ++m_framesSkipped;
    return discard(receiveAll, payload);
  }
  if (payload > 0 && receiveAll(payload, m_frame + kVoiceFrameHeaderBytes) <= 0) return false;
  uint16_t count = 0;
  if (HI_VOICE_DecodeFrame(&m_state, m_frame, kVoiceFrameHeaderBytes + payload, m_samples,
                           sizeof m_samples / sizeof m_samples[0], &count) != 0) {
    ++m_framesSkipped;
    return true;
  }
  const auto* pcm = reinterpret_cast<const uint8_t*>(m_samples);
  const int bytes = 2 * count;
  for (int at = 0; at < bytes; at += kPlayBlockBytes) {
    play(pcm + at, bytes - at < kPlayBlockBytes ? bytes - at : kPlayBlockBytes);
  }
  ++m_framesPlayed;
  return true;
}

}  // namespace kv
