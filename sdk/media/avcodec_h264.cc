// H.264 decoder object over libavcodec's send/receive calls.
#include "sdk/media/avcodec_h264.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "sdk/platform/critical_section.h"

namespace kv {

bool AvcodecH264Decoder::Open(platform::FlaggedCriticalSection* decoderLock) {
  Close(decoderLock);
  api_ = AvcodecEntryPoints();
  if (api_ == nullptr) return false;
  const AVCodec* codec = api_->avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) return false;
  context_ = api_->avcodec_alloc_context3(codec);
  frame_ = api_->av_frame_alloc();
  packet_ = api_->av_packet_alloc();
  if (context_ == nullptr || frame_ == nullptr || packet_ == nullptr) {
    Close(decoderLock);
    return false;
  }
  // Each frame from the conduit holds one NAL unit. In chunk mode the decoder builds a picture
  // from several calls and ends it when its last macroblock row is decoded, so a picture is
  // neither torn into slices nor held back until the next one starts. One thread and low
  // delay keep the decoder from queueing pictures.
  context_->flags2 |= AV_CODEC_FLAG2_CHUNKS;
  context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
  context_->thread_count = 1;
  int result;
  {
    std::optional<platform::FlaggedLock> guard;
    if (decoderLock != nullptr) guard.emplace(*decoderLock);
    result = api_->avcodec_open2(context_, codec, nullptr);
  }
  if (result < 0) {
    Close(decoderLock);
    return false;
  }
  // Concealment would run after every chunk over the part of the picture still to come (four
  // to nine times the decoding work); a picture that loses slices is dropped instead.
  context_->error_concealment = 0;
  pictureOpen_ = false;
  return true;
}

void AvcodecH264Decoder::Close(platform::FlaggedCriticalSection* decoderLock) {
  if (api_ == nullptr) return;
  if (context_ != nullptr) {
    std::optional<platform::FlaggedLock> guard;
    if (decoderLock != nullptr) guard.emplace(*decoderLock);
    api_->avcodec_free_context(&context_);
  }
  if (frame_ != nullptr) api_->av_frame_free(&frame_);
  if (packet_ != nullptr) api_->av_packet_free(&packet_);
  api_ = nullptr;
}

int AvcodecH264Decoder::Receive(DecodedPicture* picture) {
  api_->av_frame_unref(frame_);
  int result = api_->avcodec_receive_frame(context_, frame_);
  if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return 0;
  if (result < 0) return result;
  if (frame_->format != AV_PIX_FMT_YUV420P && frame_->format != AV_PIX_FMT_YUVJ420P) {
    // 4:2:2 and 4:4:4 streams cannot be shown as planar 4:2:0.
    api_->av_frame_unref(frame_);
    return AVERROR_PATCHWELCOME;
  }
  if (picture != nullptr) {
    picture->y = frame_->data[0];
    picture->u = frame_->data[1];
    picture->v = frame_->data[2];
    picture->yStride = frame_->linesize[0];
    picture->uvStride = frame_->linesize[1];
    picture->width = frame_->width;
    picture->height = frame_->height;
  }
  return 1;
}

int AvcodecH264Decoder::Decode(const uint8_t* data, size_t size, DecodedPicture* picture) {
  if (context_ == nullptr) return AVERROR(EINVAL);
  if (data == nullptr || size == 0 || size > static_cast<size_t>(INT32_MAX) - 64) return 0;
  const NalStart start = ClassifyUnit(data, size);
  if (pictureOpen_ && (start == NalStart::kNewPicture || start == NalStart::kNonSlice)) {
    // The open picture lost its last slices. Chunk mode cannot finish it, and leaving it
    // half-built stalls the decoder, so restart clean: pictures resume at the next key picture.
    Flush();
  }
  input_.assign(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  std::memcpy(input_.data(), data, size);
  packet_->data = input_.data();
  packet_->size = static_cast<int>(size);
  packet_->pts = AV_NOPTS_VALUE;
  packet_->dts = AV_NOPTS_VALUE;
  packet_->pos = -1;

  int result = api_->avcodec_send_packet(context_, packet_);
  if (result == AVERROR(EAGAIN)) {
    // A picture is still waiting: hand it out and queue this frame behind it.
    int received = Receive(picture);
    api_->avcodec_send_packet(context_, packet_);
    packet_->data = nullptr;
    packet_->size = 0;
    return received;
  }
  packet_->data = nullptr;
  packet_->size = 0;
  int received = Receive(picture);
  if (received == 1) {
    pictureOpen_ = false;
  } else if (start == NalStart::kNewPicture || start == NalStart::kSlice) {
    pictureOpen_ = true;
  }
  // A damaged unit: keep whatever the decoder may still hand out.
  return result < 0 && received == 0 ? result : received;
}

AvcodecH264Decoder::NalStart AvcodecH264Decoder::ClassifyUnit(const uint8_t* data, size_t size) {
  size_t i = 0;
  while (i < size && i < 4 && data[i] == 0) ++i;  // leading zeroes of the start code
  if (i < 2 || i >= size || data[i] != 1 || i + 1 >= size) return NalStart::kOther;
  const uint8_t header = data[i + 1];
  const int type = header & 0x1f;
  if (type == 1 || type == 5) {
    // first_mb_in_slice is the first Exp-Golomb number of the slice: a leading 1 bit is 0.
    if (i + 2 >= size) return NalStart::kOther;
    return (data[i + 2] & 0x80) != 0 ? NalStart::kNewPicture : NalStart::kSlice;
  }
  if (type >= 6 && type <= 9) return NalStart::kNonSlice;  // only between pictures
  return NalStart::kOther;
}

void AvcodecH264Decoder::Flush() {
  if (context_ == nullptr) return;
  api_->av_frame_unref(frame_);
  api_->avcodec_flush_buffers(context_);
  pictureOpen_ = false;
}

int AvcodecH264Decoder::Width() const { return context_ != nullptr ? context_->width : 0; }
int AvcodecH264Decoder::Height() const { return context_ != nullptr ? context_->height : 0; }

}  // namespace kv
