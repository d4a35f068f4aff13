// The simulated device's MCTP/1.0 side on the RTSP port: owns what its connections share and the
// control file's reader, and makes a handler for each MCTP connection.
#pragma once

#include <memory>
#include <string>

#include "tools/kvdevice/mctp_context.h"
#include "tools/kvdevice/tcp_server.h"

namespace kvdevice {

class MctpServer {
 public:
  // Opens the log and the talk files and starts following the control file; nothing (with the
  // reason) when a file cannot be created.
  static std::unique_ptr<MctpServer> Create(const Options& options, SessionRegistry& sessions,
                                            std::string& error);
  ~MctpServer();
  MctpServer(const MctpServer&) = delete;
  MctpServer& operator=(const MctpServer&) = delete;

  HandlerFactory factory();
  // The totals for the summary line: " mctp_requests N mctp_bad N logins N ...".
  std::string summary() const;

 private:
  MctpServer(const Options& options, SessionRegistry& sessions) : context_(options, sessions) {}

  MctpContext context_;
  std::unique_ptr<ControlFile> control_;
};

}  // namespace kvdevice
