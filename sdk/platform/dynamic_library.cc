// Run-time loading of shared libraries through the dynamic linker.
#include "sdk/platform/dynamic_library.h"

#include <dlfcn.h>

namespace kv::platform {

bool DynamicLibrary::Open(const std::string& name) {
  Close();
  // Closing releases the handle but leaves the code mapped: codec libraries and what they pull
  // in keep process-wide state (allocations, thread-locals, exit handlers) that must not
  // outlive their code.
  handle_ = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    lastError_ = why != nullptr ? why : "cannot load " + name;
    return false;
  }
  lastError_.clear();
  return true;
}

void DynamicLibrary::Close() {
  if (handle_ != nullptr) {
    dlclose(handle_);
    handle_ = nullptr;
  }
}

bool DynamicLibrary::IsLoaded(const std::string& name) {
  void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  // dlsym on a handle searches the library and its dependencies (libavutil for av_frame_*).
  return dlsym(handle_, name);
}

}  // namespace kv::platform
