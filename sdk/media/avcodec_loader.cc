// libavcodec loaded by its versioned name; the handle lives until AvcodecUnload.
#include "sdk/media/avcodec_loader.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "sdk/platform/critical_section.h"
#include "sdk/platform/dynamic_library.h"

namespace kv {
namespace {

struct LoaderState {
  std::mutex mutex;  // also guards callers that run before the process-wide locks exist
  platform::DynamicLibrary library;
  AvcodecApi api{};
  std::atomic<bool> loaded{false};
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
  if (!state.library.Open(AvcodecLibraryName())) return false;
  AvcodecApi api{};
  if (!ResolveAll(state.library, api)) {
    state.library.Close();
    return false;
  }
  state.api = api;
  state.loaded.store(true, std::memory_order_release);
  return true;
}

void AvcodecUnload() {
  LoaderState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.loaded.store(false, std::memory_order_release);
  state.api = AvcodecApi{};
  state.library.Close();
}

bool AvcodecAvailable() {
  return !DisabledByEnvironment() && State().loaded.load(std::memory_order_acquire);
}

const AvcodecApi* AvcodecEntryPoints() { return AvcodecAvailable() ? &State().api : nullptr; }

}  // namespace kv
