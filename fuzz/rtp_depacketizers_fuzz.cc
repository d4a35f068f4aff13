// Fuzz target for the RTP depacketisers: the first byte chooses the rule (H.264, JPEG with a small
// assembly buffer, MPEG-4, G.711 or G.726 audio), the rest is a series of packets each led by a
// 16-bit little-endian length. Each packet is copied into a buffer of exactly its size.
#include <cstdint>
#include <cstring>
#include <memory>

#include "KvNetClient.h"
#include "fuzz/fuzz_sinks.h"
#include "sdk/sources/rtp_audio.h"
#include "sdk/sources/rtp_h264.h"
#include "sdk/sources/rtp_jpeg.h"
#include "sdk/sources/rtp_mpeg4.h"
#include "sdk/sources/rtp_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0] % 6;
  kvfuzz::TouchingSink sink;
  sink.refuse = (data[0] & 0x80) != 0;
  kv::H264Settings settings;
  settings.frameRate = (data[0] & 0x40) != 0 ? 0 : 25;
  kv::RtpH264Depacketizer h264(settings);
  kv::RtpJpegDepacketizer jpeg(10, 4096);
  if (mode == 1 && !jpeg.Allocate()) return 0;
  static const uint8_t kAudioCodecs[] = {ACODEC_G711A, ACODEC_G726_16, ACODEC_G726_40};
  kv::RtpAudioDepacketizer audio(1024);
  if (mode >= 3 && !audio.Reset(kAudioCodecs[mode - 3])) return 0;

  size_t at = 1;
  uint32_t now = 0;
  while (at + 2 <= size) {
    const size_t length = data[at] | (data[at + 1] << 8);
    at += 2;
    const size_t take = length < size - at ? length : size - at;
    std::unique_ptr<uint8_t[]> packet(new uint8_t[take > 0 ? take : 1]);
    std::memcpy(packet.get(), data + at, take);
    at += take;
    now += 40;
    kv::RtpPacket rtp;
    if (!kv::ParseRtpPacket(packet.get(), take, &rtp)) continue;
    switch (mode) {
      case 0:
        h264.Process(rtp, now, sink);
        break;
      case 1:
        jpeg.Process(rtp, sink);
        break;
      case 2:
        kv::ProcessMpeg4Packet(rtp, sink);
        break;
      default:
        audio.Process(rtp, sink);
        break;
    }
  }
  return sink.sum == 0xFFFFFFFFu ? 1 : 0;
}
