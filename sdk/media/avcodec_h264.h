// H.264 decoding through the run-time loaded libavcodec: one compressed frame in, at most
// one whole picture out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sdk/media/avcodec_loader.h"
#include "sdk/media/video_decoder.h"

namespace kv::platform {
class FlaggedCriticalSection;
}

namespace kv {

class AvcodecH264Decoder {
 public:
  AvcodecH264Decoder() = default;
  ~AvcodecH264Decoder() { Close(nullptr); }
  AvcodecH264Decoder(const AvcodecH264Decoder&) = delete;
  AvcodecH264Decoder& operator=(const AvcodecH264Decoder&) = delete;

  // Finds the H.264 decoder and opens a context under decoderLock (may be null). Needs the
  // library loaded (AvcodecLoad); false when it is not or any step fails.
  bool Open(platform::FlaggedCriticalSection* decoderLock);
  // Frees the context and picture (under decoderLock). Safe to call when not open.
  void Close(platform::FlaggedCriticalSection* decoderLock);
  bool IsOpen() const { return m_context != nullptr; }

  // Decodes one compressed frame. The frame may hold a single NAL unit (one slice of a
  // picture); a picture is handed back as soon as its last slice has been decoded.
  // A picture whose last slices never came is dropped, and so are the pictures after it up
  // to the next key picture. Returns 1 with a picture, 0 without one, negative on an error.
  int Decode(const uint8_t* data, size_t size, VideoPicture* picture);

  // Drops everything the decoder holds (used when decoding restarts at a parameter set).
  void Flush();

  // The coded size of the stream as last seen by the decoder.
  int Width() const;
  int Height() const;

 private:
  enum class NalStart { kNewPicture, kSlice, kNonSlice, kOther };
  static NalStart ClassifyUnit(const uint8_t* data, size_t size);
  int Receive(VideoPicture* picture);

  const AvcodecApi* m_api = nullptr;
  AVCodecContext* m_context = nullptr;
  AVFrame* m_frame = nullptr;
  AVPacket* m_packet = nullptr;
  std::vector<uint8_t> m_input;  // the frame plus the zero padding the parser may read
  bool m_pictureOpen = false;    // slices sent, picture not yet out
};

}  // namespace kv
