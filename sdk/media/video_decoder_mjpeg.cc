// MJPEG through the platform decoder: every frame is a whole picture, so decoding needs no
// resynchronisation; the decoder is closed while the view is off. Live pictures are paced by
// the frame-rate clock, faster while frames wait; a snapshot keeps the frame as it came.
#include "sdk/media/video_decoder_backends.h"
#include "sdk/platform/hi_mjpeg_dec.h"
#include "sdk/state/client_state.h"
#include "sdk/state/library_state.h"

namespace kv {
namespace {

constexpr size_t kMjpegFrameBuffer = 4194304;

DecoderTraits MjpegTraits() {
  DecoderTraits t;
  t.frameBufferSize = kMjpegFrameBuffer;
  t.resync = DecoderTraits::Resync::kAnyFrame;
  t.viewOff = DecoderTraits::ViewOff::kClose;
  t.oversize = DecoderTraits::Oversize::kShow;
  t.recreate = DecoderTraits::Recreate::kIgnore;
  t.depthPacing = DecoderTraits::DepthPacing::kNever;
  t.livePacing = DecoderTraits::LivePacing::kSpeedClock;
  t.resetClockAtStart = true;
  t.keepsCodedFrame = true;
  t.emptySleepMs = 10;
  return t;
}

class MjpegBackend : public IVideoDecoder {
 public:
  explicit MjpegBackend(const StreamDescription& stream) : m_stream(stream) {}
  ~MjpegBackend() override { Close(); }
  const DecoderTraits& Traits() const override {
    static const DecoderTraits traits = MjpegTraits();
    return traits;
  }
  bool Open() override {
    platform::MjpegDecAttributes attributes{};
    attributes.width = static_cast<uint32_t>(m_stream.width.load());
    attributes.height = static_cast<uint32_t>(m_stream.height.load());
    platform::FlaggedLock lock(Library().mjpegDecoderLock);
    m_handle = platform::HiMJPEGDecCreate(&attributes);
    return m_handle != nullptr;
  }
  void Close() override {
    if (m_handle == nullptr) return;
    platform::FlaggedLock lock(Library().mjpegDecoderLock);
    platform::HiMJPEGDecDestroy(m_handle);
    m_handle = nullptr;
  }
  bool IsOpen() const override { return m_handle != nullptr; }
  DecodeStatus Decode(const uint8_t* frame, size_t length, VideoPicture* picture) override {
    platform::MjpegDecPicture pic{};
    if (platform::HiMJPEGDecFrame(m_handle, frame, static_cast<uint32_t>(length), 0, &pic, 0) !=
        platform::kMjpegDecOk) {
      return DecodeStatus::kNoPicture;
    }
    *picture = VideoPicture{pic.y,
                            pic.u,
                            pic.v,
                            static_cast<int>(pic.yStride),
                            static_cast<int>(pic.uvStride),
                            static_cast<int>(pic.width),
                            static_cast<int>(pic.height)};
    return DecodeStatus::kPicture;
  }

 private:
  const StreamDescription& m_stream;
  platform::HiMjpegDecHandle m_handle = nullptr;
};

}  // namespace

std::unique_ptr<IVideoDecoder> MakeMjpegDecoder(StreamDescription& stream) {
  return std::make_unique<MjpegBackend>(stream);
}

}  // namespace kv
