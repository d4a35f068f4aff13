// A shared library opened at run time: load by name, resolve symbols, unload on destruction.
#pragma once

#include <string>

namespace kv::platform {

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary() { Close(); }
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Opens the library (symbols resolved now, kept local). Closes a previous one first. Close
  // releases the handle; the code itself stays mapped for the life of the process.
  // False when it cannot be loaded; LastError() then tells why.
  bool Open(const std::string& name);
  void Close();
  bool IsOpen() const { return m_handle != nullptr; }

  // The address of a symbol of the library or of the libraries it depends on; null if
  // missing or nothing is open.
  void* Symbol(const char* name) const;

  const std::string& LastError() const { return m_lastError; }

  // True when a library of that name is already in the process (loaded by anyone), without
  // loading it.
  static bool IsLoaded(const std::string& name);

 private:
  void* m_handle = nullptr;
  std::string m_lastError;
};

}  // namespace kv::platform
