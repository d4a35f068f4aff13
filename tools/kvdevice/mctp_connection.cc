// One MCTP/1.0 connection to the simulated device.
#include "tools/kvdevice/mctp_connection.h"

#include "tools/kvdevice/mctp_options.h"

namespace kvdevice {
namespace {

constexpr int kFirstRequestTimeoutMs = 10000;
constexpr int kPollMs = 200;

}  // namespace

ReplyMode ModeFor(const MctpOptions& options, RequestKind kind) {
  auto it = options.replies.find(RequestKindName(kind));
  return it == options.replies.end() ? ReplyMode::kAccept : it->second;
}

bool Acts(ReplyMode mode) {
  return mode != ReplyMode::kRefuse && mode != ReplyMode::kSilent && mode != ReplyMode::kClose;
}

bool SendReply(TcpConnection& connection, ReplyMode mode, const std::string& text, int gapMs,
               const std::atomic<bool>& stopping) {
  switch (mode) {
    case ReplyMode::kClose:
      return false;
    case ReplyMode::kSilent:
      // Reads and drops whatever comes until the client gives up.
      while (!stopping) {
        connection.consume(connection.buffered().size());
        if (connection.read(kPollMs, kMaxMctpMessage) == ReadResult::kClosed) break;
      }
      return false;
    case ReplyMode::kSplit:
      return connection.writeInPieces(text, 2, gapMs);
    default:
      return connection.write(text, &stopping);
  }
}

std::string RequestLine(const Request& request, const MctpMessage& message, ReplyMode mode,
                        const std::string& note) {
  return std::string("request ") + RequestKindName(request.kind) + " " + Quoted(message.text) +
         " -> " + ReplyModeName(mode) + (note.empty() ? "" : " (" + note + ")");
}

void MctpConnection::serve(TcpConnection& connection, const std::atomic<bool>& stopping) {
  MctpMessage message;
  size_t consumed = 0;
  Take take = Take::kIncomplete;
  for (int waited = 0; !stopping; waited += kPollMs) {
    take = TakeMessage(connection.buffered(), message, consumed);
    if (take != Take::kIncomplete) break;
    if (waited >= kFirstRequestTimeoutMs) {
      context_.log.line("request incomplete " + Quoted(connection.buffered()) + " -> close");
      return;
    }
    const ReadResult r = connection.read(kPollMs, kMaxMctpMessage + 1);
    if (r == ReadResult::kClosed) return;
  }
  if (take != Take::kMessage) {
    if (take == Take::kBad) {
      ++context_.counters.bad;
      context_.log.line("request bad " + Quoted(connection.buffered()) + " -> close");
    }
    return;
  }
  connection.consume(consumed);
  ++context_.counters.requests;
  const Request request = ParseRequest(message);
  switch (request.kind) {
    case RequestKind::kBad:
      ++context_.counters.bad;
      context_.log.line("request bad " + Quoted(message.text) + " -> close (" + request.problem +
                        ")");
      return;
    case RequestKind::kAlive:
      ++context_.counters.bad;
      context_.log.line(RequestLine(request, message, ReplyMode::kClose, "no log-in before it"));
      return;
    case RequestKind::kLogin:
      ServeEvents(context_, connection, stopping, request, message);
      return;
    case RequestKind::kTalk:
      ServeTalk(context_, connection, stopping, request, message);
      return;
    default:
      answer(connection, stopping, request, message);
      return;
  }
}

void MctpConnection::answer(TcpConnection& connection, const std::atomic<bool>& stopping,
                            const Request& request, const MctpMessage& message) {
  const MctpOptions& options = context_.options.mctp;
  DeviceState& state = context_.state;
  ReplyMode mode = ModeFor(options, request.kind);
  ReplyData data;
  std::string note;
  const int channel = request.channel;
  const std::vector<int>& f = request.fields[0];
  switch (request.kind) {
    case RequestKind::kMdGet:
      data.regions = state.motionRegions(channel);
      break;
    case RequestKind::kMdSave:
      if (Acts(mode)) {
        MdRegions regions{};
        for (size_t i = 0; i < regions.size(); ++i) {
          const std::vector<int>& line = request.fields[i];
          regions[i] = MdRegion{line[3], line[4], line[5], line[6], line[7]};
        }
        state.saveMotionRegions(channel, regions);
      }
      break;
    case RequestKind::kMdStart:
    case RequestKind::kMdStop:
      if (Acts(mode)) state.setMotionDetection(channel, request.kind == RequestKind::kMdStart);
      break;
    case RequestKind::kVparamSet:
      for (size_t i = 2; i < 5; ++i) {
        if (f[i] < 0 || f[i] > 255) data.accepted = false;
      }
      if (!data.accepted) {
        note = "values out of 0..255";
      } else if (Acts(mode)) {
        state.setVideoParams(channel, {f[2], f[3], f[4]});
      }
      break;
    case RequestKind::kVparamGet:
      data.videoParams = state.videoParams(channel);
      break;
    default:
      break;
  }
  // A request the device cannot take is refused, however the answer is meant to fail.
  if (!data.accepted && (Acts(mode) || mode == ReplyMode::kRefuse)) mode = ReplyMode::kRefuse;
  context_.log.line(RequestLine(request, message, mode, note));
  SendReply(connection, mode, ReplyText(request, mode, data), options.splitGapMs, stopping);
}

}  // namespace kvdevice
