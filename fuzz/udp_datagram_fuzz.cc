// Fuzz target for the proprietary stream's ordering: the datagram header check, the reordering
// store, synchronisation and the giving up of gaps (UdpSequencer), with the voice decoding a
// delivered audio datagram gets. No socket, client, thread or file.
//
// Input: one byte of options (bit 0: a loss wait of 100 ms), then datagrams, each led by a
// 16-bit little-endian length and one byte of milliseconds since the datagram before.
//
// What must hold whatever arrives (a violation aborts): datagrams come out of one stream in
// strict sequence from a key piece that opens a coded unit, and fewer than 128 ever wait.
#include <cstdint>
#include <cstdlib>

#include "sdk/platform/voice_codec.h"
#include "sdk/sources/udp_sequencer.h"

namespace {

class CheckingSink : public kv::IUdpSequenceSink {
 public:
  bool Synchronise(const kv::UdpDatagram& key) override {
    if (!kv::IsKeyVideo(key) || !kv::OpensUnit(key.fragment)) std::abort();
    synchronised_ = false;
    // Now and then a start is refused, as when a decoder cannot be made.
    if ((key.sequence & 0xFF) == 0xA5) return false;
    synchronised_ = true;
    streamId_ = key.streamId;
    next_ = key.sequence;
    kv::platform::HI_VOICE_DecReset(&voice_, key.audioCodec);
    return true;
  }
  void Deliver(const kv::UdpDatagram& d) override {
    if (!synchronised_ || d.streamId != streamId_ || d.sequence != next_) std::abort();
    next_ = d.sequence + 1;
    if (d.mediaKind == kv::kUdpAudio && d.payloadLength % 2 == 0) decodeVoice(d);
  }
  void Reset() { synchronised_ = false; }

 private:
  void decodeVoice(const kv::UdpDatagram& d) {
    const size_t words = d.payloadLength / 2;
    frame_[0] = 0x00;
    frame_[1] = 0x01;
    frame_[2] = static_cast<uint8_t>(words & 0xFF);
    frame_[3] = static_cast<uint8_t>(words >> 8);
    for (size_t i = 0; i < d.payloadLength; ++i) frame_[4 + i] = d.payload[i];
    uint16_t samples = 0;
    kv::platform::HI_VOICE_DecodeFrame(&voice_, frame_, 4 + d.payloadLength, pcm_,
                                       sizeof pcm_ / sizeof pcm_[0], &samples);
  }

  bool synchronised_ = false;
  uint32_t streamId_ = 0;
  uint32_t next_ = 0;
  kv::platform::VoiceCodecState voice_{};
  uint8_t frame_[4 + kv::kUdpMaxDatagram];
  int16_t pcm_[4 * kv::kUdpMaxDatagram];
};

// Made once: the store's megabyte is not allocated per input.
struct Harness {
  CheckingSink sink;
  kv::UdpSequencer plain{sink};
  kv::UdpSequencer lossWait{sink, 100};
};

Harness& TheHarness() {
  static Harness* h = new Harness();  // lives for the whole fuzzing process
  return *h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Harness& h = TheHarness();
  kv::UdpSequencer& sequencer = (data[0] & 1) ? h.lossWait : h.plain;
  sequencer.Reset();
  h.sink.Reset();
  uint32_t now = 1000;
  size_t at = 1;
  while (at + 3 <= size) {
    const size_t length = data[at] | (size_t{data[at + 1]} << 8);
    now += data[at + 2];
    at += 3;
    const size_t n = length < size - at ? length : size - at;
    sequencer.Receive(data + at, n, now);
    if (sequencer.Waiting() >= kv::UdpSequencer::kGiveUpCount) std::abort();
    at += n;
  }
  sequencer.Poll(now + 1000);
  return 0;
}
