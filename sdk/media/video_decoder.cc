// The choice of a decoder backend by codec.
#include "sdk/media/video_decoder.h"

#include "KvNetClient.h"
#include "sdk/media/video_decoder_backends.h"

namespace kv {

std::unique_ptr<IVideoDecoder> MakeVideoDecoder(uint8_t codec, bool useAvcodec,
                                                StreamDescription& stream) {
  switch (codec) {
    case VCODEC_H264:
      return useAvcodec ? MakeAvcodecDecoder(stream) : MakePlatformH264Decoder(stream);
    case VCODEC_MJPEG:
      return MakeMjpegDecoder(stream);
    case VCODEC_MPEG4:
      return MakeMpeg4Decoder(stream);
    default:
      return nullptr;
  }
}

}  // namespace kv
