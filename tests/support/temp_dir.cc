#include "tests/support/temp_dir.h"

#include <stdlib.h>

namespace kv::test {

std::filesystem::path MakeUniqueTempDir(const std::string& prefix) {
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) return {};
  std::string pattern = (base / (prefix + "XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) return {};
  return std::filesystem::path(pattern);
}

}  // namespace kv::test
