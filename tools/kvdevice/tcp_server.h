// The camera's TCP port: accepts connections and gives each to the handler of its protocol,
// chosen by its first line: an RTSP request line ("METHOD URL RTSP/1.0"), or an MCTP/1.0
// command line ("CMD:WORD MCTP/1.0 ..."). Each connection runs on a thread the server owns.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <string_view>
#include <thread>

#include "tools/kvdevice/tcp_socket.h"

namespace kvdevice {

enum class Protocol { kIncomplete, kRtsp, kMctp, kUnknown };

// Decides the protocol from the bytes received so far (the first line, once it is complete).
Protocol ClassifyFirstLine(std::string_view received);

class ConnectionHandler {
 public:
  virtual ~ConnectionHandler() = default;
  // Serves the connection until it closes or `stopping` is set; the first line is still in the
  // connection's buffer. Must check `stopping` at least every few hundred milliseconds.
  virtual void serve(TcpConnection& connection, const std::atomic<bool>& stopping) = 0;
};

using HandlerFactory = std::function<std::unique_ptr<ConnectionHandler>()>;

class TcpServer {
 public:
  // mctp may be empty: such connections are then closed without an answer.
  TcpServer(std::unique_ptr<TcpListener> listener, HandlerFactory rtsp, HandlerFactory mctp);
  ~TcpServer();

  // Accepts until keepGoing() is false, checking it every 100 ms.
  void run(const std::function<bool()>& keepGoing);
  // Ends every connection and joins its thread.
  void stop();
  uint64_t connections() const { return connections_; }

 private:
  struct Worker {
    std::unique_ptr<TcpConnection> connection;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void serve(Worker& worker);
  void reap(bool all);

  std::unique_ptr<TcpListener> listener_;
  HandlerFactory rtsp_;
  HandlerFactory mctp_;
  std::atomic<bool> stopping_{false};
  std::list<Worker> workers_;
  uint64_t connections_ = 0;
};

}  // namespace kvdevice
