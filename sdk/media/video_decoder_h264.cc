// H.264 through the platform decoder: a frame may complete a picture and more may be drained
// after it. The decoder is closed while the view is off and made again at the next parameter
// set; a handle error rebuilds it.
#include "sdk/media/video_decoder_backends.h"
#include "sdk/platform/debug_output.h"
#include "sdk/platform/hi264_dec.h"
#include "sdk/state/client_state.h"
#include "sdk/state/library_state.h"

namespace kv {
namespace {

constexpr size_t kH264FrameBuffer = 1048576;

DecoderTraits PlatformH264Traits() {
  DecoderTraits t;
  t.frameBufferSize = kH264FrameBuffer;
  t.resync = DecoderTraits::Resync::kParameterSet;
  t.viewOff = DecoderTraits::ViewOff::kCloseAndResync;
  t.oversize = DecoderTraits::Oversize::kSkip;
  t.recreate = DecoderTraits::Recreate::kRebuildOnFailure;
  t.depthPacing = DecoderTraits::DepthPacing::kBelowBitRateLimit;
  t.livePacing = DecoderTraits::LivePacing::kFrameClock;
  t.guardFrameRate = true;
  t.catchUpOnOpen = true;
  t.drains = true;
  t.holdSleepMs = 10;
  t.emptySleepMs = 20;
  return t;
}

class PlatformH264Backend : public IVideoDecoder {
 public:
  explicit PlatformH264Backend(const StreamDescription& stream) : m_stream(stream) {}
  ~PlatformH264Backend() override { Close(); }
  const DecoderTraits& Traits() const override {
    static const DecoderTraits traits = PlatformH264Traits();
    return traits;
  }
  bool Open() override {
    platform::H264DecAttributes attributes{};
    attributes.widthInMacroblocks = static_cast<uint32_t>(m_stream.width.load() / 16 + 1);
    attributes.heightInMacroblocks = static_cast<uint32_t>(m_stream.height.load() / 16 + 1);
    const int32_t b = m_stream.bitRate.load();
    attributes.bufferCount = b <= 32 ? 8 : (b >= 256 && b <= 1024 ? 2 : 1);
    platform::FlaggedLock lock(Library().h264DecoderLock);
    m_handle = platform::Hi264DecCreate(&attributes);
    return m_handle != nullptr;
  }
  void Close() override {
    if (m_handle == nullptr) return;
    platform::FlaggedLock lock(Library().h264DecoderLock);
    platform::Hi264DecDestroy(m_handle);
    m_handle = nullptr;
  }
  bool IsOpen() const override { return m_handle != nullptr; }
  DecodeStatus Decode(const uint8_t* frame, size_t length, VideoPicture* picture) override {
    return answer(
        platform::Hi264DecFrame(m_handle, frame, static_cast<uint32_t>(length), 0, &m_picture, 0),
        picture);
  }
  DecodeStatus Drain(VideoPicture* picture) override {
    return answer(platform::Hi264DecFrame(m_handle, nullptr, 0, 0, &m_picture, 0), picture);
  }

 private:
  DecodeStatus answer(int32_t result, VideoPicture* picture) {
    if (result == platform::kHi264DecNoPicture) {
      platform::OutputDebugString("HI_H264DEC_NO_PICTURE\n");
      return DecodeStatus::kNoPicture;
    }
    if (result == platform::kHi264DecHandleError) return DecodeStatus::kBroken;
    if (result != platform::kHi264DecPicture) return DecodeStatus::kNoPicture;
    *picture = VideoPicture{m_picture.y,
                            m_picture.u,
                            m_picture.v,
                            static_cast<int>(m_picture.yStride),
                            static_cast<int>(m_picture.uvStride),
                            static_cast<int>(m_picture.width),
                            static_cast<int>(m_picture.height)};
    return DecodeStatus::kPicture;
  }

  const StreamDescription& m_stream;
  platform::Hi264DecHandle m_handle = nullptr;
  platform::H264DecPicture m_picture{};
};

}  // namespace

std::unique_ptr<IVideoDecoder> MakePlatformH264Decoder(StreamDescription& stream) {
  return std::make_unique<PlatformH264Backend>(stream);
}

}  // namespace kv
