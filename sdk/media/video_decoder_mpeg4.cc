// MPEG-4 Part 2 through XviD into a picture buffer sized by the stream description. Stream
// headers give the size; decoding resumes at a frame small enough to be a header alone. Live
// pictures keep their own interval clock.
#include <vector>

#include "sdk/media/video_decoder_backends.h"
#include "sdk/platform/xvid_dec.h"
#include "sdk/state/client_state.h"

namespace kv {
namespace {

constexpr size_t kMpeg4FrameBuffer = 2097152;
// The largest stream description taken as given: 8K pictures.
constexpr int64_t kMaxAnnouncedSide = 8192;
constexpr int64_t kMaxAnnouncedArea = 8192 * 4320;
// The size taken instead of a missing or unusable one.
constexpr int32_t kFallbackWidth = 1280;
constexpr int32_t kFallbackHeight = 720;

DecoderTraits Mpeg4Traits() {
  DecoderTraits t;
  t.frameBufferSize = kMpeg4FrameBuffer;
  t.resync = DecoderTraits::Resync::kHeaderFrame;
  t.viewOff = DecoderTraits::ViewOff::kCloseAndResync;
  t.oversize = DecoderTraits::Oversize::kShow;
  t.recreate = DecoderTraits::Recreate::kIgnore;
  t.depthPacing = DecoderTraits::DepthPacing::kAlways;
  t.livePacing = DecoderTraits::LivePacing::kIntervalClock;
  t.guardFrameRate = true;
  t.catchUpOnOpen = true;
  t.holdSleepMs = 1;
  t.emptySleepMs = 10;
  return t;
}

class Mpeg4Backend : public IVideoDecoder {
 public:
  explicit Mpeg4Backend(StreamDescription& stream) : m_stream(stream) {}
  const DecoderTraits& Traits() const override {
    static const DecoderTraits traits = Mpeg4Traits();
    return traits;
  }
  void Prepare() override {
    // The announced size sizes the picture buffer. A size no camera sends (negative, or
    // beyond 8K) counts as missing, so a damaged or hostile stream description cannot make
    // the buffer gigabytes large; a larger picture is then refused by the decoder.
    const int64_t w = m_stream.width.load(), h = m_stream.height.load();
    if (w <= 0 || h <= 0 || w > kMaxAnnouncedSide || h > kMaxAnnouncedSide ||
        w * h > kMaxAnnouncedArea) {
      m_stream.width = kFallbackWidth;
      m_stream.height = kFallbackHeight;
    }
    m_pictureBuffer.assign(static_cast<size_t>(m_stream.width.load()) * m_stream.height.load() * 2,
                           0);
  }
  bool Open() override { return m_xvid.Create(); }
  void Close() override { m_xvid.Destroy(); }
  bool IsOpen() const override { return m_xvid.IsCreated(); }
  DecodeStatus Decode(const uint8_t* frame, size_t length, VideoPicture* picture) override {
    const int configuredWidth = m_stream.width.load() != 0 ? m_stream.width.load() : kFallbackWidth;
    platform::XvidPicture pic;
    if (m_xvid.Decode(frame, length, m_pictureBuffer.data(), m_pictureBuffer.size(),
                      configuredWidth, &pic) < 0) {
      return DecodeStatus::kNoPicture;
    }
    *picture = VideoPicture{pic.y, pic.u, pic.v, pic.yStride, pic.uvStride, pic.width, pic.height};
    if (pic.type == platform::kXvidTypeVol) return DecodeStatus::kHeader;
    if (pic.type != platform::kXvidTypeIVop && pic.type != platform::kXvidTypePVop) {
      return DecodeStatus::kNotShown;
    }
    return DecodeStatus::kPicture;
  }

 private:
  StreamDescription& m_stream;
  platform::XvidDecoder m_xvid;
  std::vector<uint8_t> m_pictureBuffer;
};

}  // namespace

std::unique_ptr<IVideoDecoder> MakeMpeg4Decoder(StreamDescription& stream) {
  return std::make_unique<Mpeg4Backend>(stream);
}

}  // namespace kv
