// Recognises a video codec from a stream's first coded bytes or from an AVI compression code,
// for record files that do not name their codec.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv {

// VCODEC_H264, VCODEC_MPEG4 or VCODEC_MJPEG for the first bytes of a video unit, 0 when they
// are none of these: an H.264 start code with a NAL unit type that can open a stream, an
// MPEG-4 Part 2 start code (visual object sequence, visual object, video object or video
// object layer) or a JPEG start of image.
uint8_t SniffVideoCodec(const uint8_t* data, size_t length);

// The codec of an AVI compression code (FourCC), 0 when unknown.
uint8_t CodecFromFourCc(const uint8_t fourcc[4]);

// True for a known video codec code.
bool IsKnownVideoCodec(uint8_t codec);

}  // namespace kv
