// Debugger output: silent unless KVNET_DEBUG is set (then stderr); tests can capture it.
#pragma once

#include <string>
#include <vector>

namespace kv::platform {

// True when KVNET_DEBUG asks for the debug output on standard error.
bool DebugOutputEnabled();

// Writes one text as it is (no newline added).
void OutputDebugString(const char* text);

// printf-style wrapper around OutputDebugString.
void DebugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// While an instance lives, every text written is also kept (across all threads).
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  std::vector<std::string> Texts() const;
  bool Contains(const std::string& fragment) const;
};

}  // namespace kv::platform
