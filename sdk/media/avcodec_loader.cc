// libavcodec loaded by its versioned name; the handle lives until AvcodecUnload.
#include "sdk/media/avcodec_loader.h"

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

extern "C" {
#include <libavutil/log.h>
}

#include "sdk/platform/critical_section.h"
#include "sdk/platform/debug_output.h"
#include "sdk/platform/dynamic_library.h"

namespace kv {
namespace {

using LogCallback = void (*)(void*, int, const char*, va_list);

// libavutil's logging, reached through the loaded libavcodec.
struct LogApi {
  void (*av_log_set_level)(int level);
  void (*av_log_set_callback)(LogCallback callback);
  void (*av_log_default_callback)(void* avcl, int level, const char* fmt, va_list args);
  int (*av_log_format_line2)(void* avcl, int level, const char* fmt, va_list args, char* line,
                             int lineSize, int* printPrefix);
};

struct LoaderState {
  std::mutex mutex;  // also guards callers that run before the process-wide locks exist
  platform::DynamicLibrary library;
  AvcodecApi api{};
  std::atomic<bool> loaded{false};
  // Set once the library itself brought libavcodec into the process: only then are its log
  // settings ours to change (a host that loaded it keeps its own). The code stays mapped after
  // an unload, so this holds for later loads too.
  bool ownsLogSettings = false;
  bool decided = false;
  LogApi log{};
};

LoaderState& State() {
  static LoaderState state;
  return state;
}

bool DisabledByEnvironment() {
  const char* value = std::getenv("KVNET_AVCODEC");
  return value != nullptr && std::strcmp(value, "off") == 0;
}

template <typename T>
bool Resolve(const platform::DynamicLibrary& library, const char* name, T& slot) {
  slot = reinterpret_cast<T>(library.Symbol(name));
  return slot != nullptr;
}

bool ResolveAll(const platform::DynamicLibrary& library, AvcodecApi& api) {
  return Resolve(library, "avcodec_find_decoder", api.avcodec_find_decoder) &&
         Resolve(library, "avcodec_alloc_context3", api.avcodec_alloc_context3) &&
         Resolve(library, "avcodec_open2", api.avcodec_open2) &&
         Resolve(library, "avcodec_send_packet", api.avcodec_send_packet) &&
         Resolve(library, "avcodec_receive_frame", api.avcodec_receive_frame) &&
         Resolve(library, "avcodec_flush_buffers", api.avcodec_flush_buffers) &&
         Resolve(library, "avcodec_free_context", api.avcodec_free_context) &&
         Resolve(library, "av_frame_alloc", api.av_frame_alloc) &&
         Resolve(library, "av_frame_free", api.av_frame_free) &&
         Resolve(library, "av_frame_unref", api.av_frame_unref) &&
         Resolve(library, "av_packet_alloc", api.av_packet_alloc) &&
         Resolve(library, "av_packet_free", api.av_packet_free);
}

std::atomic<int (*)(void*, int, const char*, va_list, char*, int, int*)> gFormatLine{nullptr};

// libavcodec's messages while KVNET_DEBUG is set: to the debug output, one line each, without
// the chatter below the informative level.
void LogToDebugOutput(void* avcl, int level, const char* fmt, va_list args) {
  const auto format = gFormatLine.load();
  if (level > AV_LOG_INFO || format == nullptr) return;
  char line[1024];
  int printPrefix = 1;
  va_list copy;
  va_copy(copy, args);
  format(avcl, level, fmt, copy, line, sizeof line, &printPrefix);
  va_end(copy);
  platform::OutputDebugString(line);
}

// Quiet, or routed to the debug output when KVNET_DEBUG is set.
void QuietLogging(LoaderState& state) {
  if (!Resolve(state.library, "av_log_set_level", state.log.av_log_set_level) ||
      !Resolve(state.library, "av_log_set_callback", state.log.av_log_set_callback) ||
      !Resolve(state.library, "av_log_default_callback", state.log.av_log_default_callback)) {
    return;
  }
  Resolve(state.library, "av_log_format_line2", state.log.av_log_format_line2);
  if (platform::DebugOutputEnabled() && state.log.av_log_format_line2 != nullptr) {
    gFormatLine = state.log.av_log_format_line2;
    state.log.av_log_set_callback(LogToDebugOutput);
  } else {
    state.log.av_log_set_level(AV_LOG_QUIET);
  }
}

}  // namespace

std::string AvcodecLibraryName() {
  return "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR);
}

bool AvcodecLoad(platform::FlaggedCriticalSection* loaderLock) {
  if (DisabledByEnvironment()) return false;
  LoaderState& state = State();
  if (state.loaded.load(std::memory_order_acquire)) return true;

  std::optional<platform::FlaggedLock> guard;
  if (loaderLock != nullptr) guard.emplace(*loaderLock);
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.loaded.load(std::memory_order_relaxed)) return true;
  if (!state.decided) {
    state.ownsLogSettings = !platform::DynamicLibrary::IsLoaded(AvcodecLibraryName());
  }
  if (!state.library.Open(AvcodecLibraryName())) return false;
  state.decided = true;
  AvcodecApi api{};
  if (!ResolveAll(state.library, api)) {
    state.library.Close();
    return false;
  }
  state.api = api;
  if (state.ownsLogSettings) QuietLogging(state);
  state.loaded.store(true, std::memory_order_release);
  return true;
}

void AvcodecUnload() {
  LoaderState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.loaded.store(false, std::memory_order_release);
  state.api = AvcodecApi{};
  // The callback is this library's code: it must not outlive it in a library that stays.
  if (state.ownsLogSettings && state.log.av_log_set_callback != nullptr &&
      state.log.av_log_default_callback != nullptr) {
    state.log.av_log_set_callback(state.log.av_log_default_callback);
    state.log.av_log_set_level(AV_LOG_QUIET);
  }
  state.log = LogApi{};
  state.library.Close();
}

bool AvcodecAvailable() {
  return !DisabledByEnvironment() && State().loaded.load(std::memory_order_acquire);
}

const AvcodecApi* AvcodecEntryPoints() { return AvcodecAvailable() ? &State().api : nullptr; }

}  // namespace kv
