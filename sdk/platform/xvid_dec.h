// MPEG-4 Part 2 decoding through XviD into a caller-owned planar 4:2:0 picture buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv::platform {

// What one decode call produced (XviD's statistics types).
inline constexpr int kXvidTypeVol = -1;     // a stream header: width and height are set
inline constexpr int kXvidTypeNothing = 0;  // nothing to show
inline constexpr int kXvidTypeIVop = 1;
inline constexpr int kXvidTypePVop = 2;
inline constexpr int kXvidTypeBVop = 3;
inline constexpr int kXvidTypeSVop = 4;

// Decode failures (besides XviD's own negative codes).
inline constexpr int kXvidDecRefused = -100;  // the picture does not fit the buffer given
inline constexpr int kXvidDecNoHandle = -101;

struct XvidPicture {
  int type = kXvidTypeNothing;
  int width = 0;  // the stream's picture size, as its last header gave it
  int height = 0;
  // For I, P, B and S pictures: the planes inside the caller's buffer.
  uint8_t* y = nullptr;
  uint8_t* u = nullptr;
  uint8_t* v = nullptr;
  int yStride = 0;
  int uvStride = 0;
};

// XviD's process-wide initialisation (automatic processor detection); done once.
bool XvidGlobalInit();

class XvidDecoder {
 public:
  XvidDecoder() = default;
  ~XvidDecoder() { Destroy(); }
  XvidDecoder(const XvidDecoder&) = delete;
  XvidDecoder& operator=(const XvidDecoder&) = delete;

  // Creates a decoder that learns the picture size from the stream.
  bool Create();
  void Destroy();
  bool IsCreated() const { return m_handle != nullptr; }

  // Decodes one compressed frame (a stream header, a picture, or a header followed by a
  // picture). A picture is written to buffer as I420 with the given luma stride: Y at 0, U at
  // stride x height, V after U, chroma stride stride / 2. A picture that does not fit
  // (stride too small or buffer too short) is refused with kXvidDecRefused and nothing is
  // written. A frame whose object layer header differs from the one before starts a new
  // decoder; one carrying two different headers is refused. Returns the bytes used (>= 0) or
  // a negative failure.
  int Decode(const uint8_t* frame, size_t length, uint8_t* buffer, size_t bufferSize, int stride,
             XvidPicture* picture);

 private:
  void* m_handle = nullptr;
  int m_width = 0;
  int m_height = 0;
  // The object layer header the decoder serves (empty before the first).
  std::vector<uint8_t> m_layer;
  // The frame being decoded, followed by zero bytes: XviD's bit reader looks up to two
  // 32-bit words past the end of what it is given.
  std::vector<uint8_t> m_input;
};

}  // namespace kv::platform
