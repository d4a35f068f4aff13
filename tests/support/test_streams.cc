// Stream generators for the decoder tests: each encoder comes from a Debian library that is
// independent of the SDK's decoding paths.
#include "tests/support/test_streams.h"

#include <turbojpeg.h>
#include <wels/codec_api.h>
#include <xvid.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <random>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace kv::test {
namespace {

constexpr int kSquare = 16;
constexpr int kBits = 8;

struct Colour {
  uint8_t y, u, v;
};
constexpr Colour kBars[8] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                             {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};

void Fill(YuvPicture& p, int x0, int y0, int w, int h, Colour c) {
  for (int y = std::max(0, y0); y < std::min(p.height, y0 + h); ++y) {
    for (int x = std::max(0, x0); x < std::min(p.width, x0 + w); ++x) {
      size_t i = static_cast<size_t>(y) * p.width + x;
      p.y[i] = c.y;
      p.u[i] = c.u;
      p.v[i] = c.v;
    }
  }
}

// Luma detail of about +-20 levels from a hash of the position, panning two pixels a picture.
void AddPanningTexture(I420Picture& pic, int index) {
  for (int y = 0; y < pic.height; ++y) {
    for (int x = 0; x < pic.width; ++x) {
      const uint32_t h = (static_cast<uint32_t>(x + 2 * index) * 73856093u) ^
                         (static_cast<uint32_t>(y) * 19349663u);
      const int noise = static_cast<int>((h >> 9) % 41) - 20;
      uint8_t& v = pic.y[static_cast<size_t>(y) * pic.width + x];
      v = static_cast<uint8_t>(std::clamp(v + noise, 16, 235));
    }
  }
}

}  // namespace

YuvPicture MakeTestPicture(int width, int height, int index, int number) {
  YuvPicture p;
  p.width = width;
  p.height = height;
  size_t n = static_cast<size_t>(width) * height;
  p.y.resize(n);
  p.u.resize(n);
  p.v.resize(n);
  for (int bar = 0; bar < 8; ++bar) {
    int x0 = bar * width / 8;
    Fill(p, x0, 0, (bar + 1) * width / 8 - x0, height, kBars[bar]);
  }
  int counterWidth = kSquare * kBits;
  int block = 48;
  if (width > counterWidth + block && height > block) {
    int x = counterWidth + (index * 8) % (width - counterWidth - block);
    int y = (height / 2 + index * 4) % (height - block);
    Fill(p, x, y, block, block, {200, 90, 200});
  }
  for (int row = 0; (row + 1) * kSquare <= height; row += 2) {
    for (int bit = 0; bit < kBits && (bit + 1) * kSquare <= width; ++bit) {
      bool one = (((number >= 0 ? number : index) >> (kBits - 1 - bit)) & 1) != 0;
      Fill(p, bit * kSquare, row * kSquare, kSquare, kSquare,
           one ? Colour{235, 128, 128} : Colour{16, 128, 128});
    }
  }
  return p;
}

I420Picture To420(const YuvPicture& picture) {
  I420Picture out;
  out.width = picture.width;
  out.height = picture.height;
  out.y = picture.y;
  int cw = out.chromaWidth(), ch = out.chromaHeight();
  out.u.resize(static_cast<size_t>(cw) * ch);
  out.v.resize(out.u.size());
  for (int y = 0; y < ch; ++y) {
    for (int x = 0; x < cw; ++x) {
      int su = 0, sv = 0, count = 0;
      for (int dy = 0; dy < 2; ++dy) {
        for (int dx = 0; dx < 2; ++dx) {
          int sx = 2 * x + dx, sy = 2 * y + dy;
          if (sx >= picture.width || sy >= picture.height) continue;
          size_t i = static_cast<size_t>(sy) * picture.width + sx;
          su += picture.u[i];
          sv += picture.v[i];
          ++count;
        }
      }
      out.u[static_cast<size_t>(y) * cw + x] = static_cast<uint8_t>((su + count / 2) / count);
      out.v[static_cast<size_t>(y) * cw + x] = static_cast<uint8_t>((sv + count / 2) / count);
    }
  }
  return out;
}

int ReadPictureNumber(const uint8_t* y, int stride, int width, int height) {
  if (y == nullptr || width < kSquare * kBits) return -1;
  int number = -1;
  for (int row = 0; (row + 1) * kSquare <= height; row += 2) {
    int value = 0;
    for (int bit = 0; bit < kBits; ++bit) {
      int sum = 0;
      for (int dy = 4; dy < 12; ++dy) {
        for (int dx = 4; dx < 12; ++dx) {
          sum += y[static_cast<size_t>(row * kSquare + dy) * stride + bit * kSquare + dx];
        }
      }
      int mean = sum / 64;
      if (mean > 60 && mean < 190) return -1;  // neither black nor white: damaged
      value = (value << 1) | (mean >= 190 ? 1 : 0);
    }
    if (number >= 0 && value != number) return -1;
    number = value;
  }
  return number;
}

double PlanePsnr(const uint8_t* a, int aStride, const uint8_t* b, int bStride, int width,
                 int height) {
  double sum = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double d = static_cast<double>(a[static_cast<size_t>(y) * aStride + x]) -
                 b[static_cast<size_t>(y) * bStride + x];
      sum += d * d;
    }
  }
  if (sum == 0) return 99.0;
  double mse = sum / (static_cast<double>(width) * height);
  return 10.0 * std::log10(255.0 * 255.0 / mse);
}

std::vector<std::vector<uint8_t>> SplitNalUnits(const std::vector<uint8_t>& stream) {
  std::vector<std::vector<uint8_t>> units;
  size_t n = stream.size();
  std::vector<size_t> starts;  // offsets of the first payload byte after each start code
  for (size_t i = 0; i + 3 <= n; ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      starts.push_back(i + 3);
      i += 2;
    }
  }
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : n;
    // A four-byte start code leaves one zero before the next unit's three bytes.
    while (end > starts[k] && stream[end - 1] == 0 && k + 1 < starts.size()) --end;
    std::vector<uint8_t> unit = {0, 0, 0, 1};
    unit.insert(unit.end(), stream.begin() + starts[k], stream.begin() + end);
    units.push_back(std::move(unit));
  }
  return units;
}

EncodedStream EncodeH264OpenH264(const H264Options& o) {
  EncodedStream out;
  out.width = o.width;
  out.height = o.height;
  ISVCEncoder* encoder = nullptr;
  if (WelsCreateSVCEncoder(&encoder) != 0 || encoder == nullptr) return out;
  // Only the encoder's errors: its warnings about rate control are expected here.
  int traceLevel = WELS_LOG_ERROR;
  encoder->SetOption(ENCODER_OPTION_TRACE_LEVEL, &traceLevel);
  SEncParamExt param;
  encoder->GetDefaultParams(&param);
  param.iUsageType = CAMERA_VIDEO_REAL_TIME;
  param.iPicWidth = o.width;
  param.iPicHeight = o.height;
  param.iTargetBitrate = o.bitrate;
  param.iMaxBitrate = o.bitrate * 2;
  param.iRCMode = RC_QUALITY_MODE;
  param.fMaxFrameRate = 25;
  param.uiIntraPeriod = o.intraPeriod;
  param.bEnableFrameSkip = false;
  // Key pictures only at the intra period, as a camera's encoder sends them (textured
  // pictures would otherwise look like scene changes).
  param.bEnableSceneChangeDetect = false;
  param.iMultipleThreadIdc = 1;
  param.iSpatialLayerNum = 1;
  param.iTemporalLayerNum = 1;
  SSpatialLayerConfig& layer = param.sSpatialLayers[0];
  layer.iVideoWidth = o.width;
  layer.iVideoHeight = o.height;
  layer.fFrameRate = 25;
  layer.iSpatialBitrate = o.bitrate;
  layer.iMaxSpatialBitrate = o.bitrate * 2;
  layer.sSliceArgument.uiSliceMode = o.slices > 1 ? SM_FIXEDSLCNUM_SLICE : SM_SINGLE_SLICE;
  layer.sSliceArgument.uiSliceNum = static_cast<unsigned>(std::max(1, o.slices));
  if (encoder->InitializeExt(&param) != 0) {
    WelsDestroySVCEncoder(encoder);
    return out;
  }
  int format = videoFormatI420;
  encoder->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
  for (int i = 0; i < o.pictures; ++i) {
    I420Picture pic = To420(MakeTestPicture(o.width, o.height, i, o.number));
    if (o.texture) AddPanningTexture(pic, i);
    SSourcePicture src{};
    src.iColorFormat = videoFormatI420;
    src.iPicWidth = o.width;
    src.iPicHeight = o.height;
    src.iStride[0] = o.width;
    src.iStride[1] = src.iStride[2] = pic.chromaWidth();
    src.pData[0] = pic.y.data();
    src.pData[1] = pic.u.data();
    src.pData[2] = pic.v.data();
    src.uiTimeStamp = i * 40;
    SFrameBSInfo info{};
    if (encoder->EncodeFrame(&src, &info) != cmResultSuccess) break;
    ++out.pictures;
    if (info.eFrameType == videoFrameTypeSkip) continue;
    for (int l = 0; l < info.iLayerNum; ++l) {
      const SLayerBSInfo& bs = info.sLayerInfo[l];
      const uint8_t* p = bs.pBsBuf;
      for (int k = 0; k < bs.iNalCount; ++k) {
        std::vector<uint8_t> nal(p, p + bs.pNalLengthInByte[k]);
        p += bs.pNalLengthInByte[k];
        for (auto& unit : SplitNalUnits(nal)) {
          int type = unit.size() > 4 ? unit[4] & 0x1f : 0;
          out.pictureOfFrame.push_back(type >= 1 && type <= 5 ? i : -1);
          out.frames.push_back(std::move(unit));
        }
      }
    }
  }
  encoder->Uninitialize();
  WelsDestroySVCEncoder(encoder);
  return out;
}

EncodedStream EncodeH264Avcodec(const H264Options& o, const std::string& name) {
  EncodedStream out;
  out.width = o.width;
  out.height = o.height;
  av_log_set_level(AV_LOG_ERROR);
  const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
  if (codec == nullptr) return out;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->width = o.width;
  ctx->height = o.height;
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->time_base = {1, 25};
  ctx->framerate = {25, 1};
  ctx->gop_size = o.intraPeriod;
  ctx->max_b_frames = 0;
  ctx->bit_rate = o.bitrate;
  ctx->thread_count = 1;
  av_opt_set(ctx->priv_data, "preset", "veryfast", 0);
  av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
  std::string params = "slices=" + std::to_string(std::max(1, o.slices)) + ":sliced-threads=0";
  av_opt_set(ctx->priv_data, "x264-params", params.c_str(), 0);
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    return out;
  }
  auto drain = [&](int picture) {
    while (avcodec_receive_packet(ctx, packet) == 0) {
      std::vector<uint8_t> bytes(packet->data, packet->data + packet->size);
      int owner = packet->pts != AV_NOPTS_VALUE ? static_cast<int>(packet->pts) : picture;
      for (auto& unit : SplitNalUnits(bytes)) {
        int type = unit.size() > 4 ? unit[4] & 0x1f : 0;
        out.pictureOfFrame.push_back(type >= 1 && type <= 5 ? owner : -1);
        out.frames.push_back(std::move(unit));
      }
      av_packet_unref(packet);
    }
  };
  for (int i = 0; i < o.pictures; ++i) {
    I420Picture pic = To420(MakeTestPicture(o.width, o.height, i, o.number));
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = o.width;
    frame->height = o.height;
    frame->data[0] = pic.y.data();
    frame->data[1] = pic.u.data();
    frame->data[2] = pic.v.data();
    frame->linesize[0] = o.width;
    frame->linesize[1] = frame->linesize[2] = pic.chromaWidth();
    frame->pts = i;
    if (avcodec_send_frame(ctx, frame) < 0) break;
    ++out.pictures;
    drain(i);
  }
  avcodec_send_frame(ctx, nullptr);
  drain(o.pictures - 1);
  frame->data[0] = frame->data[1] = frame->data[2] = nullptr;
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&ctx);
  return out;
}

std::vector<uint8_t> EncodeJpeg(const YuvPicture& picture, int subsampling, int quality) {
  int w = picture.width, h = picture.height;
  int cw = tjPlaneWidth(1, w, subsampling);
  int ch = tjPlaneHeight(1, h, subsampling);
  // Chroma is averaged over the block each chroma sample stands for.
  int sx = 1, sy = 1;
  switch (subsampling) {
    case TJSAMP_422:
      sx = 2;
      break;
    case TJSAMP_420:
      sx = 2, sy = 2;
      break;
    case TJSAMP_440:
      sy = 2;
      break;
    case TJSAMP_411:
      sx = 4;
      break;
    default:
      break;
  }
  std::vector<uint8_t> u, v;
  if (subsampling != TJSAMP_GRAY) {
    u.resize(static_cast<size_t>(cw) * ch);
    v.resize(u.size());
    for (int y = 0; y < ch; ++y) {
      for (int x = 0; x < cw; ++x) {
        int su = 0, sv = 0, count = 0;
        for (int dy = 0; dy < sy; ++dy) {
          for (int dx = 0; dx < sx; ++dx) {
            int px = x * sx + dx, py = y * sy + dy;
            if (px >= w || py >= h) continue;
            su += picture.u[static_cast<size_t>(py) * w + px];
            sv += picture.v[static_cast<size_t>(py) * w + px];
            ++count;
          }
        }
        if (count == 0) count = 1, su = sv = 128;
        u[static_cast<size_t>(y) * cw + x] = static_cast<uint8_t>((su + count / 2) / count);
        v[static_cast<size_t>(y) * cw + x] = static_cast<uint8_t>((sv + count / 2) / count);
      }
    }
  }
  // The luma plane is padded to whole chroma samples, repeating the last column and row.
  int yw = tjPlaneWidth(0, w, subsampling), yh = tjPlaneHeight(0, h, subsampling);
  std::vector<uint8_t> luma(static_cast<size_t>(yw) * yh);
  for (int y = 0; y < yh; ++y) {
    for (int x = 0; x < yw; ++x) {
      luma[static_cast<size_t>(y) * yw + x] =
          picture.y[static_cast<size_t>(std::min(y, h - 1)) * w + std::min(x, w - 1)];
    }
  }
  const unsigned char* planes[3] = {luma.data(), u.data(), v.data()};
  int strides[3] = {yw, cw, cw};
  tjhandle handle = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  std::vector<uint8_t> result;
  if (tjCompressFromYUVPlanes(handle, planes, w, strides, h, subsampling, &jpeg, &size, quality,
                              TJFLAG_ACCURATEDCT) == 0) {
    result.assign(jpeg, jpeg + size);
  }
  tjFree(jpeg);
  tjDestroy(handle);
  return result;
}

EncodedStream EncodeMpeg4Xvid(int width, int height, int pictures) {
  static std::once_flag once;
  std::call_once(once, [] {
    xvid_gbl_init_t init{};
    init.version = XVID_VERSION;
    xvid_global(nullptr, XVID_GBL_INIT, &init, nullptr);
  });
  EncodedStream out;
  out.width = width;
  out.height = height;
  xvid_enc_create_t create{};
  create.version = XVID_VERSION;
  create.width = width;
  create.height = height;
  create.fincr = 1;
  create.fbase = 25;
  create.max_key_interval = 15;
  create.max_bframes = 0;
  if (xvid_encore(nullptr, XVID_ENC_CREATE, &create, nullptr) < 0) return out;
  std::vector<uint8_t> bitstream(static_cast<size_t>(width) * height * 2 + 4096);
  for (int i = 0; i < pictures; ++i) {
    I420Picture pic = To420(MakeTestPicture(width, height, i));
    xvid_enc_frame_t frame{};
    frame.version = XVID_VERSION;
    frame.vop_flags = XVID_VOP_HALFPEL;
    frame.input.csp = XVID_CSP_PLANAR;
    frame.input.plane[0] = pic.y.data();
    frame.input.plane[1] = pic.u.data();
    frame.input.plane[2] = pic.v.data();
    frame.input.stride[0] = width;
    frame.input.stride[1] = frame.input.stride[2] = pic.chromaWidth();
    frame.type = XVID_TYPE_AUTO;
    frame.quant = 3;
    frame.bitstream = bitstream.data();
    frame.length = static_cast<int>(bitstream.size());
    int bytes = xvid_encore(create.handle, XVID_ENC_ENCODE, &frame, nullptr);
    if (bytes < 0) break;
    ++out.pictures;
    if (bytes == 0) continue;
    out.frames.emplace_back(bitstream.begin(), bitstream.begin() + bytes);
    out.pictureOfFrame.push_back(i);
  }
  xvid_encore(create.handle, XVID_ENC_DESTROY, nullptr, nullptr);
  return out;
}

std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(gen() & 0xff);
  return bytes;
}

}  // namespace kv::test
