// kvdevice: plays an IP camera on loopback. Encodes a generated pattern and tone (or a media
// file) and sends it to a receiver as the proprietary UDP stream, or serves it over RTSP on a
// TCP port, optionally with faults.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "tools/kvdevice/media_source.h"
#include "tools/kvdevice/options.h"
#include "tools/kvdevice/proprietary_sender.h"
#include "tools/kvdevice/rtsp_server.h"
#include "tools/kvdevice/stream_dump.h"
#include "tools/kvdevice/udp_socket.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

void OnInterrupt(int) { gInterrupted = 1; }

}  // namespace

int main(int argc, char** argv) {
  using namespace kvdevice;
  std::string error;
  bool help = false;
  std::optional<Options> parsed = ParseOptions(argc, argv, error, help);
  if (!parsed) {
    if (help) {
      std::fputs(UsageText().c_str(), stdout);
      return 0;
    }
    std::fprintf(stderr, "kvdevice: %s\n%s", error.c_str(), UsageText().c_str());
    return 2;
  }
  const Options& options = *parsed;
  // Encoder statistics only with the progress line; warnings always.
  av_log_set_level(options.quiet ? AV_LOG_ERROR : AV_LOG_WARNING);
  if (!options.rtsp.listen.empty()) {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    return RunRtspServer(options, [] { return gInterrupted == 0; });
  }

  std::unique_ptr<MediaSource> source = MediaSource::Create(options, error);
  if (source == nullptr) {
    std::fprintf(stderr, "kvdevice: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<UdpSocket> socket = UdpSocket::Open(options.target, options.bindAddress, error);
  if (socket == nullptr) {
    std::fprintf(stderr, "kvdevice: %s\n", error.c_str());
    return 1;
  }
  StreamDump dump;
  if (!options.dumpPrefix.empty() && !dump.open(options.dumpPrefix)) {
    std::fprintf(stderr, "kvdevice: cannot write %s.*\n", options.dumpPrefix.c_str());
    return 1;
  }
  ProprietarySender sender(options, std::move(socket));
  if (!options.quiet) {
    std::fprintf(stderr, "kvdevice: %dx%d at %d fps, %d kbit/s, sending to %s%s\n", options.width,
                 options.height, options.frameRate, options.bitRateKbps, options.target.c_str(),
                 options.realTime ? "" : " as fast as possible");
  }
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);

  int status = 0;
  const auto start = std::chrono::steady_clock::now();
  MediaFrame frame;
  while (!gInterrupted && source->next(frame)) {
    if (options.realTime) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(frame.timeUs));
    }
    FrameSequence sequence;
    if (!sender.send(frame, sequence)) {
      std::fprintf(stderr, "kvdevice: send failed: %s\n", sender.errorText().c_str());
      status = 1;
      break;
    }
    if (!options.dumpPrefix.empty()) dump.write(frame, sequence);
  }
  if (!source->error().empty()) {
    std::fprintf(stderr, "kvdevice: %s\n", source->error().c_str());
    status = 1;
  }
  if (!sender.finish()) status = 1;

  const SendCounts& c = sender.counts();
  std::printf(
      "kvdevice sent: pictures %llu audio_frames %llu datagrams %llu bytes %llu",
      static_cast<unsigned long long>(c.pictures), static_cast<unsigned long long>(c.audioFrames),
      static_cast<unsigned long long>(c.datagrams), static_cast<unsigned long long>(c.bytes));
  if (options.faults.any()) {
    const FaultCounts& f = sender.faultCounts();
    std::printf(
        " dropped %llu duplicated %llu truncated %llu garbage %llu bad_length %llu",
        static_cast<unsigned long long>(f.dropped), static_cast<unsigned long long>(f.duplicated),
        static_cast<unsigned long long>(f.truncated), static_cast<unsigned long long>(f.garbage),
        static_cast<unsigned long long>(f.badLength));
  }
  std::printf("\n");
  return status;
}
