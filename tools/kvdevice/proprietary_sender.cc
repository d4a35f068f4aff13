// Sends the simulated camera's frames as the proprietary UDP stream.
#include "tools/kvdevice/proprietary_sender.h"

#include <utility>

namespace kvdevice {
namespace {

PacketiserSettings SettingsFrom(const Options& o) {
  PacketiserSettings s;
  s.videoCodec = VideoCodecCode(o.videoCodec);
  s.audioCodec = AudioCodecCode(o.audioCodec);
  s.deviceGeneration = static_cast<uint8_t>(o.deviceGeneration);
  s.maxPayload = static_cast<size_t>(o.maxPayload);
  s.description.width = static_cast<uint32_t>(o.width);
  s.description.height = static_cast<uint32_t>(o.height);
  s.description.frameRate = static_cast<uint32_t>(o.frameRate);
  s.description.bitRateKbps = static_cast<uint32_t>(o.bitRateKbps);
  return s;
}

}  // namespace

ProprietarySender::ProprietarySender(const Options& options, std::unique_ptr<UdpSocket> socket)
    : socket_(std::move(socket)),
      packetiser_(SettingsFrom(options), options.streamId),
      faults_(options.faults) {}

bool ProprietarySender::send(const MediaFrame& frame, FrameSequence& sequence) {
  packed_.clear();
  const auto timeMs = static_cast<uint32_t>(frame.timeUs / 1000);
  if (frame.kind == MediaFrame::Kind::kVideo) {
    if (frame.newStream) packetiser_.newStream(packetiser_.streamId() + 1);
    packetiser_.packPicture(frame.data.data(), frame.data.size(), frame.key, timeMs, packed_);
    ++counts_.pictures;
  } else {
    packetiser_.packAudio(frame.data.data(), frame.data.size(), timeMs, packed_);
    ++counts_.audioFrames;
  }
  sequence.streamId = packetiser_.streamId();
  auto number = [](const Datagram& d) {
    return uint32_t{d[12]} << 24 | uint32_t{d[13]} << 16 | uint32_t{d[14]} << 8 | d[15];
  };
  sequence.first = packed_.empty() ? 0 : number(packed_.front());
  sequence.last = packed_.empty() ? 0 : number(packed_.back());
  wire_.clear();
  for (Datagram& d : packed_) faults_.push(std::move(d), wire_);
  return transmit();
}

bool ProprietarySender::finish() {
  wire_.clear();
  faults_.flush(wire_);
  return transmit();
}

bool ProprietarySender::transmit() {
  for (const Datagram& d : wire_) {
    if (!socket_->send(d.data(), d.size())) return false;
    ++counts_.datagrams;
    counts_.bytes += d.size();
  }
  return true;
}

}  // namespace kvdevice
