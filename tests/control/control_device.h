// Helpers for the device-control tests: kvdevice on loopback (its RTSP and MCTP/1.0 port), a
// live client on it made through the public interface with idle test parts, and the requests
// the device logged.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "tests/support/fake_parts.h"
#include "tests/tools/mctp_bare_client.h"

namespace kv::control_test {

using kvdevice_mctp_test::Folder;
using kvdevice_mctp_test::kLight;
using kvdevice_mctp_test::LogLines;
using kvdevice_mctp_test::Quoted;
using kvdevice_mctp_test::WaitForLog;
using kvdevice_rtsp_test::Device;

// A live client of the given transport on 127.0.0.1:port, channel 1, with idle parts (no
// stream is received); stopped with the object.
class LiveClient {
 public:
  LiveClient(int port, int16_t transport = TRANSPORT_RTSP_TCP) {
    KVNET_CLIENT_PARAM param;
    std::memset(&param, 0, sizeof param);
    param.transport = transport;
    param.channel = 1;
    const std::string address = "127.0.0.1:" + std::to_string(port);
    std::strncpy(param.address, address.c_str(), sizeof param.address - 1);
    handle_ = KVNET_ClientStart(&param);
    EXPECT_NE(handle_, nullptr);
  }
  ~LiveClient() {
    if (handle_ != nullptr) {
      EXPECT_EQ(KVNET_ClientStop(handle_), 1);
    }
  }
  LiveClient(const LiveClient&) = delete;
  LiveClient& operator=(const LiveClient&) = delete;

  KVNET_HANDLE handle() const { return handle_; }
  CNetClient& client() const { return *CNetClient::FromHandle(handle_); }

 private:
  test::ScopedFakeParts parts_;
  KVNET_HANDLE handle_ = nullptr;
};

// Log lines of requests of a kind ("md-get", "talk", ...).
inline size_t Requests(const std::string& log, const std::string& kind) {
  return LogLines(log, "request " + kind + " ").size();
}

}  // namespace kv::control_test
