// Creates the folders of a file path for record files and snapshots.
#pragma once

namespace kv {

// Non-zero when the directory part of path exists as a directory or could be created. The
// separator is '/' when the path holds one, else '\\'; a path with neither fails.
int EnsureDirectory(const char* path);

}  // namespace kv
