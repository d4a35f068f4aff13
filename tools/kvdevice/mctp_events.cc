// The event channel of the simulated device: answers the log-in (checking its RTSP session),
// counts and answers keep-alives, and writes motion and alarm reports on its schedule and on
// request, in as many segments or together in one as the options say.
#include <chrono>

#include "tools/kvdevice/mctp_context.h"
#include "tools/kvdevice/mctp_options.h"

namespace kvdevice {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 50;
// Reports wait for the client's first keep-alive (it has then read the log-in reply) or this
// long, so that the reply is not read together with a report.
constexpr auto kFirstReportWait = std::chrono::milliseconds(500);

Clock::duration Seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

class EventChannel {
 public:
  EventChannel(MctpContext& context, TcpConnection& connection, const std::atomic<bool>& stopping,
               int channel)
      : context_(context),
        options_(context.options.mctp),
        connection_(connection),
        stopping_(stopping),
        channel_(channel) {}

  void run();

 private:
  // Handles what the client sent; false when the connection is to end.
  bool takeMessages();
  // Writes messages in one segment, or in `pieces`; false when the write failed.
  bool write(const std::vector<std::string>& messages, int pieces);
  std::string text(const EventItem& item);
  // Writes what was asked for and what the schedule says is due; why the connection is to end,
  // or empty.
  std::string report(Outbox& outbox, std::vector<std::string>& batch, Clock::time_point now,
                     Clock::time_point& nextMotion, Clock::time_point& nextAlarm);

  MctpContext& context_;
  const MctpOptions& options_;
  TcpConnection& connection_;
  const std::atomic<bool>& stopping_;
  const int channel_;
  uint64_t keepalives_ = 0;
  uint64_t reports_ = 0;
};

std::string EventChannel::text(const EventItem& item) {
  switch (item.kind) {
    case EventItem::Kind::kMotion:
      return MotionReport(channel_, item.regions, context_.state.motionRegions(channel_));
    case EventItem::Kind::kAlarm:
      return AlarmReport(item.first, item.code);
    case EventItem::Kind::kRaw:
      break;
  }
  return item.raw;
}

bool EventChannel::write(const std::vector<std::string>& messages, int pieces) {
  std::string all;
  for (const std::string& m : messages) {
    context_.log.line("sent " + Quoted(m));
    all += m;
  }
  reports_ += messages.size();
  context_.counters.reports += messages.size();
  return pieces > 1 ? connection_.writeInPieces(all, pieces, options_.eventGapMs)
                    : connection_.write(all, &stopping_);
}

bool EventChannel::takeMessages() {
  for (;;) {
    MctpMessage message;
    size_t consumed = 0;
    const Take take = TakeMessage(connection_.buffered(), message, consumed);
    if (take == Take::kIncomplete) return true;
    if (take == Take::kBad) {
      ++context_.counters.bad;
      context_.log.line("event bad " + Quoted(connection_.buffered().substr(0, consumed)));
      connection_.consume(consumed);
      continue;
    }
    connection_.consume(consumed);
    ++context_.counters.requests;
    const Request request = ParseRequest(message);
    if (request.kind != RequestKind::kAlive) {
      ++context_.counters.bad;
      context_.log.line("event unexpected " + Quoted(message.text));
      continue;
    }
    ++keepalives_;
    ++context_.counters.keepalives;
    const ReplyMode mode = ModeFor(options_, RequestKind::kAlive);
    context_.log.line("keepalive " + std::to_string(keepalives_) + " -> " + ReplyModeName(mode));
    if (mode == ReplyMode::kSilent) continue;  // no answer, the channel goes on
    if (!SendReply(connection_, mode, ReplyText(request, mode, {}), options_.splitGapMs,
                   stopping_)) {
      return false;
    }
  }
}

std::string EventChannel::report(Outbox& outbox, std::vector<std::string>& batch,
                                 Clock::time_point now, Clock::time_point& nextMotion,
                                 Clock::time_point& nextAlarm) {
  for (const Delivery& d : outbox.take()) {
    if (d.close) return "dropped";
    std::vector<std::string> messages;
    for (const EventItem& item : d.items) messages.push_back(text(item));
    if (!write(messages, d.split ? 2 : options_.eventPieces)) return "write failed";
  }
  if (options_.motionEverySeconds > 0 && now >= nextMotion) {
    EventItem motion;
    motion.kind = EventItem::Kind::kMotion;
    motion.regions = options_.motionRegions;
    batch.push_back(text(motion));
    nextMotion += Seconds(options_.motionEverySeconds);
  }
  if (options_.alarmEverySeconds > 0 && now >= nextAlarm) {
    batch.push_back(AlarmReport(2, options_.alarmCode));
    nextAlarm += Seconds(options_.alarmEverySeconds);
  }
  if (batch.size() >= static_cast<size_t>(options_.eventBatch)) {
    if (!write(batch, options_.eventPieces)) return "write failed";
    batch.clear();
  }
  return {};
}

void EventChannel::run() {
  ++context_.counters.logins;
  Outbox outbox;
  context_.bus.subscribe(ControlTarget::kEvents, &outbox);
  const Clock::time_point loggedIn = Clock::now();
  Clock::time_point heard = loggedIn;
  Clock::time_point nextMotion = loggedIn + Seconds(options_.motionEverySeconds);
  Clock::time_point nextAlarm = loggedIn + Seconds(options_.alarmEverySeconds);
  std::vector<std::string> batch;
  std::string end;
  while (end.empty() && !stopping_) {
    const ReadResult r = connection_.read(kPollMs, kMaxMctpMessage + 1);
    const Clock::time_point now = Clock::now();
    if (r == ReadResult::kClosed) {
      end = "closed by the client";
    } else if (r == ReadResult::kOk) {
      heard = now;
    }
    if (end.empty() && !takeMessages()) end = "closed after a keep-alive";
    if (end.empty() && (keepalives_ > 0 || now - loggedIn >= kFirstReportWait)) {
      end = report(outbox, batch, now, nextMotion, nextAlarm);
    }
    if (end.empty() && options_.eventTimeoutSeconds > 0 &&
        now - heard >= Seconds(options_.eventTimeoutSeconds)) {
      end = "timed out";
    }
    if (end.empty() && options_.eventDropAfterSeconds > 0 &&
        now - loggedIn >= Seconds(options_.eventDropAfterSeconds)) {
      end = "dropped";
    }
  }
  if (end.empty()) end = "stopped";
  context_.bus.unsubscribe(ControlTarget::kEvents, &outbox);
  context_.log.line("event end " + end + " keepalives " + std::to_string(keepalives_) +
                    " reports " + std::to_string(reports_));
}

}  // namespace

void ServeEvents(MctpContext& context, TcpConnection& connection, const std::atomic<bool>& stopping,
                 const Request& login, const MctpMessage& message) {
  const MctpOptions& options = context.options.mctp;
  ReplyMode mode = ModeFor(options, RequestKind::kLogin);
  std::string note;
  ReplyData data;
  if (options.checkSession && !context.sessions.contains(login.session)) {
    note = "no RTSP session " + login.session;
    data.accepted = false;
    if (Acts(mode)) mode = ReplyMode::kRefuse;
  }
  context.log.line(RequestLine(login, message, mode, note));
  if (!SendReply(connection, mode, ReplyText(login, mode, data), options.splitGapMs, stopping)) {
    return;
  }
  if (!Acts(mode)) return;  // refused: the device closes
  EventChannel(context, connection, stopping, login.channel).run();
}

}  // namespace kvdevice
