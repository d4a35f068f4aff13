// H.264 through the run-time loaded libavcodec: at most one picture per frame. The decoder
// stays open while the view is off (decoding resumes, flushed, at the next parameter set) and
// a failed re-creation is tried again before the next decode.
#include "sdk/media/avcodec_h264.h"
#include "sdk/media/video_decoder_backends.h"
#include "sdk/state/library_state.h"

namespace kv {
namespace {

constexpr size_t kH264FrameBuffer = 1048576;

DecoderTraits AvcodecTraits() {
  DecoderTraits t;
  t.frameBufferSize = kH264FrameBuffer;
  t.resync = DecoderTraits::Resync::kParameterSet;
  t.flushAtResync = true;
  t.viewOff = DecoderTraits::ViewOff::kKeepAndResync;
  t.oversize = DecoderTraits::Oversize::kEndWorker;
  t.recreate = DecoderTraits::Recreate::kRetryBeforeNextDecode;
  t.depthPacing = DecoderTraits::DepthPacing::kBelowLimitOrUdp;
  t.livePacing = DecoderTraits::LivePacing::kFrameClock;
  t.guardFrameRate = true;
  t.resetClockAtStart = true;
  t.resetClockAfterCatchUp = true;
  t.holdSleepMs = 10;
  t.emptySleepMs = 20;
  return t;
}

class AvcodecBackend : public IVideoDecoder {
 public:
  const DecoderTraits& Traits() const override {
    static const DecoderTraits traits = AvcodecTraits();
    return traits;
  }
  bool Open() override { return m_decoder.Open(&Library().h264DecoderLock); }
  void Close() override {
    if (m_decoder.IsOpen()) m_decoder.Close(&Library().h264DecoderLock);
  }
  bool IsOpen() const override { return m_decoder.IsOpen(); }
  DecodeStatus Decode(const uint8_t* frame, size_t length, VideoPicture* picture) override {
    return m_decoder.Decode(frame, length, picture) < 1 ? DecodeStatus::kNoPicture
                                                        : DecodeStatus::kPicture;
  }
  void Flush() override { m_decoder.Flush(); }

 private:
  AvcodecH264Decoder m_decoder;
};

}  // namespace

std::unique_ptr<IVideoDecoder> MakeAvcodecDecoder(StreamDescription&) {
  return std::make_unique<AvcodecBackend>();
}

}  // namespace kv
