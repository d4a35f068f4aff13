// The simulated device's MCTP/1.0 side on the RTSP port.
#include "tools/kvdevice/mctp_server.h"

#include "tools/kvdevice/mctp_connection.h"

namespace kvdevice {

std::unique_ptr<MctpServer> MctpServer::Create(const Options& options, SessionRegistry& sessions,
                                               std::string& error) {
  std::unique_ptr<MctpServer> s(new MctpServer(options, sessions));
  const MctpOptions& m = options.mctp;
  if (!s->context_.log.open(m.logPath, !options.quiet)) {
    error = "cannot write " + m.logPath;
    return nullptr;
  }
  if (!s->context_.recorder.open(m.talkWavPath, m.talkCodedPath, error)) return nullptr;
  if (!m.controlPath.empty()) {
    s->control_ = std::make_unique<ControlFile>(m.controlPath, s->context_.bus, s->context_.log);
    s->control_->start();
  }
  return s;
}

MctpServer::~MctpServer() {
  if (control_ != nullptr) control_->stop();
}

HandlerFactory MctpServer::factory() {
  return [this] { return std::make_unique<MctpConnection>(context_); };
}

std::string MctpServer::summary() const {
  const MctpCounters& c = context_.counters;
  auto item = [](const char* name, const std::atomic<uint64_t>& value) {
    return std::string(" ") + name + " " + std::to_string(value.load());
  };
  return item("mctp_requests", c.requests) + item("mctp_bad", c.bad) + item("logins", c.logins) +
         item("keepalives", c.keepalives) + item("reports", c.reports) + item("talks", c.talks) +
         item("talk_heard", c.heard) + item("talk_spoken", c.spoken);
}

}  // namespace kvdevice
