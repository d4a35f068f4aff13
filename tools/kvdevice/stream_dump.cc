// Optional record of what the simulated camera sent.
#include "tools/kvdevice/stream_dump.h"

namespace kvdevice {

bool StreamDump::open(const std::string& prefix) {
  video_.open(prefix + ".video", std::ios::binary | std::ios::trunc);
  audio_.open(prefix + ".audio", std::ios::binary | std::ios::trunc);
  log_.open(prefix + ".log", std::ios::trunc);
  return video_.good() && audio_.good() && log_.good();
}

void StreamDump::write(const MediaFrame& frame, const FrameSequence& sequence) {
  std::ofstream& out = frame.kind == MediaFrame::Kind::kVideo ? video_ : audio_;
  out.write(reinterpret_cast<const char*>(frame.data.data()),
            static_cast<std::streamsize>(frame.data.size()));
  if (frame.kind == MediaFrame::Kind::kVideo) {
    log_ << "picture " << frame.number << " key " << (frame.key ? 1 : 0) << " stream "
         << sequence.streamId << " seq " << sequence.first << '-' << sequence.last << " bytes "
         << frame.data.size() << '\n';
  }
}

}  // namespace kvdevice
