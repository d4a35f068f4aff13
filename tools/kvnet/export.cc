// "kvnet export FILE OUT": rewrites a record file into Matroska (.mkv) or MP4 (.mp4).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "kvnet/commands.h"
#include "kvnet/console.h"
#include "kvnet/record_exporter.h"

namespace kvnet {
namespace {

// A progress line on a terminal, redrawn at most ten times a second.
class ProgressLine {
 public:
  ProgressLine() : enabled_(::isatty(STDERR_FILENO) == 1) {}
  void Show(uint64_t done, uint64_t total) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && done < total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    shown_ = true;
    const unsigned percent = total == 0 ? 100u : static_cast<unsigned>(done * 100 / total);
    std::fprintf(stderr, "\rexport: %3u%% (%llu of %llu bytes)", percent,
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
    std::fflush(stderr);
  }
  void End() {
    if (shown_) std::fputc('\n', stderr);
    shown_ = false;
  }

 private:
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

const char* CodecName(uint8_t codec) {
  switch (codec) {
    case 96:
      return "H.264";
    case 97:
      return "MPEG-4";
    case 26:
      return "MJPEG";
    default:
      return "?";
  }
}

}  // namespace

void QuietLibavcodecUnlessDebug() {
  // kvnet links libavcodec for export, so the library finds it loaded by its host and leaves its
  // log alone; as that host, kvnet keeps the library's promise: a damaged stream's complaints
  // stay off standard error unless KVNET_DEBUG asks for them.
  const char* debug = std::getenv("KVNET_DEBUG");
  if (debug == nullptr || *debug == '\0') av_log_set_level(AV_LOG_QUIET);
}

int RunExport(int argc, char** argv) {
  if (argc != 3) {
    PrintError("usage: kvnet export FILE OUT.mkv|OUT.mp4");
    return 2;
  }
  // libavformat and libavcodec speak only of errors; the outcome is reported below.
  av_log_set_level(AV_LOG_ERROR);
  const std::string input = argv[1];
  const std::string output = argv[2];
  ProgressLine progress;
  ExportSummary summary;
  std::string error;
  const bool ok = ExportRecordFile(
      input, output, [&](uint64_t done, uint64_t total) { progress.Show(done, total); }, &summary,
      &error);
  progress.End();
  for (const std::string& warning : summary.warnings) {
    PrintError("kvnet export: warning: " + warning);
  }
  if (!ok) {
    PrintError("kvnet export: " + input + ": " + error + "; nothing written");
    return 1;
  }
  PrintLine(
      Format("export: wrote %s (%s, %s %dx%d): %lld pictures, %lld key, %lld audio "
             "packets, %.3f s",
             output.c_str(), summary.container.c_str(), CodecName(summary.videoCodec),
             summary.width, summary.height, static_cast<long long>(summary.pictures),
             static_cast<long long>(summary.keyPictures),
             static_cast<long long>(summary.audioPackets), summary.durationMs / 1000.0));
  return 0;
}

}  // namespace kvnet
