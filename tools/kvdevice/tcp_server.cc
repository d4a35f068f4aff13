// The camera's TCP port: one thread per connection, dispatched on the first line.
#include "tools/kvdevice/tcp_server.h"

namespace kvdevice {
namespace {

// A first line longer than this is not one of ours.
constexpr size_t kMaxFirstLine = 4096;
constexpr int kFirstLineTimeoutMs = 10000;

}  // namespace

Protocol ClassifyFirstLine(std::string_view received) {
  size_t start = 0;
  while (start < received.size() && (received[start] == '\r' || received[start] == '\n')) ++start;
  received.remove_prefix(start);
  size_t end = received.find('\n');
  if (end == std::string_view::npos) {
    return received.size() > kMaxFirstLine ? Protocol::kUnknown : Protocol::kIncomplete;
  }
  std::string_view line = received.substr(0, end);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.rfind("CMD:", 0) == 0 && line.find(" MCTP/1.0") != std::string_view::npos) {
    return Protocol::kMctp;
  }
  const size_t blank = line.rfind(' ');
  if (blank != std::string_view::npos && line.substr(blank + 1).rfind("RTSP/", 0) == 0) {
    return Protocol::kRtsp;
  }
  return Protocol::kUnknown;
}

TcpServer::TcpServer(std::unique_ptr<TcpListener> listener, HandlerFactory rtsp,
                     HandlerFactory mctp)
    : listener_(std::move(listener)), rtsp_(std::move(rtsp)), mctp_(std::move(mctp)) {}

TcpServer::~TcpServer() { stop(); }

void TcpServer::run(const std::function<bool()>& keepGoing) {
  while (!stopping_ && keepGoing()) {
    std::unique_ptr<TcpConnection> connection = listener_->accept(100);
    reap(false);
    if (connection == nullptr) continue;
    ++connections_;
    Worker& w = workers_.emplace_back();
    w.connection = std::move(connection);
    w.thread = std::thread([this, &w] { serve(w); });
  }
}

void TcpServer::serve(Worker& w) {
  TcpConnection& c = *w.connection;
  Protocol protocol = Protocol::kIncomplete;
  for (int waited = 0; protocol == Protocol::kIncomplete && !stopping_; waited += 200) {
    protocol = ClassifyFirstLine(c.buffered());
    if (protocol != Protocol::kIncomplete) break;
    if (waited >= kFirstLineTimeoutMs) break;
    ReadResult r = c.read(200, kMaxFirstLine + 1);
    if (r == ReadResult::kClosed) break;
  }
  std::unique_ptr<ConnectionHandler> handler;
  if (protocol == Protocol::kRtsp) {
    handler = rtsp_();
  } else if (protocol == Protocol::kMctp && mctp_) {
    handler = mctp_();
  } else if (protocol == Protocol::kUnknown) {
    c.write(std::string("RTSP/1.0 400 Bad Request\r\n\r\n"));
  }
  if (handler != nullptr) handler->serve(c, stopping_);
  c.shutdown();
  w.done = true;
}

void TcpServer::reap(bool all) {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (all || it->done) {
      if (all) it->connection->shutdown();
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void TcpServer::stop() {
  stopping_ = true;
  reap(true);
}

}  // namespace kvdevice
