// Snapshot files: the MJPEG frame or the encoded picture, written in one piece.
#include "sdk/media/snapshot_writer.h"

#include <cstdio>
#include <filesystem>
#include <new>
#include <system_error>
#include <vector>

#include "sdk/media/jpeg_encoder.h"
#include "sdk/platform/debug_output.h"

namespace kv {
namespace {

bool WriteWholeFile(const char* path, const uint8_t* bytes, size_t length) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    platform::DebugPrintf("snapshot: cannot open %s\n", path);
    return false;
  }
  const bool written = std::fwrite(bytes, 1, length, file) == length;
  const bool closed = std::fclose(file) == 0;
  if (written && closed) return true;
  // A partial picture is no snapshot. Only a regular file is removed: a device or pipe the
  // caller named stays.
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) std::remove(path);
  platform::DebugPrintf("snapshot: writing %s failed\n", path);
  return false;
}

}  // namespace

bool SaveSnapshot(const char* path, const SnapshotPicture& picture) {
  if (path == nullptr || path[0] == '\0') return false;
  if (picture.jpeg != nullptr && picture.jpegLength > 0) {
    return WriteWholeFile(path, picture.jpeg, picture.jpegLength);
  }
  try {
    std::vector<uint8_t> encoded;
    if (EncodeJpeg(picture.y, picture.u, picture.v, picture.yStride, picture.uvStride,
                   picture.width, picture.height, &encoded) == 0) {
      platform::DebugPrintf("snapshot: a %dx%d picture cannot be encoded\n", picture.width,
                            picture.height);
      return false;
    }
    return WriteWholeFile(path, encoded.data(), encoded.size());
  } catch (const std::bad_alloc&) {
    platform::DebugPrintf("snapshot: out of memory encoding a %dx%d picture\n", picture.width,
                          picture.height);
    return false;
  }
}

}  // namespace kv
