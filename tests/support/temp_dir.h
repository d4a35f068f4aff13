#pragma once

#include <filesystem>
#include <string>

namespace kv::test {

// Creates a new, empty folder under the system's temporary folder whose name
// starts with `prefix`. The name is unique among all processes (mkdtemp), so
// tests that run at the same time never share a folder, whatever their
// address layout or process ids. Returns an empty path when it cannot.
std::filesystem::path MakeUniqueTempDir(const std::string& prefix);

}  // namespace kv::test
