// The makers of the four decoder backends, chosen by MakeVideoDecoder.
#pragma once

#include <memory>

#include "sdk/media/video_decoder.h"

namespace kv {

std::unique_ptr<IVideoDecoder> MakeAvcodecDecoder(StreamDescription& stream);
std::unique_ptr<IVideoDecoder> MakePlatformH264Decoder(StreamDescription& stream);
std::unique_ptr<IVideoDecoder> MakeMjpegDecoder(StreamDescription& stream);
std::unique_ptr<IVideoDecoder> MakeMpeg4Decoder(StreamDescription& stream);

}  // namespace kv
