// Talk on the simulated device: answers "CMD:TALK", then hears the client's uplink packets
// (kept by the recorder, decoded and as codec bytes) and, when it sends audio, speaks a tone
// in voice frames of its talk codec in real time, or echoes what it hears; drops the connection
// when told to. For latency measurements it logs when sound begins to arrive, on the clock the
// client library stamps its packets with (CLOCK_MONOTONIC milliseconds, 32 bits), and how long
// packets took from their stamp to the device.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "tools/kvdevice/audio_decoder.h"
#include "tools/kvdevice/audio_encoder.h"
#include "tools/kvdevice/mctp_context.h"
#include "tools/kvdevice/mctp_options.h"
#include "tools/kvdevice/talk_wire.h"
#include "tools/kvdevice/tone.h"

namespace kvdevice {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 50;
constexpr size_t kMaxHeld = 1 << 20;
// A device that fell this many frames behind (a stalled machine) starts its clock again
// rather than sending a burst.
constexpr int64_t kMaxLateFrames = 10;
// Bad voice frames logged one by one per connection; the rest are only counted.
constexpr uint64_t kBadFramesLogged = 5;
// The device starts speaking (and sends the bytes the control file asks for) once the client's
// first packet arrived (it has then read the reply) or after this long, so that the reply is
// not read together with voice frames.
constexpr auto kFirstFrameWait = std::chrono::milliseconds(500);
// A frame louder than this (RMS, about -30 dBFS) after a quieter one is the start of a sound.
constexpr double kSoundRms = 1000;
constexpr int kSoundStartsLogged = 20;
// Stamps further off than this are not from a clock the device shares.
constexpr uint32_t kMaxTransitMs = 60000;

// Milliseconds of CLOCK_MONOTONIC (steady_clock's source), wrapping at 32 bits.
uint32_t MonotonicMs() {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count());
}

double Rms(const std::vector<int16_t>& samples) {
  if (samples.empty()) return 0;
  double sum = 0;
  for (int16_t s : samples) sum += static_cast<double>(s) * s;
  return std::sqrt(sum / static_cast<double>(samples.size()));
}

// How long packets took from their stamp to the device: least, mean and most.
struct Transit {
  uint64_t count = 0, sum = 0;
  uint32_t least = UINT32_MAX, most = 0;
  void add(uint32_t stamp) {
    const uint32_t ms = MonotonicMs() - stamp;
    if (ms > kMaxTransitMs) return;
    ++count;
    sum += ms;
    least = std::min(least, ms);
    most = std::max(most, ms);
  }
  std::string text() const {
    if (count == 0) return "transit unknown";
    return "transit " + std::to_string(least) + "/" + std::to_string(sum / count) + "/" +
           std::to_string(most) + " ms";
  }
};

int TalkCodecValue(AudioCodec codec) { return codec == AudioCodec::kG711U ? 2 : 16; }

}  // namespace

TalkRecorder::~TalkRecorder() {
  if (coded_ != nullptr) std::fclose(coded_);
}

bool TalkRecorder::open(const std::string& wavPath, const std::string& codedPath,
                        std::string& error) {
  if (!wavPath.empty()) {
    wavOpen_ = wav_.open(wavPath);
    if (!wavOpen_) {
      error = "cannot write " + wavPath;
      return false;
    }
  }
  if (!codedPath.empty()) {
    coded_ = std::fopen(codedPath.c_str(), "wb");
    if (coded_ == nullptr) {
      error = "cannot write " + codedPath;
      return false;
    }
  }
  return true;
}

void TalkRecorder::keep(const uint8_t* coded, size_t size, const std::vector<int16_t>& samples) {
  std::lock_guard<std::mutex> hold(lock_);
  if (wavOpen_) wav_.append(samples.data(), samples.size());
  if (coded_ != nullptr) {
    std::fwrite(coded, 1, size, coded_);
    std::fflush(coded_);
  }
}

void ServeTalk(MctpContext& context, TcpConnection& connection, const std::atomic<bool>& stopping,
               const Request& request, const MctpMessage& message) {
  const MctpOptions& options = context.options.mctp;
  const AudioCodec codec = TalkCodecOf(context.options);
  const ReplyMode mode = ModeFor(options, RequestKind::kTalk);
  std::string note;
  if (request.fields[0][1] != TalkCodecValue(codec)) {
    note = "asks for codec " + std::to_string(request.fields[0][1]) + ", the device talks " +
           std::to_string(TalkCodecValue(codec));
  }
  ReplyData data;
  data.talkAudio = options.talkAudio;
  data.talkFields = options.talkFields;
  context.log.line(RequestLine(request, message, mode, note));
  if (!SendReply(connection, mode, ReplyText(request, mode, data), options.splitGapMs, stopping) ||
      !Acts(mode)) {
    return;
  }
  ++context.counters.talks;

  std::string error;
  std::unique_ptr<AudioDecoder> decoder = AudioDecoder::Create(codec, error);
  std::unique_ptr<AudioEncoder> encoder =
      AudioEncoder::Create(codec, options.talkFrameSamples, error);
  if (decoder == nullptr || encoder == nullptr) {
    context.log.line("talk cannot start its codec: " + error);
    return;
  }
  ToneGenerator tone(options.talkToneHz, 8000, 0.5);
  std::vector<int16_t> samples(static_cast<size_t>(options.talkFrameSamples));
  std::vector<uint8_t> payload;
  std::vector<int16_t> decoded;
  Outbox outbox;
  context.bus.subscribe(ControlTarget::kTalk, &outbox);

  const auto frameTime = std::chrono::microseconds(int64_t{options.talkFrameSamples} * 125);
  const Clock::time_point accepted = Clock::now();
  Clock::time_point clock;
  int64_t due = 0;  // frames sent since `clock`
  bool speaking = false;
  uint64_t heard = 0, bad = 0, spoken = 0;
  Transit transit;
  bool loud = false;
  int soundStarts = 0;
  std::string end = "stopped";
  while (!stopping) {
    int waitMs = kPollMs;
    if (speaking) {
      const auto left = clock + due * frameTime - Clock::now();
      waitMs = static_cast<int>(std::clamp<int64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(left).count(), 0, kPollMs));
    }
    if (connection.read(waitMs, kMaxHeld) == ReadResult::kClosed) {
      end = "closed by the client";
      break;
    }
    // What the client said.
    const std::string& held = connection.buffered();
    std::vector<std::vector<uint8_t>> echo;
    size_t at = 0;
    bool lost = false;
    for (;;) {
      UplinkPacket packet;
      size_t consumed = 0;
      std::string problem;
      const UplinkTake take = TakeUplinkPacket(reinterpret_cast<const uint8_t*>(held.data()) + at,
                                               held.size() - at, packet, consumed, problem);
      if (take == UplinkTake::kIncomplete) break;
      if (take == UplinkTake::kBad) {
        ++context.counters.bad;
        context.log.line("talk bad packet: " + problem);
        lost = true;
        break;
      }
      at += consumed;
      ++heard;
      ++context.counters.heard;
      if (!CheckVoiceFrame(packet.frame, problem)) {
        if (++bad <= kBadFramesLogged) context.log.line("talk bad frame: " + problem);
        ++context.counters.bad;
        continue;
      }
      decoded.clear();
      const uint8_t* coded = packet.frame.data() + kVoiceHeaderBytes;
      const size_t codedSize = packet.frame.size() - kVoiceHeaderBytes;
      if (!decoder->decode(coded, codedSize, decoded)) {
        if (++bad <= kBadFramesLogged) context.log.line("talk frame does not decode");
        ++context.counters.bad;
        continue;
      }
      context.recorder.keep(coded, codedSize, decoded);
      transit.add(packet.tick);
      const bool wasLoud = loud;
      loud = Rms(decoded) > kSoundRms;
      if (loud && !wasLoud && soundStarts < kSoundStartsLogged) {
        ++soundStarts;
        context.log.line("talk sound at clock " + std::to_string(MonotonicMs()) + " stamped " +
                         std::to_string(packet.tick));
      }
      if (options.talkEcho) echo.push_back(std::move(packet.frame));
    }
    connection.consume(at);
    if (lost) {
      end = "lost the uplink framing";
      break;
    }
    // What the device says: its tone, frame by frame in real time.
    bool failed = false;
    const Clock::time_point now = Clock::now();
    for (const std::vector<uint8_t>& frame : echo) {
      failed = failed || !connection.write(frame.data(), frame.size(), &stopping);
      if (!failed) {
        ++spoken;
        ++context.counters.spoken;
      }
    }
    const bool replyRead = heard > 0 || now - accepted >= kFirstFrameWait;
    if (options.talkAudio && !options.talkEcho && !speaking && replyRead) {
      speaking = true;
      clock = now;
    }
    if (speaking) {
      if (now - (clock + due * frameTime) > kMaxLateFrames * frameTime) {
        clock = now;
        due = 0;
      }
      while (!failed && clock + due * frameTime <= now) {
        tone.fill(samples.data(), options.talkFrameSamples);
        if (!encoder->encode(samples.data(), payload)) break;
        const std::vector<uint8_t> frame = VoiceFrame(payload);
        failed = !connection.write(frame.data(), frame.size(), &stopping);
        ++due;
        ++spoken;
        ++context.counters.spoken;
      }
    }
    for (const Delivery& d : replyRead ? outbox.take() : std::vector<Delivery>()) {
      for (const EventItem& item : d.items) {
        context.log.line("talk sent " + Quoted(item.raw));
        failed = failed || !connection.write(item.raw, &stopping);
      }
    }
    if (failed) {
      end = "write failed";
      break;
    }
    if (options.talkDropAfterSeconds > 0 &&
        Clock::now() - accepted >= std::chrono::duration<double>(options.talkDropAfterSeconds)) {
      end = "dropped";
      break;
    }
  }
  context.bus.unsubscribe(ControlTarget::kTalk, &outbox);
  context.log.line("talk end " + end + " heard " + std::to_string(heard) + " bad " +
                   std::to_string(bad) + " sent " + std::to_string(spoken) + " " + transit.text());
}

}  // namespace kvdevice
