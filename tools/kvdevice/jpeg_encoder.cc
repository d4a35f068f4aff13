// The RTSP stream's MJPEG encoder (libjpeg, raw planar input).
#include "tools/kvdevice/jpeg_encoder.h"

#include <jpeglib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

namespace kvdevice {
namespace {

class JpegEncoder : public VideoEncoder {
 public:
  JpegEncoder(const Options& o, AVFrame* frame)
      : frame_(frame),
        quality_(o.rtsp.jpegQuality),
        restart_(o.rtsp.jpegRestart),
        sampling422_(o.rtsp.jpegSampling == 422) {}
  ~JpegEncoder() override { av_frame_free(&frame_); }

  AVFrame* picture() override { return frame_; }

  bool encode(int64_t number, bool, std::vector<EncodedPicture>& out) override {
    jpeg_compress_struct c{};
    jpeg_error_mgr errors{};
    c.err = jpeg_std_error(&errors);
    errors.error_exit = [](j_common_ptr) { std::abort(); };  // only on misuse of the library
    jpeg_create_compress(&c);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = static_cast<JDIMENSION>(frame_->width);
    c.image_height = static_cast<JDIMENSION>(frame_->height);
    c.input_components = 3;
    c.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&c);
    jpeg_set_colorspace(&c, JCS_YCbCr);
    jpeg_set_quality(&c, quality_, TRUE);
    c.raw_data_in = TRUE;
    c.optimize_coding = FALSE;  // the standard tables
    c.dct_method = JDCT_ISLOW;
    c.restart_interval = static_cast<unsigned int>(restart_);
    c.comp_info[0].h_samp_factor = 2;
    c.comp_info[0].v_samp_factor = sampling422_ ? 1 : 2;
    for (int i = 1; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    jpeg_start_compress(&c, TRUE);

    // Rows in groups of one MCU row; rows past the picture repeat its last one. The source's
    // chroma is 4:2:0: for 4:2:2 each chroma row is used twice.
    const int lumaRows = sampling422_ ? 8 : 16;
    const int height = frame_->height;
    std::vector<JSAMPROW> y(static_cast<size_t>(lumaRows)), u(8), v(8);
    for (int top = 0; top < height; top += lumaRows) {
      for (int r = 0; r < lumaRows; ++r) {
        int row = std::min(top + r, height - 1);
        y[static_cast<size_t>(r)] = frame_->data[0] + row * frame_->linesize[0];
      }
      for (int r = 0; r < 8; ++r) {
        int chromaRow = sampling422_ ? (top + r) / 2 : top / 2 + r;
        chromaRow = std::min(chromaRow, (height + 1) / 2 - 1);
        u[static_cast<size_t>(r)] = frame_->data[1] + chromaRow * frame_->linesize[1];
        v[static_cast<size_t>(r)] = frame_->data[2] + chromaRow * frame_->linesize[2];
      }
      JSAMPARRAY planes[3] = {y.data(), u.data(), v.data()};
      jpeg_write_raw_data(&c, planes, static_cast<JDIMENSION>(lumaRows));
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    EncodedPicture p;
    p.data.assign(buffer, buffer + size);
    std::free(buffer);
    p.key = true;
    p.number = number;
    out.push_back(std::move(p));
    return true;
  }

  void flush(std::vector<EncodedPicture>&) override {}

 private:
  AVFrame* frame_;
  int quality_;
  int restart_;
  bool sampling422_;
};

}  // namespace

std::unique_ptr<VideoEncoder> CreateJpegEncoder(const Options& o, std::string& error) {
  AVFrame* frame = av_frame_alloc();
  if (frame != nullptr) {
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = o.width;
    frame->height = o.height;
  }
  if (frame == nullptr || av_frame_get_buffer(frame, 0) < 0) {
    av_frame_free(&frame);
    error = "out of memory";
    return nullptr;
  }
  return std::make_unique<JpegEncoder>(o, frame);
}

}  // namespace kvdevice
