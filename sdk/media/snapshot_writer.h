// Saving a shown picture as a JPEG file: an MJPEG frame as it came, any other picture through
// the library's own encoder.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv {

// The picture on show: its planar 4:2:0 planes and, for MJPEG streams, the compressed frame
// it was decoded from (saved unchanged).
struct SnapshotPicture {
  const uint8_t* y;
  const uint8_t* u;
  const uint8_t* v;
  int yStride, uvStride, width, height;
  const uint8_t* jpeg = nullptr;
  size_t jpegLength = 0;
};

// Writes the picture to path ("wb", truncating). True when the whole file was written. The
// picture is encoded before the file is opened, so a picture that cannot be encoded or memory
// that runs out leaves an existing file untouched; a file whose writing fails is removed, so no
// partial JPEG is left behind.
bool SaveSnapshot(const char* path, const SnapshotPicture& picture);

}  // namespace kv
