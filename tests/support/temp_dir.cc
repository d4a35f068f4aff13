#include "tests/support/temp_dir.h"

#include <stdlib.h>

#include <vector>

namespace kv::test {

std::filesystem::path MakeUniqueTempDir(const std::string& prefix) {
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) return {};
  std::string pattern = (base / (prefix + "XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) return {};
  return std::filesystem::path(name.data());
}

}  // namespace kv::test
