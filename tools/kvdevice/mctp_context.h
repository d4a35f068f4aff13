// What every MCTP/1.0 connection of the simulated device shares (options, state, log, bus,
// what talk heard, totals), and the helpers of its three kinds of connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "tools/kvdevice/mctp_control.h"
#include "tools/kvdevice/mctp_log.h"
#include "tools/kvdevice/mctp_message.h"
#include "tools/kvdevice/mctp_state.h"
#include "tools/kvdevice/options.h"
#include "tools/kvdevice/tcp_socket.h"
#include "tools/kvdevice/wav_file.h"

namespace kvdevice {

struct MctpCounters {
  std::atomic<uint64_t> requests{0};  // every message a client sent, keep-alives included
  std::atomic<uint64_t> bad{0};       // requests and uplink packets that broke the format
  std::atomic<uint64_t> logins{0};
  std::atomic<uint64_t> keepalives{0};
  std::atomic<uint64_t> reports{0};
  std::atomic<uint64_t> talks{0};
  std::atomic<uint64_t> heard{0};   // uplink voice frames
  std::atomic<uint64_t> spoken{0};  // downlink voice frames
};

// Keeps what the device heard while talking, across connections: decoded into a WAV file and
// as the codec's bytes.
class TalkRecorder {
 public:
  TalkRecorder() = default;
  ~TalkRecorder();
  TalkRecorder(const TalkRecorder&) = delete;
  TalkRecorder& operator=(const TalkRecorder&) = delete;

  // Either path may be empty; false with the reason when a file cannot be created.
  bool open(const std::string& wavPath, const std::string& codedPath, std::string& error);
  void keep(const uint8_t* coded, size_t size, const std::vector<int16_t>& samples);

 private:
  std::mutex lock_;
  bool wavOpen_ = false;
  WavFile wav_;
  std::FILE* coded_ = nullptr;
};

struct MctpContext {
  MctpContext(const Options& o, SessionRegistry& s)
      : options(o), state(o.width, o.height), sessions(s) {}
  const Options& options;
  MctpLog log;
  DeviceState state;
  SessionRegistry& sessions;
  EventBus bus;
  TalkRecorder recorder;
  MctpCounters counters;
};

// How --mctp-reply says to answer a request kind.
ReplyMode ModeFor(const MctpOptions& options, RequestKind kind);
// Whether the device acts on a request it answers in this mode: it does unless it refuses,
// stays silent or closes (a malformed or split reply is a fault of the answer, not the act).
bool Acts(ReplyMode mode);

// Answers as the mode says: `text` (the reply in its mode), in two segments when split;
// nothing when silent (then waits until the client closes or the server stops). Returns false
// when the connection is to end: closed, silent, or the write failed.
bool SendReply(TcpConnection& connection, ReplyMode mode, const std::string& text, int gapMs,
               const std::atomic<bool>& stopping);

// The request line of the log: "request KIND "TEXT" -> MODE" and a note.
std::string RequestLine(const Request& request, const MctpMessage& message, ReplyMode mode,
                        const std::string& note = "");

// The event channel after a log-in request, and talk after a talk request.
void ServeEvents(MctpContext& context, TcpConnection& connection, const std::atomic<bool>& stopping,
                 const Request& login, const MctpMessage& message);
void ServeTalk(MctpContext& context, TcpConnection& connection, const std::atomic<bool>& stopping,
               const Request& request, const MctpMessage& message);

}  // namespace kvdevice
