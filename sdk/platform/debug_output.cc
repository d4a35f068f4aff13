// Debugger output: written to stderr only when KVNET_DEBUG is set, and kept by live captures.
#include "sdk/platform/debug_output.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace kv::platform {
namespace {

struct CaptureTable {
  std::mutex mutex;
  std::map<const DebugCapture*, std::vector<std::string>> texts;
};

// Never destroyed, so output written during process exit stays safe.
CaptureTable& captures() {
  static CaptureTable* instance = new CaptureTable;
  return *instance;
}

bool debugEnabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("KVNET_DEBUG");
    return value != nullptr && value[0] != '\0';
  }();
  return enabled;
}

}  // namespace

bool DebugOutputEnabled() { return debugEnabled(); }

void OutputDebugString(const char* text) {
  if (text == nullptr) return;
  CaptureTable& table = captures();
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    for (auto& [capture, texts] : table.texts) texts.emplace_back(text);
  }
  if (debugEnabled()) std::fputs(text, stderr);
}

void DebugPrintf(const char* format, ...) {
  if (format == nullptr) return;
  char small[512];
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(small, sizeof(small), format, args);
  va_end(args);
  if (needed < 0) {
    va_end(copy);
    return;
  }
  if (static_cast<size_t>(needed) < sizeof(small)) {
    va_end(copy);
    OutputDebugString(small);
    return;
  }
  std::string large(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(large.data(), large.size(), format, copy);
  va_end(copy);
  large.resize(static_cast<size_t>(needed));
  OutputDebugString(large.c_str());
}

DebugCapture::DebugCapture() {
  CaptureTable& table = captures();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.texts[this];
}

DebugCapture::~DebugCapture() {
  CaptureTable& table = captures();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.texts.erase(this);
}

std::vector<std::string> DebugCapture::Texts() const {
  CaptureTable& table = captures();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.texts.find(this);
  return it == table.texts.end() ? std::vector<std::string>{} : it->second;
}

bool DebugCapture::Contains(const std::string& fragment) const {
  CaptureTable& table = captures();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.texts.find(this);
  if (it == table.texts.end()) return false;
  for (const std::string& text : it->second) {
    if (text.find(fragment) != std::string::npos) return true;
  }
  return false;
}

}  // namespace kv::platform
