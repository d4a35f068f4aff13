// EnsureDirectory: creates each missing folder of a path from the top down.
#include "sdk/record/ensure_directory.h"

#include <filesystem>
#include <string>
#include <system_error>

namespace kv {
namespace {

namespace fs = std::filesystem;

// A first prefix that names no folder: empty (an absolute path) or a drive ("C:").
bool IsRootPrefix(const std::string& prefix) {
  return prefix.empty() || (prefix.size() == 2 && prefix[1] == ':');
}

}  // namespace

int EnsureDirectory(const char* path) {
  if (path == nullptr) return 0;
  const std::string text(path);
  char sep = '/';
  if (text.find('/') == std::string::npos) {
    if (text.find('\\') == std::string::npos) return 0;
    sep = '\\';
  }
  const std::string dir = text.substr(0, text.rfind(sep));
  std::error_code ec;
  if (!dir.empty() && fs::exists(dir, ec)) return fs::is_directory(dir, ec) ? 1 : 0;
  if (dir.empty()) return 1;  // a file directly below the root

  size_t pos = 0;
  bool first = true;
  while (true) {
    const size_t next = dir.find(sep, pos);
    const std::string prefix = next == std::string::npos ? dir : dir.substr(0, next);
    const bool skip = first && IsRootPrefix(prefix);
    first = false;
    if (!skip && !fs::is_directory(prefix, ec)) {
      if (!fs::create_directory(prefix, ec) && !fs::is_directory(prefix, ec)) return 0;
    }
    if (next == std::string::npos) break;
    pos = next + 1;
  }
  return 1;
}

}  // namespace kv
