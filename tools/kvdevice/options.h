// kvdevice command line: what to encode, where to send it and which faults to inject.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kvdevice {

enum class VideoCodec { kH264, kMpeg4, kMjpeg };
enum class AudioCodec { kNone, kG711A, kG711U, kG726_16, kG726_24, kG726_32, kG726_40 };

// Percentages are of datagrams (0..100); the same seed gives the same faults.
struct FaultOptions {
  uint32_t seed = 1;
  int reorderWindow = 0;  // datagrams held back and sent in shuffled order
  // Share of datagrams held back; 100 shuffles every datagram within the window, less holds
  // back only that share, each for 1..window-1 later datagrams.
  double reorderPercent = 100;
  double duplicatePercent = 0;
  double dropPercent = 0;
  double truncatePercent = 0;
  double garbagePercent = 0;  // extra datagrams of random bytes
  double badLengthPercent = 0;

  bool any() const {
    return reorderWindow > 1 || duplicatePercent > 0 || dropPercent > 0 || truncatePercent > 0 ||
           garbagePercent > 0 || badLengthPercent > 0;
  }
};

struct Options {
  std::string input;  // media file; empty = generated pattern and tone
  VideoCodec videoCodec = VideoCodec::kH264;
  int width = 352;
  int height = 288;
  int frameRate = 25;
  int bitRateKbps = 512;
  int keyInterval = 25;
  int slices = 1;
  AudioCodec audioCodec = AudioCodec::kG711U;
  int toneHz = 1000;
  int audioFrameSamples = 160;
  uint32_t streamId = 1;
  int streamChangeSeconds = 0;  // 0 = the stream id never changes
  int deviceGeneration = 0;
  std::string target = "127.0.0.1:554";
  std::string bindAddress;  // empty = any local address
  bool realTime = true;
  double durationSeconds = 10;
  int64_t durationFrames = 0;  // when non-zero, overrides durationSeconds
  int maxPayload = 1400;
  std::string dumpPrefix;  // writes PREFIX.video, PREFIX.audio and PREFIX.log
  bool quiet = false;
  FaultOptions faults;
};

// Parses argv; on failure returns nothing and fills error. "--help" sets help.
std::optional<Options> ParseOptions(int argc, char** argv, std::string& error, bool& help);
std::string UsageText();

// Protocol codes written into the datagram header.
uint8_t VideoCodecCode(VideoCodec codec);
uint8_t AudioCodecCode(AudioCodec codec);
// Coded bytes per audio sample frame of N samples (G.711: N, G.726-k: N * k / 8 bits).
int AudioBitsPerSample(AudioCodec codec);

}  // namespace kvdevice
