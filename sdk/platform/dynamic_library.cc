// Run-time loading of shared libraries through the dynamic linker.
#include "sdk/platform/dynamic_library.h"

#include <dlfcn.h>

namespace kv::platform {

bool DynamicLibrary::Open(const std::string& name) {
  Close();
  // Closing releases the handle but leaves the code mapped: codec libraries and what they pull
  // in keep process-wide state (allocations, thread-locals, exit handlers) that must not
  // outlive their code.
  m_handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (m_handle == nullptr) {
    const char* why = dlerror();
    m_lastError = why != nullptr ? why : "cannot load " + name;
    return false;
  }
  m_lastError.clear();
  return true;
}

void DynamicLibrary::Close() {
  if (m_handle != nullptr) {
    dlclose(m_handle);
    m_handle = nullptr;
  }
}

bool DynamicLibrary::IsLoaded(const std::string& name) {
  void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (m_handle == nullptr || name == nullptr) return nullptr;
  // dlsym on a handle searches the library and its dependencies (libavutil for av_frame_*).
  return dlsym(m_handle, name);
}

}  // namespace kv::platform
