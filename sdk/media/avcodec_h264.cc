// H.264 decoder object over libavcodec's send/receive calls.
#include "sdk/media/avcodec_h264.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "sdk/platform/critical_section.h"

namespace kv {

bool AvcodecH264Decoder::Open(platform::FlaggedCriticalSection* decoderLock) {
  Close(decoderLock);
  m_api = AvcodecEntryPoints();
  if (m_api == nullptr) return false;
  const AVCodec* codec = m_api->avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) return false;
  m_context = m_api->avcodec_alloc_context3(codec);
  m_frame = m_api->av_frame_alloc();
  m_packet = m_api->av_packet_alloc();
  if (m_context == nullptr || m_frame == nullptr || m_packet == nullptr) {
    Close(decoderLock);
    return false;
  }
  // Each frame from the conduit holds one NAL unit. In chunk mode the decoder builds a picture
  // from several calls and ends it when its last macroblock row is decoded, so a picture is
  // neither torn into slices nor held back until the next one starts. One thread and low
  // delay keep the decoder from queueing pictures.
  m_context->flags2 |= AV_CODEC_FLAG2_CHUNKS;
  m_context->flags |= AV_CODEC_FLAG_LOW_DELAY;
  m_context->thread_count = 1;
  int result;
  {
    std::optional<platform::FlaggedLock> guard;
    if (decoderLock != nullptr) guard.emplace(*decoderLock);
    result = m_api->avcodec_open2(m_context, codec, nullptr);
  }
  if (result < 0) {
    Close(decoderLock);
    return false;
  }
  // Concealment would run after every chunk over the part of the picture still to come (four
  // to nine times the decoding work); a picture that loses slices is dropped instead.
  m_context->error_concealment = 0;
  m_pictureOpen = false;
  return true;
}

void AvcodecH264Decoder::Close(platform::FlaggedCriticalSection* decoderLock) {
  if (m_api == nullptr) return;
  if (m_context != nullptr) {
    std::optional<platform::FlaggedLock> guard;
    if (decoderLock != nullptr) guard.emplace(*decoderLock);
    m_api->avcodec_free_context(&m_context);
  }
  if (m_frame != nullptr) m_api->av_frame_free(&m_frame);
  if (m_packet != nullptr) m_api->av_packet_free(&m_packet);
  m_api = nullptr;
}

int AvcodecH264Decoder::Receive(VideoPicture* picture) {
  m_api->av_frame_unref(m_frame);
  int result = m_api->avcodec_receive_frame(m_context, m_frame);
  if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return 0;
  if (result < 0) return result;
  if (m_frame->format != AV_PIX_FMT_YUV420P && m_frame->format != AV_PIX_FMT_YUVJ420P) {
    // 4:2:2 and 4:4:4 streams cannot be shown as planar 4:2:0.
    m_api->av_frame_unref(m_frame);
    return AVERROR_PATCHWELCOME;
  }
  if (picture != nullptr) {
    picture->y = m_frame->data[0];
    picture->u = m_frame->data[1];
    picture->v = m_frame->data[2];
    picture->yStride = m_frame->linesize[0];
    picture->uvStride = m_frame->linesize[1];
    picture->width = m_frame->width;
    picture->height = m_frame->height;
  }
  return 1;
}

int AvcodecH264Decoder::Decode(const uint8_t* data, size_t size, VideoPicture* picture) {
  if (m_context == nullptr) return AVERROR(EINVAL);
  if (data == nullptr || size == 0 || size > static_cast<size_t>(INT32_MAX) - 64) return 0;
  const NalStart start = ClassifyUnit(data, size);
  if (m_pictureOpen && (start == NalStart::kNewPicture || start == NalStart::kNonSlice)) {
    // The open picture lost its last slices. Chunk mode cannot finish it, and leaving it
    // half-built stalls the decoder, so restart clean: pictures resume at the next key picture.
    Flush();
  }
  m_input.assign(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  std::memcpy(m_input.data(), data, size);
  m_packet->data = m_input.data();
  m_packet->size = static_cast<int>(size);
  m_packet->pts = AV_NOPTS_VALUE;
  m_packet->dts = AV_NOPTS_VALUE;
  m_packet->pos = -1;

  int result = m_api->avcodec_send_packet(m_context, m_packet);
  if (result == AVERROR(EAGAIN)) {
    // A picture is still waiting: hand it out and queue this frame behind it.
    int received = Receive(picture);
    m_api->avcodec_send_packet(m_context, m_packet);
    m_packet->data = nullptr;
    m_packet->size = 0;
    return received;
  }
  m_packet->data = nullptr;
  m_packet->size = 0;
  int received = Receive(picture);
  if (received == 1) {
    m_pictureOpen = false;
  } else if (start == NalStart::kNewPicture || start == NalStart::kSlice) {
    m_pictureOpen = true;
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
  if (m_context == nullptr) return;
  m_api->av_frame_unref(m_frame);
  m_api->avcodec_flush_buffers(m_context);
  m_pictureOpen = false;
}

int AvcodecH264Decoder::Width() const { return m_context != nullptr ? m_context->width : 0; }
int AvcodecH264Decoder::Height() const { return m_context != nullptr ? m_context->height : 0; }

}  // namespace kv
