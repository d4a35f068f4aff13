// The MCTP/1.0 side's record of what happened.
#include "tools/kvdevice/mctp_log.h"

namespace kvdevice {

MctpLog::~MctpLog() {
  if (file_ != nullptr) std::fclose(file_);
}

bool MctpLog::open(const std::string& path, bool toStderr) {
  toStderr_ = toStderr;
  if (path.empty()) return true;
  file_ = std::fopen(path.c_str(), "w");
  return file_ != nullptr;
}

void MctpLog::line(const std::string& text) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::lock_guard<std::mutex> hold(lock_);
  if (file_ != nullptr) {
    std::fprintf(file_, "%.3f %s\n", seconds, text.c_str());
    std::fflush(file_);
  }
  if (toStderr_) std::fprintf(stderr, "kvdevice: mctp %.3f %s\n", seconds, text.c_str());
}

}  // namespace kvdevice
