// Record file to Matroska / MP4.
#include "kvnet/record_exporter.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "KvNetClient.h"
#include "kvnet/audio_track.h"
#include "kvnet/picture_assembler.h"
#include "kvnet/record_units.h"

namespace kvnet {
namespace {

constexpr AVRational kVideoTimeBase{1, 1000};
constexpr AVRational kAudioTimeBase{1, kAudioSampleRate};
// Pictures read ahead of the header while waiting to learn whether the file has sound.
constexpr size_t kLookAheadPictures = 250;
constexpr uint32_t kProgressEveryUnits = 256;

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

AVCodecID VideoCodecId(uint8_t codec) {
  switch (codec) {
    case VCODEC_H264:
      return AV_CODEC_ID_H264;
    case VCODEC_MPEG4:
      return AV_CODEC_ID_MPEG4;
    case VCODEC_MJPEG:
      return AV_CODEC_ID_MJPEG;
    default:
      return AV_CODEC_ID_NONE;
  }
}

bool IsAudioCodec(uint32_t code) {
  return code == ACODEC_G711A || code == ACODEC_G711U ||
         (code >= ACODEC_G726_16 && code <= ACODEC_G726_40);
}

// Decodes the first key picture to learn the picture size the stream really has.
bool DecodedSize(AVCodecID id, const std::vector<uint8_t>& picture, int* width, int* height) {
  const AVCodec* codec = avcodec_find_decoder(id);
  if (codec == nullptr) return false;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  bool found = false;
  if (ctx != nullptr && packet != nullptr && frame != nullptr) {
    ctx->thread_count = 1;
    if (avcodec_open2(ctx, codec, nullptr) >= 0 &&
        av_new_packet(packet, static_cast<int>(picture.size())) >= 0) {
      std::memcpy(packet->data, picture.data(), picture.size());
      avcodec_send_packet(ctx, packet);
      avcodec_send_packet(ctx, nullptr);
      if (avcodec_receive_frame(ctx, frame) >= 0 && frame->width > 0 && frame->height > 0) {
        *width = frame->width;
        *height = frame->height;
        found = true;
      }
    }
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&ctx);
  return found;
}

// One exported item waiting in order: a picture (with its export time) or a stored audio unit.
struct Item {
  bool video = false;
  Picture picture;
  int64_t timeMs = 0;
  std::vector<uint8_t> audio;
};

class Exporter {
 public:
  Exporter(kv::RecordInput& in, const std::string& output, const ExportProgress& progress,
           ExportSummary* summary)
      : reader_(in), output_(output), progress_(progress), summary_(*summary) {}
  ~Exporter() { close(false); }

  bool Run(std::string* error);

 private:
  void takeVideo(const RecordUnit& u);
  void takePicture(Picture&& p);
  void takeAudio(const RecordUnit& u);
  bool ready(bool atEnd) const;
  bool start(std::string* error);
  bool flushPending(std::string* error);
  bool writeItem(Item&& item, std::string* error);
  bool writePicture(const Picture& p, int64_t timeMs, int64_t durationMs, std::string* error);
  bool writePacket(AVPacket* p, AVStream* st, AVRational from, std::string* error);
  bool finish(std::string* error);
  void close(bool keep);

  RecordUnitReader reader_;
  std::string output_;
  std::string partial_;
  ExportProgress progress_;
  ExportSummary& summary_;
  std::optional<PictureAssembler> assembler_;
  std::vector<Picture> finished_;
  std::deque<Item> pending_;
  size_t pendingPictures_ = 0;

  bool seenKey_ = false;
  uint32_t lastStamp_ = 0;
  int64_t lastTimeMs_ = 0;
  int64_t leadingPictures_ = 0;
  int64_t movedStamps_ = 0;
  uint8_t audioCodec_ = 0;  // of the sound exported; 0 with pcm_ for AVI PCM
  bool hasAudio_ = false;
  int64_t skippedAudio_ = 0;
  int64_t lateAudio_ = 0;  // sound first met after the header was written without it

  AVFormatContext* format_ = nullptr;
  bool headerWritten_ = false;
  AVStream* video_ = nullptr;
  AVStream* audio_ = nullptr;
  std::unique_ptr<AudioTrack> audioTrack_;
  std::optional<Item> held_;  // the last picture, written once the next one gives its duration
};

void Exporter::takePicture(Picture&& p) {
  if (!seenKey_) {
    if (!p.key) {
      ++leadingPictures_;
      return;
    }
    seenKey_ = true;
    lastStamp_ = p.timeStamp;
    lastTimeMs_ = 0;
  } else {
    // Time stamps are kept as stored; one that does not move forward is moved 1 ms on.
    const int32_t step = static_cast<int32_t>(p.timeStamp - lastStamp_);
    if (step <= 0) ++movedStamps_;
    lastTimeMs_ += step > 0 ? step : 1;
    lastStamp_ = p.timeStamp;
  }
  Item item;
  item.video = true;
  item.timeMs = lastTimeMs_;
  item.picture = std::move(p);
  pending_.push_back(std::move(item));
  ++pendingPictures_;
}

void Exporter::takeVideo(const RecordUnit& u) {
  assembler_->Add(u.data, u.length, u.beginsCodedUnit, u.wholePicture, u.timeStamp, &finished_);
  for (Picture& p : finished_) takePicture(std::move(p));
  finished_.clear();
}

void Exporter::takeAudio(const RecordUnit& u) {
  const RecordMedia& m = reader_.media();
  if (!m.pcmAudio) {
    // The sound's codec is that of the first voice frame; others are skipped.
    if (!IsAudioCodec(u.type)) {
      ++skippedAudio_;
      return;
    }
    if (!hasAudio_ && !headerWritten_) {
      hasAudio_ = true;
      audioCodec_ = static_cast<uint8_t>(u.type);
    }
    if (hasAudio_ && u.type != audioCodec_) {
      ++skippedAudio_;
      return;
    }
  } else if (!headerWritten_) {
    hasAudio_ = true;
  }
  if (!hasAudio_) {
    ++lateAudio_;
    return;
  }
  if (!seenKey_) return;  // sound before the first key picture is left out
  Item item;
  item.audio.assign(u.data, u.data + u.length);
  pending_.push_back(std::move(item));
}

bool Exporter::ready(bool atEnd) const {
  return seenKey_ && (atEnd || hasAudio_ || pendingPictures_ >= kLookAheadPictures);
}

bool Exporter::start(std::string* error) {
  const RecordMedia& m = reader_.media();
  const Picture& key = pending_.front().picture;
  const AVCodecID id = VideoCodecId(m.videoCodec);
  const std::vector<uint8_t> setup = DecoderSetup(m.videoCodec, key.data);
  if (m.videoCodec == VCODEC_H264 && setup.empty()) {
    *error = "the first key picture carries no parameter sets";
    return false;
  }
  int width = m.width, height = m.height;
  if (!DecodedSize(id, key.data, &width, &height) && (width == 0 || height == 0)) {
    *error = "the picture size cannot be found (the first key picture does not decode)";
    return false;
  }
  if (avformat_alloc_output_context2(&format_, nullptr, summary_.container.c_str(),
                                     output_.c_str()) < 0 ||
      format_ == nullptr) {
    *error = "libavformat cannot write " + summary_.container;
    return false;
  }
  video_ = avformat_new_stream(format_, nullptr);
  if (video_ == nullptr) {
    *error = "out of memory";
    return false;
  }
  AVCodecParameters* par = video_->codecpar;
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = id;
  par->width = width;
  par->height = height;
  if (m.videoCodec == VCODEC_MJPEG) par->format = AV_PIX_FMT_YUVJ420P;
  if (!setup.empty()) {
    par->extradata = static_cast<uint8_t*>(av_mallocz(setup.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (par->extradata == nullptr) {
      *error = "out of memory";
      return false;
    }
    std::memcpy(par->extradata, setup.data(), setup.size());
    par->extradata_size = static_cast<int>(setup.size());
  }
  video_->time_base = kVideoTimeBase;
  video_->avg_frame_rate = AVRational{m.frameRate, 1};
  if (hasAudio_) {
    audio_ = avformat_new_stream(format_, nullptr);
    audioTrack_ =
        std::make_unique<AudioTrack>(m.pcmAudio ? 0 : audioCodec_, summary_.container == "mp4");
    if (audio_ == nullptr ||
        !audioTrack_->Configure(audio_, (format_->oformat->flags & AVFMT_GLOBALHEADER) != 0,
                                error)) {
      if (error->empty()) *error = "out of memory";
      return false;
    }
  }
  partial_ = output_ + ".part";
  int rc = avio_open(&format_->pb, partial_.c_str(), AVIO_FLAG_WRITE);
  if (rc < 0) {
    partial_.clear();
    *error = "cannot write " + output_ + ": " + AvError(rc);
    return false;
  }
  rc = avformat_write_header(format_, nullptr);
  if (rc < 0) {
    *error = "cannot start the " + summary_.container + " file: " + AvError(rc);
    return false;
  }
  headerWritten_ = true;
  summary_.videoCodec = m.videoCodec;
  summary_.width = width;
  summary_.height = height;
  return true;
}

bool Exporter::writePacket(AVPacket* p, AVStream* st, AVRational from, std::string* error) {
  av_packet_rescale_ts(p, from, st->time_base);
  p->stream_index = st->index;
  const int rc = av_interleaved_write_frame(format_, p);
  if (rc < 0) {
    *error = "writing " + output_ + " failed: " + AvError(rc);
    return false;
  }
  return true;
}

bool Exporter::writePicture(const Picture& pic, int64_t timeMs, int64_t durationMs,
                            std::string* error) {
  PacketPtr p(av_packet_alloc());
  if (!p || av_new_packet(p.get(), static_cast<int>(pic.data.size())) < 0) {
    *error = "out of memory";
    return false;
  }
  std::memcpy(p->data, pic.data.data(), pic.data.size());
  p->pts = p->dts = timeMs;
  p->duration = durationMs;
  if (pic.key) p->flags |= AV_PKT_FLAG_KEY;
  if (!writePacket(p.get(), video_, kVideoTimeBase, error)) return false;
  ++summary_.pictures;
  if (pic.key) ++summary_.keyPictures;
  summary_.durationMs = timeMs + durationMs;
  return true;
}

bool Exporter::writeItem(Item&& item, std::string* error) {
  if (item.video) {
    if (held_ && !writePicture(held_->picture, held_->timeMs, item.timeMs - held_->timeMs, error)) {
      return false;
    }
    held_ = std::move(item);
    return true;
  }
  if (!audioTrack_->started()) {
    audioTrack_->SetStart(av_rescale_q(held_ ? held_->timeMs : 0, kVideoTimeBase, kAudioTimeBase));
  }
  std::vector<PacketPtr> packets;
  if (!audioTrack_->Add(item.audio.data(), static_cast<uint32_t>(item.audio.size()), &packets)) {
    ++skippedAudio_;
  }
  for (PacketPtr& p : packets) {
    if (!writePacket(p.get(), audio_, kAudioTimeBase, error)) return false;
    ++summary_.audioPackets;
  }
  return true;
}

bool Exporter::flushPending(std::string* error) {
  while (!pending_.empty()) {
    Item item = std::move(pending_.front());
    pending_.pop_front();
    if (!writeItem(std::move(item), error)) return false;
  }
  pendingPictures_ = 0;
  return true;
}

bool Exporter::finish(std::string* error) {
  const int frameMs = (1000 + reader_.media().frameRate / 2) / reader_.media().frameRate;
  if (held_ && !writePicture(held_->picture, held_->timeMs, frameMs, error)) return false;
  held_.reset();
  if (audioTrack_) {
    std::vector<PacketPtr> packets;
    audioTrack_->Finish(&packets);
    for (PacketPtr& p : packets) {
      if (!writePacket(p.get(), audio_, kAudioTimeBase, error)) return false;
      ++summary_.audioPackets;
    }
  }
  const int rc = av_write_trailer(format_);
  if (rc < 0) {
    *error = "cannot finish " + output_ + ": " + AvError(rc);
    return false;
  }
  return true;
}

void Exporter::close(bool keep) {
  if (format_ != nullptr) {
    if (format_->pb != nullptr) avio_closep(&format_->pb);
    avformat_free_context(format_);
    format_ = nullptr;
  }
  if (partial_.empty()) return;
  std::error_code ec;
  if (keep) {
    std::filesystem::rename(partial_, output_, ec);
    if (!ec) {
      partial_.clear();
      return;
    }
  }
  std::filesystem::remove(partial_, ec);
  partial_.clear();
}

bool Exporter::Run(std::string* error) {
  summary_ = ExportSummary{};
  summary_.container = ContainerForPath(output_);
  if (summary_.container.empty()) {
    *error = "the output name must end in .mkv or .mp4";
    return false;
  }
  if (!reader_.Open(error)) return false;
  assembler_.emplace(reader_.media().videoCodec);
  if (!reader_.hasTrailer()) {
    summary_.warnings.push_back("the file has no index trailer (the recording was not ended)");
  }
  uint32_t units = 0;
  bool atEnd = false;
  while (!atEnd) {
    RecordUnit u;
    const RecordUnitReader::Result r = reader_.Next(&u);
    if (r == RecordUnitReader::Result::kUnit) {
      if (u.video) {
        takeVideo(u);
      } else {
        takeAudio(u);
      }
    } else {
      if (r == RecordUnitReader::Result::kDamaged) {
        summary_.warnings.push_back(reader_.damage() + "; exported what came before");
      }
      assembler_->Finish(&finished_);
      for (Picture& p : finished_) takePicture(std::move(p));
      finished_.clear();
      atEnd = true;
    }
    if (!headerWritten_ && ready(atEnd) && !start(error)) return false;
    if (headerWritten_ && !flushPending(error)) return false;
    if (progress_ && (++units % kProgressEveryUnits == 0 || atEnd)) {
      progress_(reader_.position(), reader_.end());
    }
  }
  if (!seenKey_) {
    *error = "the file holds no key picture: nothing can be decoded";
    if (!summary_.warnings.empty()) *error += " (" + summary_.warnings.back() + ")";
    return false;
  }
  if (!finish(error)) return false;
  close(true);
  if (!partial_.empty() || !std::filesystem::exists(output_)) {
    *error = "cannot rename the finished file to " + output_;
    return false;
  }
  if (leadingPictures_ > 0) {
    summary_.warnings.push_back(std::to_string(leadingPictures_) +
                                " pictures before the first key picture cannot be decoded and "
                                "were left out");
  }
  if (movedStamps_ > 0) {
    summary_.warnings.push_back(std::to_string(movedStamps_) +
                                " picture time stamps did not move forward and were set 1 ms "
                                "after the one before");
  }
  if (lateAudio_ > 0) {
    summary_.warnings.push_back(std::to_string(lateAudio_) +
                                " audio units were left out: the sound starts too long after "
                                "the first key picture");
  }
  if (skippedAudio_ > 0 || reader_.skippedUnits() > 0) {
    summary_.warnings.push_back(std::to_string(skippedAudio_ + reader_.skippedUnits()) +
                                " damaged or unreadable units were skipped");
  }
  return true;
}

}  // namespace

std::string ContainerForPath(const std::string& path) {
  auto endsWith = [&](const char* suffix) {
    const size_t n = std::strlen(suffix);
    if (path.size() <= n) return false;
    for (size_t i = 0; i < n; ++i) {
      const char c = path[path.size() - n + i];
      if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != suffix[i]) return false;
    }
    return true;
  };
  if (endsWith(".mkv")) return "matroska";
  if (endsWith(".mp4")) return "mp4";
  return "";
}

bool ExportRecord(kv::RecordInput& in, const std::string& output, const ExportProgress& progress,
                  ExportSummary* summary, std::string* error) {
  Exporter exporter(in, output, progress, summary);
  return exporter.Run(error);
}

bool ExportRecordFile(const std::string& input, const std::string& output,
                      const ExportProgress& progress, ExportSummary* summary, std::string* error) {
  kv::FileRecordInput in;
  if (!in.Open(input.c_str())) {
    *error = "cannot open " + input;
    return false;
  }
  return ExportRecord(in, output, progress, summary, error);
}

}  // namespace kvnet
