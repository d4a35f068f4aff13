// The log file writer and KVNET_Log.
#include "sdk/state/log_writer.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "sdk/platform/local_time.h"

namespace kv {
namespace {

std::mutex gLogMutex;
std::FILE* gLogFile = nullptr;

}  // namespace

std::string LogFilePath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/kvnet/kv_log.txt";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/')
    return std::string(home) + "/.local/state/kvnet/kv_log.txt";
  return "";
}

void WriteLogLine(const char* format, ...) {
  const platform::TimeOfDay local = platform::LocalTimeNow();

  std::lock_guard<std::mutex> lock(gLogMutex);
  if (gLogFile == nullptr) {
    const std::string path = LogFilePath();
    if (path.empty()) return;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    gLogFile = std::fopen(path.c_str(), "ab");
    if (gLogFile == nullptr) return;
  }
  std::fseek(gLogFile, 0, SEEK_END);
  std::fprintf(gLogFile, "%02d-%02d-%02d  ", local.hour, local.minute, local.second);
  va_list args;
  va_start(args, format);
  std::vfprintf(gLogFile, format, args);
  va_end(args);
  std::fflush(gLogFile);
  std::fclose(gLogFile);
  gLogFile = nullptr;
}

int LogPrintV(const char* format, va_list args) {
  if (format == nullptr) return 0;
  std::lock_guard<std::mutex> lock(gLogMutex);
  if (gLogFile == nullptr) return 0;
  const int n = std::vfprintf(gLogFile, format, args);
  return n < 0 ? 0 : n;
}

void CloseLog() {
  std::lock_guard<std::mutex> lock(gLogMutex);
  if (gLogFile != nullptr) {
    std::fclose(gLogFile);
    gLogFile = nullptr;
  }
}

}  // namespace kv
