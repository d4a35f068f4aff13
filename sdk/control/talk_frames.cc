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

DownlinkReader::DownlinkReader(int32_t mode) : mode_(mode) {}

bool DownlinkReader::Reset() { return HI_VOICE_DecReset(&state_, mode_) == 0; }

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
  if (receiveAll(kVoiceFrameHeaderBytes, frame_) <= 0) return false;
  // A header that is not a voice frame's is dropped alone; the next four bytes are read as a
  // new header.
  if (frame_[0] != 0 && frame_[1] != 1) {
    ++framesSkipped_;
    return true;
  }
  const int16_t words = static_cast<int16_t>(frame_[2] | (frame_[3] << 8));
  // A negative length says nothing of how far the frame reaches: drop the header alone.
  if (words < 0) {
    ++framesSkipped_;
    return true;
  }
  const size_t payload = 2 * static_cast<size_t>(words);
  if (words > kMaxPayloadWords) {
    ++framesSkipped_;
    return discard(receiveAll, payload);
  }
  if (payload > 0 && receiveAll(payload, frame_ + kVoiceFrameHeaderBytes) <= 0) return false;
  uint16_t count = 0;
  if (HI_VOICE_DecodeFrame(&state_, frame_, kVoiceFrameHeaderBytes + payload, samples_,
                           sizeof samples_ / sizeof samples_[0], &count) != 0) {
    ++framesSkipped_;
    return true;
  }
  const auto* pcm = reinterpret_cast<const uint8_t*>(samples_);
  const int bytes = 2 * count;
  for (int at = 0; at < bytes; at += kPlayBlockBytes) {
    play(pcm + at, bytes - at < kPlayBlockBytes ? bytes - at : kPlayBlockBytes);
  }
  ++framesPlayed_;
  return true;
}

}  // namespace kv
