// The platform H.264 decoder interface (create, decode one frame or drain, destroy) that the
// decode loop calls, backed by OpenH264.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::platform {

// Creation attributes; the six leading fields keep their layout.
struct H264DecAttributes {
  uint32_t pictureFormat;       // 0: planar 4:2:0 (the only one)
  uint32_t streamInputType;     // 0: byte stream, units led by start codes (the only one)
  uint32_t widthInMacroblocks;  // largest picture expected
  uint32_t heightInMacroblocks;
  uint32_t bufferCount;  // reference picture buffers asked for
  uint32_t workMode;     // 0
  uint32_t reserved[2];
};
static_assert(offsetof(H264DecAttributes, pictureFormat) == 0);
static_assert(offsetof(H264DecAttributes, streamInputType) == 4);
static_assert(offsetof(H264DecAttributes, widthInMacroblocks) == 8);
static_assert(offsetof(H264DecAttributes, heightInMacroblocks) == 12);
static_assert(offsetof(H264DecAttributes, bufferCount) == 16);
static_assert(offsetof(H264DecAttributes, workMode) == 20);

// A decoded picture; the planes belong to the decoder and stay valid until its next call.
struct H264DecPicture {
  const uint8_t* y;
  const uint8_t* u;
  const uint8_t* v;
  uint32_t width;
  uint32_t height;
  uint32_t yStride;
  uint32_t uvStride;
  uint32_t concealed;  // 1 when lost parts were filled from earlier pictures
};

// Results of Hi264DecFrame.
inline constexpr int32_t kHi264DecPicture = 0;        // a picture is in the output record
inline constexpr int32_t kHi264DecNeedMoreBits = -1;  // the input was taken; no picture yet
inline constexpr int32_t kHi264DecNoPicture = -2;     // the input was damaged; no picture
inline constexpr int32_t kHi264DecHandleError = -3;   // bad handle or arguments; rebuild

// Flag of a drain call: also hand out pictures still held for display order (end of stream).
inline constexpr uint32_t kHi264DecFlushAll = 1;

struct Hi264Decoder;
using Hi264DecHandle = Hi264Decoder*;

// Null when the attributes ask for something unsupported or the decoder cannot be made.
Hi264DecHandle Hi264DecCreate(const H264DecAttributes* attributes);

// Decodes one frame (any number of whole NAL units, typically one slice). A picture comes out
// with the call that completes it. A call with no input (stream null, length 0) drains:
// kHi264DecPicture while pictures remain, kHi264DecNeedMoreBits when none does.
int32_t Hi264DecFrame(Hi264DecHandle handle, const uint8_t* stream, uint32_t length,
                      uint64_t timeStamp, H264DecPicture* picture, uint32_t flags);

void Hi264DecDestroy(Hi264DecHandle handle);

}  // namespace kv::platform
