// The MCTP/1.0 side's record of what happened, for tests and people: a line per request, report
// and talk connection, each starting with the seconds since the device started, in a file
// (--mctp-log) and, unless --quiet, on standard error. Lines are whole even when several
// connections write at once, and reach the file at once.
//
//   12.345 request md-start "CMD:MD MCTP/1.0 CS\n@3@1@0@0@0@0@0@0\nEND\n" -> accept
//   12.400 keepalive 3
//   12.500 sent motion "CMD:MD MCTP/1.0 CS\n...END\n"
//   13.000 talk end heard 150 bad 0 sent 149
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace kvdevice {

class MctpLog {
 public:
  MctpLog() = default;
  ~MctpLog();
  MctpLog(const MctpLog&) = delete;
  MctpLog& operator=(const MctpLog&) = delete;

  // path may be empty (no file); false when the file cannot be created.
  bool open(const std::string& path, bool toStderr);
  void line(const std::string& text);

 private:
  std::mutex lock_;
  std::FILE* file_ = nullptr;
  bool toStderr_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace kvdevice
