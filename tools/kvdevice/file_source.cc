// Pictures and sound decoded from a media file for the simulated camera.
#include "tools/kvdevice/file_source.h"

#include <algorithm>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace kvdevice {
namespace {

AVCodecContext* OpenDecoder(AVFormatContext* format, int index) {
  const AVCodecParameters* par = format->streams[index]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (codec == nullptr) return nullptr;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  if (ctx == nullptr) return nullptr;
  if (avcodec_parameters_to_context(ctx, par) < 0 || avcodec_open2(ctx, codec, nullptr) < 0) {
    avcodec_free_context(&ctx);
    return nullptr;
  }
  return ctx;
}

}  // namespace

std::unique_ptr<FileSource> FileSource::Open(const std::string& path, int frameRate,
                                             std::string& error) {
  std::unique_ptr<FileSource> s(new FileSource());
  s->frameRate_ = frameRate;
  if (avformat_open_input(&s->format_, path.c_str(), nullptr, nullptr) < 0) {
    error = "cannot open " + path;
    return nullptr;
  }
  if (avformat_find_stream_info(s->format_, nullptr) < 0) {
    error = "cannot read the streams of " + path;
    return nullptr;
  }
  s->videoIndex_ = av_find_best_stream(s->format_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (s->videoIndex_ < 0 || (s->video_ = OpenDecoder(s->format_, s->videoIndex_)) == nullptr) {
    error = "no decodable video in " + path;
    return nullptr;
  }
  AVRational rate = s->format_->streams[s->videoIndex_]->avg_frame_rate;
  s->pictureSeconds_ = rate.num > 0 && rate.den > 0 ? av_q2d(av_inv_q(rate)) : 1.0 / frameRate;
  s->audioIndex_ = av_find_best_stream(s->format_, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (s->audioIndex_ >= 0) {
    s->audio_ = OpenDecoder(s->format_, s->audioIndex_);
    if (s->audio_ == nullptr) s->audioIndex_ = -1;
  }
  return s;
}

FileSource::~FileSource() {
  for (AVFrame* f : pictures_) av_frame_free(&f);
  sws_freeContext(scaler_);
  swr_free(&resampler_);
  avcodec_free_context(&video_);
  avcodec_free_context(&audio_);
  avformat_close_input(&format_);
}

bool FileSource::readMore() {
  if (ended_) return false;
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) return false;
  int result = av_read_frame(format_, packet);
  if (result < 0) {
    // End of file: drain both decoders.
    ended_ = true;
    decode(video_, nullptr);
    if (audio_ != nullptr) decode(audio_, nullptr);
  } else if (packet->stream_index == videoIndex_) {
    decode(video_, packet);
  } else if (packet->stream_index == audioIndex_) {
    decode(audio_, packet);
  }
  av_packet_free(&packet);
  return true;
}

void FileSource::decode(AVCodecContext* decoder, const AVPacket* packet) {
  if (avcodec_send_packet(decoder, packet) < 0) return;
  for (;;) {
    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr || avcodec_receive_frame(decoder, frame) < 0) {
      av_frame_free(&frame);
      return;
    }
    if (decoder == video_) {
      pictures_.push_back(frame);
    } else {
      takeAudio(frame);
      av_frame_free(&frame);
    }
  }
}

void FileSource::takeAudio(AVFrame* frame) {
  if (resampler_ == nullptr) {
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    if (swr_alloc_set_opts2(&resampler_, &mono, AV_SAMPLE_FMT_S16, 8000, &frame->ch_layout,
                            static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0,
                            nullptr) < 0 ||
        swr_init(resampler_) < 0) {
      swr_free(&resampler_);
      audioIndex_ = -1;  // give up on the sound, keep the pictures
      return;
    }
  }
  int room = swr_get_out_samples(resampler_, frame->nb_samples);
  if (room <= 0) return;
  std::vector<int16_t> out(static_cast<size_t>(room));
  uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(out.data())};
  int got = swr_convert(resampler_, outPlanes, room,
                        const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
  if (got > 0) samples_.insert(samples_.end(), out.begin(), out.begin() + got);
}

double FileSource::secondsOf(const AVFrame* picture) const {
  int64_t stamp = picture->best_effort_timestamp;
  if (stamp == AV_NOPTS_VALUE) return -1;
  return static_cast<double>(stamp) * av_q2d(format_->streams[videoIndex_]->time_base);
}

bool FileSource::nextPicture(int64_t number, AVFrame* out) {
  while (pictures_.empty() && readMore()) {
  }
  if (pictures_.empty()) return false;
  const bool timed = secondsOf(pictures_.front()) >= 0;
  if (timed) {
    // Show the latest picture that is due; a picture that is not due yet waits in the queue.
    if (firstSeconds_ < 0) firstSeconds_ = secondsOf(pictures_.front());
    const double due = firstSeconds_ + static_cast<double>(number) / frameRate_ + 1e-6;
    for (;;) {
      while (pictures_.size() < 2 && readMore()) {
      }
      if (pictures_.size() < 2) break;
      double next = secondsOf(pictures_[1]);
      if (next < 0 || next > due) break;
      av_frame_free(&pictures_.front());
      pictures_.pop_front();
    }
    if (pictures_.size() == 1 && due > secondsOf(pictures_.front()) + pictureSeconds_) {
      return false;  // past the end of the last picture
    }
  }
  AVFrame* in = pictures_.front();
  scaler_ =
      sws_getCachedContext(scaler_, in->width, in->height, static_cast<AVPixelFormat>(in->format),
                           out->width, out->height, static_cast<AVPixelFormat>(out->format),
                           SWS_BILINEAR, nullptr, nullptr, nullptr);
  bool ok = scaler_ != nullptr &&
            sws_scale(scaler_, in->data, in->linesize, 0, in->height, out->data, out->linesize) > 0;
  if (!timed) {
    // Without time stamps every picture is shown once.
    av_frame_free(&in);
    pictures_.pop_front();
  }
  return ok;
}

bool FileSource::nextAudio(int16_t* samples, int count) {
  while (static_cast<int>(samples_.size()) < count && audioIndex_ >= 0 && !ended_) {
    if (!readMore()) break;
  }
  int have = std::min<int>(count, static_cast<int>(samples_.size()));
  std::copy_n(samples_.begin(), have, samples);
  samples_.erase(samples_.begin(), samples_.begin() + have);
  std::fill(samples + have, samples + count, int16_t{0});
  return true;
}

}  // namespace kvdevice
