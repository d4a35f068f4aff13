// kvdevice command line parsing: "--name value" or "--name=value".
#include "tools/kvdevice/options.h"

#include <charconv>
#include <cstdlib>
#include <map>
#include <string_view>

#include "tools/kvdevice/rtsp_options.h"

namespace kvdevice {
namespace {

bool ToInt(std::string_view text, int64_t& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ToDouble(const std::string& text, double& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size();
}

template <typename T>
bool IntIn(const std::string& text, int64_t low, int64_t high, T& out) {
  int64_t value = 0;
  if (!ToInt(text, value) || value < low || value > high) return false;
  out = static_cast<T>(value);
  return true;
}

bool PercentIn(const std::string& text, double& out) {
  return ToDouble(text, out) && out >= 0 && out <= 100;
}

bool ParseSize(const std::string& text, int& width, int& height) {
  size_t x = text.find('x');
  if (x == std::string::npos) return false;
  return IntIn(text.substr(0, x), 16, 4096, width) && IntIn(text.substr(x + 1), 16, 4096, height) &&
         width % 2 == 0 && height % 2 == 0;
}

}  // namespace

uint8_t VideoCodecCode(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::kH264:
      return 96;
    case VideoCodec::kMpeg4:
      return 97;
    case VideoCodec::kMjpeg:
      return 26;
  }
  return 0;
}

uint8_t AudioCodecCode(AudioCodec codec) {
  switch (codec) {
    case AudioCodec::kNone:
      return 0;
    case AudioCodec::kG711A:
      return 1;
    case AudioCodec::kG711U:
      return 2;
    case AudioCodec::kG726_16:
      return 4;
    case AudioCodec::kG726_24:
      return 5;
    case AudioCodec::kG726_32:
      return 6;
    case AudioCodec::kG726_40:
      return 7;
  }
  return 0;
}

int AudioBitsPerSample(AudioCodec codec) {
  switch (codec) {
    case AudioCodec::kNone:
      return 0;
    case AudioCodec::kG711A:
    case AudioCodec::kG711U:
      return 8;
    case AudioCodec::kG726_16:
      return 2;
    case AudioCodec::kG726_24:
      return 3;
    case AudioCodec::kG726_32:
      return 4;
    case AudioCodec::kG726_40:
      return 5;
  }
  return 0;
}

std::string UsageText() {
  return "usage: kvdevice [options]\n"
         "Plays an IP camera: sends the proprietary UDP stream to a target address, or serves\n"
         "RTSP on a TCP port (--listen).\n"
         "  --target HOST:PORT        where to send (default 127.0.0.1:554; [::1]:554 for IPv6)\n"
         "  --bind ADDRESS            local address to send from (e.g. 127.0.0.2)\n"
         "  --input FILE              media file to re-encode (default: generated pattern)\n"
         "  --codec h264|mpeg4|mjpeg  video codec (default h264)\n"
         "  --size WxH                picture size (default 352x288)\n"
         "  --fps N                   frame rate (default 25)\n"
         "  --bitrate KBPS            video bit rate in kbit/s (default 512)\n"
         "  --key-interval N          pictures between key frames (default 25)\n"
         "  --slices N                H.264 slices per picture (default 1)\n"
         "  --audio none|g711a|g711u|g726-16|g726-24|g726-32|g726-40  (default g711u)\n"
         "  --tone HZ                 tone frequency of the generated audio (default 1000)\n"
         "  --audio-samples N         samples per audio datagram (default 160 = 20 ms)\n"
         "  --stream-id N             first stream id (default 1)\n"
         "  --stream-change SECONDS   start a new stream id every SECONDS (default never)\n"
         "  --generation N            device-generation byte (default 0)\n"
         "  --max-payload BYTES       largest payload per datagram (default 1400)\n"
         "  --realtime | --fast       pace by the media clock (default) or send at once\n"
         "  --duration SECONDS        how long to stream (default 10; with --listen: until stopped)\n"
         "  --frames N                number of pictures to send (overrides --duration)\n"
         "  --dump PREFIX             write PREFIX.video, PREFIX.audio and PREFIX.log\n"
         "  --seed N                  seed of the fault injection (default 1)\n"
         "  --reorder N               shuffle datagrams within a window of N\n"
         "  --reorder-percent P       hold back only P% of datagrams (within the window)\n"
         "  --duplicate P --drop P --truncate P --garbage P --bad-length P   percent\n"
         "  --quiet                   print only the summary line\n" +
         RtspUsageText();
}

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error, bool& help) {
  Options o;
  help = false;
  static const std::map<std::string, bool> kTakesValue = {
      {"target", true},      {"bind", true},          {"input", true},
      {"codec", true},       {"size", true},          {"fps", true},
      {"bitrate", true},     {"key-interval", true},  {"slices", true},
      {"audio", true},       {"tone", true},          {"audio-samples", true},
      {"stream-id", true},   {"stream-change", true}, {"generation", true},
      {"max-payload", true}, {"realtime", false},     {"fast", false},
      {"duration", true},    {"frames", true},        {"dump", true},
      {"seed", true},        {"reorder", true},       {"reorder-percent", true},
      {"duplicate", true},   {"drop", true},          {"truncate", true},
      {"garbage", true},     {"bad-length", true},    {"quiet", false},
      {"help", false}};
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      error = "unexpected argument: " + arg;
      return std::nullopt;
    }
    std::string name = arg.substr(2);
    std::string value;
    bool inlineValue = false;
    if (size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    auto known = kTakesValue.find(name);
    std::optional<bool> rtspTakesValue = RtspOptionTakesValue(name);
    if (known == kTakesValue.end() && !rtspTakesValue) {
      error = "unknown option: --" + name;
      return std::nullopt;
    }
    const bool takesValue = rtspTakesValue ? *rtspTakesValue : known->second;
    if (takesValue && !inlineValue) {
      if (i + 1 >= argc) {
        error = "missing value for --" + name;
        return std::nullopt;
      }
      value = argv[++i];
    }
    bool ok = true;
    if (rtspTakesValue) {
      ok = ApplyRtspOption(name, value, o.rtsp);
    } else if (name == "help") {
      help = true;
      return std::nullopt;
    } else if (name == "target") {
      o.target = value;
      ok = !value.empty();
    } else if (name == "bind") {
      o.bindAddress = value;
    } else if (name == "input") {
      o.input = value;
    } else if (name == "codec") {
      if (value == "h264") {
        o.videoCodec = VideoCodec::kH264;
      } else if (value == "mpeg4") {
        o.videoCodec = VideoCodec::kMpeg4;
      } else if (value == "mjpeg") {
        o.videoCodec = VideoCodec::kMjpeg;
      } else {
        ok = false;
      }
    } else if (name == "size") {
      ok = ParseSize(value, o.width, o.height);
    } else if (name == "fps") {
      ok = IntIn(value, 1, 120, o.frameRate);
    } else if (name == "bitrate") {
      ok = IntIn(value, 8, 100000, o.bitRateKbps);
    } else if (name == "key-interval") {
      ok = IntIn(value, 1, 10000, o.keyInterval);
    } else if (name == "slices") {
      ok = IntIn(value, 1, 32, o.slices);
    } else if (name == "audio") {
      static const std::map<std::string, AudioCodec> kAudio = {
          {"none", AudioCodec::kNone},       {"g711a", AudioCodec::kG711A},
          {"g711u", AudioCodec::kG711U},     {"g726-16", AudioCodec::kG726_16},
          {"g726-24", AudioCodec::kG726_24}, {"g726-32", AudioCodec::kG726_32},
          {"g726-40", AudioCodec::kG726_40}};
      auto found = kAudio.find(value);
      ok = found != kAudio.end();
      if (ok) o.audioCodec = found->second;
    } else if (name == "tone") {
      ok = IntIn(value, 1, 3999, o.toneHz);
    } else if (name == "audio-samples") {
      // Multiples of 8 keep every G.726 rate on whole bytes.
      ok = IntIn(value, 8, 1600, o.audioFrameSamples) && o.audioFrameSamples % 8 == 0;
    } else if (name == "stream-id") {
      ok = IntIn(value, 0, UINT32_MAX, o.streamId);
    } else if (name == "stream-change") {
      ok = IntIn(value, 0, 86400, o.streamChangeSeconds);
    } else if (name == "generation") {
      ok = IntIn(value, 0, 255, o.deviceGeneration);
    } else if (name == "max-payload") {
      ok = IntIn(value, 16, 4096 - 68, o.maxPayload);
    } else if (name == "realtime") {
      o.realTime = true;
    } else if (name == "fast") {
      o.realTime = false;
    } else if (name == "duration") {
      ok = ToDouble(value, o.durationSeconds) && o.durationSeconds > 0;
      o.durationGiven = true;
    } else if (name == "frames") {
      ok = IntIn(value, 1, INT64_MAX, o.durationFrames);
      o.durationGiven = true;
    } else if (name == "dump") {
      o.dumpPrefix = value;
      ok = !value.empty();
    } else if (name == "seed") {
      ok = IntIn(value, 0, UINT32_MAX, o.faults.seed);
    } else if (name == "reorder") {
      ok = IntIn(value, 0, 256, o.faults.reorderWindow);
    } else if (name == "reorder-percent") {
      ok = PercentIn(value, o.faults.reorderPercent);
    } else if (name == "duplicate") {
      ok = PercentIn(value, o.faults.duplicatePercent);
    } else if (name == "drop") {
      ok = PercentIn(value, o.faults.dropPercent);
    } else if (name == "truncate") {
      ok = PercentIn(value, o.faults.truncatePercent);
    } else if (name == "garbage") {
      ok = PercentIn(value, o.faults.garbagePercent);
    } else if (name == "bad-length") {
      ok = PercentIn(value, o.faults.badLengthPercent);
    } else if (name == "quiet") {
      o.quiet = true;
    }
    if (!ok) {
      error = "bad value for --" + name + ": " + value;
      return std::nullopt;
    }
  }
  if (std::string rtspError = CheckRtspOptions(o); !rtspError.empty()) {
    error = rtspError;
    return std::nullopt;
  }
  if (o.videoCodec == VideoCodec::kH264 && o.slices > o.height / 16) {
    error = "more slices than macroblock rows";
    return std::nullopt;
  }
  return o;
}

}  // namespace kvdevice
