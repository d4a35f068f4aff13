// The simulated camera's video encoder (libavcodec: libx264, mpeg4 or mjpeg).
#include "tools/kvdevice/video_encoder.h"

#include <string>

#include "tools/kvdevice/jpeg_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

namespace kvdevice {
namespace {

class AvcodecEncoder : public VideoEncoder {
 public:
  static std::unique_ptr<AvcodecEncoder> Create(const Options& options, std::string& error);
  ~AvcodecEncoder() override;
  AVFrame* picture() override;
  bool encode(int64_t number, bool forceKey, std::vector<EncodedPicture>& out) override;
  void flush(std::vector<EncodedPicture>& out) override;

 private:
  AvcodecEncoder() = default;
  bool receive(std::vector<EncodedPicture>& out);

  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
};

std::unique_ptr<AvcodecEncoder> AvcodecEncoder::Create(const Options& o, std::string& error) {
  const char* name = o.videoCodec == VideoCodec::kH264    ? "libx264"
                     : o.videoCodec == VideoCodec::kMpeg4 ? "mpeg4"
                                                          : "mjpeg";
  const AVCodec* codec = avcodec_find_encoder_by_name(name);
  if (codec == nullptr) {
    error = std::string("libavcodec has no ") + name + " encoder";
    return nullptr;
  }
  std::unique_ptr<AvcodecEncoder> e(new AvcodecEncoder());
  AVCodecContext* c = e->context_ = avcodec_alloc_context3(codec);
  e->frame_ = av_frame_alloc();
  e->packet_ = av_packet_alloc();
  if (c == nullptr || e->frame_ == nullptr || e->packet_ == nullptr) {
    error = "out of memory";
    return nullptr;
  }
  c->width = o.width;
  c->height = o.height;
  c->time_base = AVRational{1, o.frameRate};
  c->framerate = AVRational{o.frameRate, 1};
  c->bit_rate = int64_t{o.bitRateKbps} * 1000;
  c->gop_size = o.keyInterval;
  c->keyint_min = o.keyInterval;
  c->max_b_frames = 0;
  c->thread_count = 1;  // one thread: reproducible output and exactly the slices asked for
  c->pix_fmt = o.videoCodec == VideoCodec::kMjpeg ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
  AVDictionary* settings = nullptr;
  if (o.videoCodec == VideoCodec::kH264) {
    av_dict_set(&settings, "preset", "veryfast", 0);
    av_dict_set(&settings, "tune", "zerolatency", 0);
    av_dict_set(&settings, "profile", "baseline", 0);
    av_dict_set(&settings, "forced-idr", "1", 0);
    // In-band SPS/PPS before every IDR, key frames only at the interval.
    std::string params = "repeat-headers=1:scenecut=0:slices=" + std::to_string(o.slices);
    av_dict_set(&settings, "x264-params", params.c_str(), 0);
  } else if (o.videoCodec == VideoCodec::kMjpeg) {
    c->qmin = 2;
    c->qmax = 31;
  }
  int result = avcodec_open2(c, codec, &settings);
  av_dict_free(&settings);
  if (result < 0) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(result, text, sizeof text);
    error = std::string("cannot open the ") + name + " encoder: " + text;
    return nullptr;
  }
  e->frame_->format = c->pix_fmt;
  e->frame_->width = c->width;
  e->frame_->height = c->height;
  if (av_frame_get_buffer(e->frame_, 0) < 0) {
    error = "out of memory";
    return nullptr;
  }
  return e;
}

AvcodecEncoder::~AvcodecEncoder() {
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  avcodec_free_context(&context_);
}

AVFrame* AvcodecEncoder::picture() {
  // The encoder may still hold a reference to the previous picture.
  if (av_frame_make_writable(frame_) < 0) return nullptr;
  return frame_;
}

bool AvcodecEncoder::encode(int64_t number, bool forceKey, std::vector<EncodedPicture>& out) {
  frame_->pts = number;
  frame_->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  if (avcodec_send_frame(context_, frame_) < 0) return false;
  return receive(out);
}

void AvcodecEncoder::flush(std::vector<EncodedPicture>& out) {
  if (avcodec_send_frame(context_, nullptr) >= 0) receive(out);
}

bool AvcodecEncoder::receive(std::vector<EncodedPicture>& out) {
  for (;;) {
    int result = avcodec_receive_packet(context_, packet_);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
    if (result < 0) return false;
    EncodedPicture picture;
    picture.data.assign(packet_->data, packet_->data + packet_->size);
    picture.key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
    picture.number = packet_->pts;
    out.push_back(std::move(picture));
    av_packet_unref(packet_);
  }
}

}  // namespace

std::unique_ptr<VideoEncoder> VideoEncoder::Create(const Options& options, std::string& error) {
  if (options.videoCodec == VideoCodec::kMjpeg && !options.rtsp.listen.empty()) {
    return CreateJpegEncoder(options, error);
  }
  return AvcodecEncoder::Create(options, error);
}

}  // namespace kvdevice
