// kvdevice command line: what to encode, where to send it and which faults to inject.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

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

// The RTSP server (--listen): what it announces, how it packetises and which faults it plays.
struct RtspOptions {
  std::string listen;           // HOST:PORT of the TCP port; empty: send the UDP stream instead
  std::string banner = "v200";  // Server header: "v200", "plain" or "none"
  std::string user, password;   // a user name asks for Digest authentication
  std::string realm = "MorvaLinder";
  std::string nonce = "5d41402abc4b2a76b9719d911017c592";
  std::string sessionId;            // empty: a decimal id per session
  int sessionTimeout = 0;           // seconds announced as ";timeout=N" (0: none)
  bool expireSessions = false;      // forget a session that sent no request for its timeout
  std::string control = "trackid";  // track controls: "trackid", "stream" or "absolute"
  bool aggregate = false;           // STAP-A for small H.264 units
  int jpegSampling = 420;           // 420 (type 1) or 422 (type 0)
  int jpegRestart = 0;              // restart interval in MCUs; non-zero gives types 64/65
  int jpegQuality = 80;             // libjpeg quality
  int jpegQ = 255;                  // RFC 2435 Q field, 128..255: tables in-band
  bool mpeg4ConfigAlone = true;     // configuration headers in a packet of their own
  // Faults.
  std::map<std::string, int> refuse;  // method -> status code answered instead
  std::string noAnswerFrom;           // from this method on ("ALL": from the start) answer nothing
  int answerPieces = 1;               // answers written in this many TCP segments
  int answerGapMs = 30;               // pause between the pieces
  double dropAfterSeconds = 0;        // close the connection this long after PLAY
  double stallAfterSeconds = 0;       // stop sending media this long after PLAY
  bool rtcp = false;                  // RTCP sender reports every second
  double strayTextSeconds = 0;        // RTSP text between interleaved packets, every N seconds
  double oversizePercent = 0;         // junk packets of 4097..32767 bytes after P% of packets
  // Measurement.
  std::string sendLog;  // a line per picture sent: its RTP time and when its last packet left
};

// How the MCTP/1.0 side answers one kind of request. The first five write a reply (the device
// counts the last four as given, as a device with a fault would); split writes the accepting
// reply in two TCP segments; silent answers nothing and keeps the connection; close ends it.
enum class ReplyMode {
  kAccept,
  kRefuse,
  kMalformed,
  kGarbled,
  kNoNewline,
  kSplit,
  kSilent,
  kClose
};

// The MCTP/1.0 side of the RTSP server: command replies, the event channel and talk.
struct MctpOptions {
  // Request kind ("md-get", "md-save", "md-start", "md-stop", "alarm", "vparam-set",
  // "vparam-get", "ptz", "talk", "login", "alive") -> how it is answered; missing: accept.
  std::map<std::string, ReplyMode> replies;
  int splitGapMs = 30;            // pause between the two segments of a split reply
  std::string logPath;            // a line per request, report and talk connection
  std::string controlPath;        // a file of commands the device follows as lines are appended
  bool checkSession = true;       // a log-in must name a session the RTSP side has open
  double motionEverySeconds = 0;  // 0: no scheduled motion reports
  std::vector<int> motionRegions = {2, 5};
  double alarmEverySeconds = 0;  // 0: no scheduled alarm reports
  int alarmCode = 1;
  int eventPieces = 1;  // every report written in this many TCP segments
  int eventGapMs = 30;
  int eventBatch = 1;                // scheduled reports go out this many in one segment
  double eventTimeoutSeconds = 0;    // close an event connection this long without a message
  double eventDropAfterSeconds = 0;  // close an event connection this long after its log-in
  AudioCodec talkCodec = AudioCodec::kNone;  // none: by the device generation (the banner)
  bool talkAudio = true;                     // the device sends its audio while talking
  bool talkEcho = false;                     // ... and that audio is what it hears, sent back
  int talkFields = 2;                        // fields of the talk reply's field line (2 or 3)
  int talkToneHz = 500;
  int talkFrameSamples = 160;  // samples per downlink voice frame
  double talkDropAfterSeconds = 0;
  std::string talkWavPath;    // what the device heard, decoded: 8 kHz mono 16-bit WAV
  std::string talkCodedPath;  // the same as the codec payload bytes received

  bool operator==(const MctpOptions&) const = default;
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
  bool durationGiven = false;  // --duration or --frames was given
  int64_t durationFrames = 0;  // when non-zero, overrides durationSeconds
  int maxPayload = 1400;
  std::string dumpPrefix;  // writes PREFIX.video, PREFIX.audio and PREFIX.log
  bool quiet = false;
  FaultOptions faults;
  RtspOptions rtsp;
  MctpOptions mctp;
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
