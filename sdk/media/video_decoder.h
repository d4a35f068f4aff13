// One interface over the four video decoders (libavcodec and the platform decoder for H.264,
// MJPEG, MPEG-4). The decode worker runs one loop for all of them; what differs between codecs
// is either the backend's answer to a frame or a field of its DecoderTraits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kv {

struct StreamDescription;

// A decoded planar 4:2:0 picture; the planes belong to the decoder (valid until its next
// call). A stream header gives the size only.
struct VideoPicture {
  const uint8_t* y = nullptr;
  const uint8_t* u = nullptr;
  const uint8_t* v = nullptr;
  int yStride = 0;
  int uvStride = 0;
  int width = 0;
  int height = 0;
};

// A backend's answer to a frame (or to a drain call).
enum class DecodeStatus {
  kPicture,    // a picture to show is in the output
  kNoPicture,  // the frame was taken (or refused); nothing to show
  kHeader,     // a stream header: the output carries the picture size only
  kNotShown,   // a picture of a kind that is not shown
  kBroken,     // the decoder can no longer be used: it must be rebuilt
};

// How the decode loop treats one codec.
struct DecoderTraits {
  // Where decoding may begin again after it was interrupted (view off, new decoder).
  enum class Resync { kAnyFrame, kParameterSet, kHeaderFrame };
  // What switching the view off does to the decoder.
  enum class ViewOff { kKeepAndResync, kCloseAndResync, kClose };
  // What a picture larger than the stream description does.
  enum class Oversize { kShow, kSkip, kEndWorker };
  // How a source's request for a new decoder is served after a shown picture.
  enum class Recreate { kIgnore, kRetryBeforeNextDecode, kRebuildOnFailure };
  // When the pictures waiting in the conduit decide the pace of a live stream.
  enum class DepthPacing { kNever, kBelowBitRateLimit, kBelowLimitOrUdp, kAlways };
  // What paces a live picture: the client's frame-rate clock, the loop's own interval clock,
  // or the frame-rate clock at a speed of 1 while frames wait (0 otherwise).
  enum class LivePacing { kFrameClock, kIntervalClock, kSpeedClock };

  size_t frameBufferSize = 0;
  Resync resync = Resync::kAnyFrame;
  bool flushAtResync = false;  // the decoder is flushed where decoding begins again
  ViewOff viewOff = ViewOff::kClose;
  Oversize oversize = Oversize::kShow;
  Recreate recreate = Recreate::kIgnore;
  DepthPacing depthPacing = DepthPacing::kNever;
  LivePacing livePacing = LivePacing::kFrameClock;
  bool guardFrameRate = false;          // an unusable frame rate is replaced at the start
  bool resetClockAtStart = false;       // the frame-rate clock starts afresh with the worker
  bool resetClockAfterCatchUp = false;  // after a catch-up sleep the clock starts afresh
  bool catchUpOnOpen = false;           // a decoder made in the loop starts with a catch-up
  bool drains = false;                  // pictures may follow a shown one without input
  bool keepsCodedFrame = false;         // a snapshot saves the coded frame as it came
  uint32_t holdSleepMs = 10;            // depth pacing holds the frame back
  uint32_t emptySleepMs = 10;           // no frame came
};

class IVideoDecoder {
 public:
  virtual ~IVideoDecoder() = default;
  virtual const DecoderTraits& Traits() const = 0;
  // Done once before the first Open: buffers sized by the stream description.
  virtual void Prepare() {}
  virtual bool Open() = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // Decodes one whole compressed frame.
  virtual DecodeStatus Decode(const uint8_t* frame, size_t length, VideoPicture* picture) = 0;
  // The next picture the decoder still holds after a shown one (backends that drain).
  virtual DecodeStatus Drain(VideoPicture* picture) {
    (void)picture;
    return DecodeStatus::kNoPicture;
  }
  // Drops what the decoder holds, where decoding begins again.
  virtual void Flush() {}
};

// The backend for a video codec code (VCODEC_...); H.264 through libavcodec when useAvcodec,
// else the platform decoder. Null for an unknown code. The stream description gives the sizes
// the decoders are made for and outlives the backend.
std::unique_ptr<IVideoDecoder> MakeVideoDecoder(uint8_t codec, bool useAvcodec,
                                                StreamDescription& stream);

}  // namespace kv
