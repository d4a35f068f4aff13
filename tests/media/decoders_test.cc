// Decoder layers: H.264 (OpenH264 layer and libavcodec object) fed one NAL unit per frame as
// the conduit delivers it, MJPEG in every chroma sampling, MPEG-4 through XviD, and damaged
// input of every kind.
#include <sys/mman.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "sdk/media/avcodec_h264.h"
#include "sdk/media/avcodec_loader.h"
#include "sdk/platform/critical_section.h"
#include "sdk/platform/dynamic_library.h"
#include "sdk/platform/hi264_dec.h"
#include "sdk/platform/hi_mjpeg_dec.h"
#include "sdk/platform/xvid_dec.h"
#include "tests/support/test_streams.h"

namespace kv {
namespace {

using platform::H264DecAttributes;
using platform::H264DecPicture;
using test::EncodedStream;

// One picture as a decoder handed it back, copied out of the decoder's buffers.
struct Output {
  size_t frameIndex = 0;  // the input frame whose call produced it
  int number = -1;        // the picture number written into it
  double psnrY = 0, psnrU = 0, psnrV = 0;
  int width = 0, height = 0;
};

Output Measure(size_t frameIndex, const uint8_t* y, const uint8_t* u, const uint8_t* v, int yStride,
               int uvStride, int width, int height) {
  Output out;
  out.frameIndex = frameIndex;
  out.width = width;
  out.height = height;
  out.number = test::ReadPictureNumber(y, yStride, width, height);
  if (out.number >= 0) {
    test::I420Picture ref = test::To420(test::MakeTestPicture(width, height, out.number));
    out.psnrY = test::PlanePsnr(ref.y.data(), width, y, yStride, width, height);
    out.psnrU = test::PlanePsnr(ref.u.data(), ref.chromaWidth(), u, uvStride, ref.chromaWidth(),
                                ref.chromaHeight());
    out.psnrV = test::PlanePsnr(ref.v.data(), ref.chromaWidth(), v, uvStride, ref.chromaWidth(),
                                ref.chromaHeight());
  }
  return out;
}

// Index of the last frame of each source picture: where a decoder with no delay hands it out.
std::map<int, size_t> LastFrameOfPicture(const EncodedStream& stream) {
  std::map<int, size_t> last;
  for (size_t i = 0; i < stream.frames.size(); ++i) {
    if (stream.pictureOfFrame[i] >= 0) last[stream.pictureOfFrame[i]] = i;
  }
  return last;
}

// Every source picture comes out once, whole (all slice copies of its number agree and the
// planes match the source), in order, with the call that delivered its last slice, or at most
// `delay` pictures later (frame index past the end: the end-of-stream drain).
void ExpectWholePictures(const EncodedStream& stream, const std::vector<Output>& outputs,
                         int delay) {
  std::map<int, size_t> last = LastFrameOfPicture(stream);
  last[stream.pictures] = stream.frames.size();
  ASSERT_EQ(outputs.size(), static_cast<size_t>(stream.pictures));
  for (size_t k = 0; k < outputs.size(); ++k) {
    SCOPED_TRACE("picture " + std::to_string(k));
    const Output& out = outputs[k];
    EXPECT_EQ(out.number, static_cast<int>(k));
    int due = std::min(static_cast<int>(k) + delay, stream.pictures);
    EXPECT_EQ(out.frameIndex, last[due]) << "picture out early (torn) or late";
    EXPECT_EQ(out.width, stream.width);
    EXPECT_EQ(out.height, stream.height);
    EXPECT_GT(out.psnrY, 32.0);
    EXPECT_GT(out.psnrU, 32.0);
    EXPECT_GT(out.psnrV, 32.0);
  }
}

std::vector<Output> DecodeWithPlatformLayer(const EncodedStream& stream) {
  H264DecAttributes attributes{};
  attributes.widthInMacroblocks = static_cast<uint32_t>(stream.width / 16 + 1);
  attributes.heightInMacroblocks = static_cast<uint32_t>(stream.height / 16 + 1);
  attributes.bufferCount = 1;
  platform::Hi264DecHandle handle = platform::Hi264DecCreate(&attributes);
  std::vector<Output> outputs;
  if (handle == nullptr) {
    ADD_FAILURE() << "Hi264DecCreate failed";
    return outputs;
  }
  for (size_t i = 0; i < stream.frames.size(); ++i) {
    const auto& frame = stream.frames[i];
    H264DecPicture picture{};
    int32_t result = platform::Hi264DecFrame(handle, frame.data(),
                                             static_cast<uint32_t>(frame.size()), 0, &picture, 0);
    while (result == platform::kHi264DecPicture) {
      outputs.push_back(Measure(i, picture.y, picture.u, picture.v,
                                static_cast<int>(picture.yStride),
                                static_cast<int>(picture.uvStride), static_cast<int>(picture.width),
                                static_cast<int>(picture.height)));
      result = platform::Hi264DecFrame(handle, nullptr, 0, 0, &picture, 0);
    }
    EXPECT_EQ(result, platform::kHi264DecNeedMoreBits) << "frame " << i;
  }
  // End of stream: pictures held for display order come out now.
  H264DecPicture picture{};
  while (platform::Hi264DecFrame(handle, nullptr, 0, 0, &picture, platform::kHi264DecFlushAll) ==
         platform::kHi264DecPicture) {
    outputs.push_back(Measure(stream.frames.size(), picture.y, picture.u, picture.v,
                              static_cast<int>(picture.yStride), static_cast<int>(picture.uvStride),
                              static_cast<int>(picture.width), static_cast<int>(picture.height)));
  }
  platform::Hi264DecDestroy(handle);
  return outputs;
}

std::vector<Output> DecodeWithAvcodec(AvcodecH264Decoder& decoder, const EncodedStream& stream) {
  std::vector<Output> outputs;
  for (size_t i = 0; i < stream.frames.size(); ++i) {
    VideoPicture picture;
    int result = decoder.Decode(stream.frames[i].data(), stream.frames[i].size(), &picture);
    EXPECT_GE(result, 0) << "frame " << i;
    if (result == 1) {
      outputs.push_back(Measure(i, picture.y, picture.u, picture.v, picture.yStride,
                                picture.uvStride, picture.width, picture.height));
    }
  }
  return outputs;
}

const EncodedStream& OpenH264Stream() {
  static const EncodedStream stream = test::EncodeH264OpenH264({});
  return stream;
}

// libavcodec's own encoder (x264, CABAC, several slices) when the build has it.
const EncodedStream& X264Stream() {
  static const EncodedStream stream = test::EncodeH264Avcodec({}, "libx264");
  return stream;
}

int CountVclUnits(const EncodedStream& stream) {
  int count = 0;
  for (int picture : stream.pictureOfFrame) count += picture >= 0 ? 1 : 0;
  return count;
}

class EnvironmentOverride {
 public:
  EnvironmentOverride(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value, 1);
  }
  ~EnvironmentOverride() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

bool LoadAvcodec() {
  platform::FlaggedCriticalSection loaderLock;
  loaderLock.Initialise();
  return AvcodecLoad(&loaderLock);
}

// --- H.264 -----------------------------------------------------------------------------

TEST(H264StreamTest, EncoderCutsEveryPictureIntoSeveralNalUnits) {
  const EncodedStream& stream = OpenH264Stream();
  ASSERT_EQ(stream.pictures, 30);
  EXPECT_EQ(CountVclUnits(stream), 30 * 4);
  for (const auto& frame : stream.frames) {
    ASSERT_GT(frame.size(), 4u);
    EXPECT_EQ(0, std::memcmp(frame.data(), "\0\0\0\1", 4));
  }
}

TEST(Hi264DecTest, SlicePerFrameGivesWholePicturesAtTheirLastSlice) {
  const EncodedStream& stream = OpenH264Stream();
  ExpectWholePictures(stream, DecodeWithPlatformLayer(stream), 0);
}

// OpenH264 holds each picture of a main/high profile stream until the next one shows it need
// not be reordered: whole pictures, one picture late.
TEST(Hi264DecTest, DecodesHighProfileCabacStreamsOnePictureLate) {
  const EncodedStream& stream = X264Stream();
  if (stream.frames.empty()) GTEST_SKIP() << "libavcodec has no libx264 encoder";
  ASSERT_GT(CountVclUnits(stream), stream.pictures);
  ExpectWholePictures(stream, DecodeWithPlatformLayer(stream), 1);
}

TEST(Hi264DecTest, RefusesUnsupportedAttributesAndBadHandles) {
  H264DecAttributes attributes{};
  attributes.pictureFormat = 1;
  EXPECT_EQ(platform::Hi264DecCreate(&attributes), nullptr);
  attributes.pictureFormat = 0;
  attributes.streamInputType = 2;
  EXPECT_EQ(platform::Hi264DecCreate(&attributes), nullptr);
  EXPECT_EQ(platform::Hi264DecCreate(nullptr), nullptr);

  H264DecPicture picture{};
  const uint8_t unit[] = {0, 0, 0, 1, 0x67};
  EXPECT_EQ(platform::Hi264DecFrame(nullptr, unit, sizeof unit, 0, &picture, 0),
            platform::kHi264DecHandleError);
  attributes.streamInputType = 0;
  platform::Hi264DecHandle handle = platform::Hi264DecCreate(&attributes);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(platform::Hi264DecFrame(handle, unit, sizeof unit, 0, nullptr, 0),
            platform::kHi264DecHandleError);
  EXPECT_EQ(platform::Hi264DecFrame(handle, nullptr, 5, 0, &picture, 0),
            platform::kHi264DecHandleError);
  // Draining a decoder that holds nothing asks for more data, with or without end of stream.
  EXPECT_EQ(platform::Hi264DecFrame(handle, nullptr, 0, 0, &picture, 0),
            platform::kHi264DecNeedMoreBits);
  EXPECT_EQ(platform::Hi264DecFrame(handle, nullptr, 0, 0, &picture, platform::kHi264DecFlushAll),
            platform::kHi264DecNeedMoreBits);
  platform::Hi264DecDestroy(handle);
  platform::Hi264DecDestroy(nullptr);
}

TEST(Hi264DecTest, SlicesWithoutParameterSetsGiveNoPicture) {
  const EncodedStream& stream = OpenH264Stream();
  H264DecAttributes attributes{};
  platform::Hi264DecHandle handle = platform::Hi264DecCreate(&attributes);
  ASSERT_NE(handle, nullptr);
  int pictures = 0;
  for (size_t i = 0; i < stream.frames.size(); ++i) {
    if (stream.pictureOfFrame[i] < 0) continue;  // parameter sets withheld
    H264DecPicture picture{};
    int32_t result =
        platform::Hi264DecFrame(handle, stream.frames[i].data(),
                                static_cast<uint32_t>(stream.frames[i].size()), 0, &picture, 0);
    EXPECT_NE(result, platform::kHi264DecHandleError);
    pictures += result == platform::kHi264DecPicture ? 1 : 0;
  }
  EXPECT_EQ(pictures, 0);
  platform::Hi264DecDestroy(handle);
}

TEST(AvcodecLoaderTest, LoadsTheLibraryNamedByTheHeadersOnce) {
  EXPECT_EQ(AvcodecLibraryName(), "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR));
  ASSERT_TRUE(LoadAvcodec()) << "libavcodec is installed for the tests";
  EXPECT_TRUE(AvcodecAvailable());
  const AvcodecApi* api = AvcodecEntryPoints();
  ASSERT_NE(api, nullptr);
  EXPECT_TRUE(LoadAvcodec());
  EXPECT_EQ(AvcodecEntryPoints(), api);
  EXPECT_NE(api->avcodec_find_decoder(AV_CODEC_ID_H264), nullptr);

  AvcodecUnload();
  EXPECT_FALSE(AvcodecAvailable());
  EXPECT_EQ(AvcodecEntryPoints(), nullptr);
  AvcodecH264Decoder decoder;
  EXPECT_FALSE(decoder.Open(nullptr));
  // Works unlocked too, as before the process-wide locks are made.
  EXPECT_TRUE(AvcodecLoad(nullptr));
  EXPECT_TRUE(decoder.Open(nullptr));
}

TEST(AvcodecLoaderTest, SwitchedOffByEnvironment) {
  ASSERT_TRUE(LoadAvcodec());
  {
    EnvironmentOverride off("KVNET_AVCODEC", "off");
    EXPECT_FALSE(AvcodecAvailable());
    EXPECT_FALSE(LoadAvcodec());
    EXPECT_EQ(AvcodecEntryPoints(), nullptr);
    AvcodecH264Decoder decoder;
    EXPECT_FALSE(decoder.Open(nullptr));
  }
  EXPECT_TRUE(AvcodecAvailable());
  EnvironmentOverride other("KVNET_AVCODEC", "on");
  EXPECT_TRUE(LoadAvcodec());
}

TEST(DynamicLibraryTest, ResolvesThroughDependenciesAndReportsMissingLibraries) {
  platform::DynamicLibrary library;
  EXPECT_FALSE(library.Open("libkvnet-does-not-exist.so.7"));
  EXPECT_FALSE(library.IsOpen());
  EXPECT_FALSE(library.LastError().empty());
  EXPECT_EQ(library.Symbol("avcodec_version"), nullptr);

  ASSERT_TRUE(library.Open(AvcodecLibraryName()));
  EXPECT_NE(library.Symbol("avcodec_version"), nullptr);
  EXPECT_NE(library.Symbol("av_frame_alloc"), nullptr);  // from libavutil
  EXPECT_EQ(library.Symbol("kvnet_no_such_symbol"), nullptr);
  library.Close();
  EXPECT_EQ(library.Symbol("avcodec_version"), nullptr);
}

class AvcodecH264Test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!LoadAvcodec()) GTEST_SKIP() << "libavcodec not loadable";
    decoderLock_.Initialise();
    ASSERT_TRUE(decoder_.Open(&decoderLock_));
  }
  void TearDown() override { decoder_.Close(&decoderLock_); }

  platform::FlaggedCriticalSection decoderLock_;
  AvcodecH264Decoder decoder_;
};

TEST_F(AvcodecH264Test, SlicePerFrameGivesWholePicturesAtTheirLastSlice) {
  const EncodedStream& stream = OpenH264Stream();
  ExpectWholePictures(stream, DecodeWithAvcodec(decoder_, stream), 0);
  EXPECT_EQ(decoder_.Width(), stream.width);
  EXPECT_EQ(decoder_.Height(), stream.height);
}

TEST_F(AvcodecH264Test, CabacStreamWithSeveralSlices) {
  const EncodedStream& stream = X264Stream();
  if (stream.frames.empty()) GTEST_SKIP() << "libavcodec has no libx264 encoder";
  ExpectWholePictures(stream, DecodeWithAvcodec(decoder_, stream), 0);
}

TEST_F(AvcodecH264Test, RestartsCleanAfterFlushAtTheNextParameterSet) {
  const EncodedStream& stream = OpenH264Stream();  // key pictures every 15
  size_t cut = 0, restart = 0;
  for (size_t i = 0; i < stream.frames.size(); ++i) {
    if (stream.pictureOfFrame[i] == 7 && cut == 0) cut = i;
    if (i > cut && cut != 0 && (stream.frames[i][4] & 0x1f) == 7) {
      restart = i;
      break;
    }
  }
  ASSERT_GT(restart, cut);
  std::vector<int> numbers;
  VideoPicture picture;
  for (size_t i = 0; i < cut; ++i) {
    if (decoder_.Decode(stream.frames[i].data(), stream.frames[i].size(), &picture) == 1) {
      numbers.push_back(
          test::ReadPictureNumber(picture.y, picture.yStride, picture.width, picture.height));
    }
  }
  decoder_.Flush();
  for (size_t i = restart; i < stream.frames.size(); ++i) {
    if (decoder_.Decode(stream.frames[i].data(), stream.frames[i].size(), &picture) == 1) {
      numbers.push_back(
          test::ReadPictureNumber(picture.y, picture.yStride, picture.width, picture.height));
    }
  }
  std::vector<int> expected;
  for (int n = 0; n < 7; ++n) expected.push_back(n);
  for (int n = 15; n < 30; ++n) expected.push_back(n);
  EXPECT_EQ(numbers, expected);
}

TEST_F(AvcodecH264Test, IgnoresEmptyInputAndRefusesUseWhenClosed) {
  VideoPicture picture;
  EXPECT_EQ(decoder_.Decode(nullptr, 0, &picture), 0);
  decoder_.Close(&decoderLock_);
  EXPECT_FALSE(decoder_.IsOpen());
  const uint8_t unit[] = {0, 0, 0, 1, 0x67};
  EXPECT_LT(decoder_.Decode(unit, sizeof unit, &picture), 0);
  decoder_.Flush();
  EXPECT_EQ(decoder_.Width(), 0);
}

// The stream without the last slice of picture 5 (a lost datagram).
EncodedStream WithoutLastSliceOfPicture5() {
  EncodedStream stream = OpenH264Stream();
  size_t last = LastFrameOfPicture(stream)[5];
  stream.frames.erase(stream.frames.begin() + static_cast<std::ptrdiff_t>(last));
  stream.pictureOfFrame.erase(stream.pictureOfFrame.begin() + static_cast<std::ptrdiff_t>(last));
  return stream;
}

// Pictures before the loss and from the next key picture on are whole and on time.
void ExpectRecoveryAfterLoss(const EncodedStream& stream, const std::vector<Output>& outputs) {
  std::map<int, size_t> last = LastFrameOfPicture(stream);
  std::map<int, const Output*> byNumber;
  for (const Output& out : outputs) {
    EXPECT_EQ(out.width, stream.width);
    EXPECT_EQ(out.height, stream.height);
    if (out.number >= 0) byNumber[out.number] = &out;
  }
  for (int n = 0; n < stream.pictures; ++n) {
    if (n >= 5 && n < 15) continue;
    SCOPED_TRACE("picture " + std::to_string(n));
    ASSERT_TRUE(byNumber.count(n));
    EXPECT_EQ(byNumber[n]->frameIndex, last[n]);
    EXPECT_GT(byNumber[n]->psnrY, 32.0);
  }
}

TEST(Hi264DecTest, RecoversFromALostSlice) {
  EncodedStream stream = WithoutLastSliceOfPicture5();
  ExpectRecoveryAfterLoss(stream, DecodeWithPlatformLayer(stream));
}

TEST_F(AvcodecH264Test, PictureMissingItsLastSliceIsDroppedUntilTheNextKeyPicture) {
  EncodedStream stream = WithoutLastSliceOfPicture5();
  std::vector<Output> outputs = DecodeWithAvcodec(decoder_, stream);
  ExpectRecoveryAfterLoss(stream, outputs);
  // Nothing half-built is shown in between.
  std::vector<int> numbers;
  for (const Output& out : outputs) numbers.push_back(out.number);
  std::vector<int> expected = {0, 1, 2, 3, 4};
  for (int n = 15; n < 30; ++n) expected.push_back(n);
  EXPECT_EQ(numbers, expected);
}

// --- Damaged H.264 -------------------------------------------------------------------------

// The stream with units cut short, bytes flipped and random units mixed in.
std::vector<std::vector<uint8_t>> DamagedH264Frames() {
  const EncodedStream& stream = OpenH264Stream();
  std::vector<std::vector<uint8_t>> frames;
  for (size_t i = 0; i < stream.frames.size(); ++i) {
    std::vector<uint8_t> frame = stream.frames[i];
    switch (i % 5) {
      case 1:
        frame.resize(std::max<size_t>(5, frame.size() / 3));
        break;
      case 2:
        for (size_t k = 5; k < frame.size(); k += 7) frame[k] ^= 0x5a;
        break;
      case 3: {
        auto noise = test::RandomBytes(200 + i * 13, static_cast<uint32_t>(i));
        frames.push_back({0, 0, 0, 1});
        frames.back().insert(frames.back().end(), noise.begin(), noise.end());
        break;
      }
      default:
        break;
    }
    frames.push_back(std::move(frame));
  }
  frames.push_back(test::RandomBytes(4096, 99));
  frames.push_back({0, 0, 0, 1});
  frames.push_back({0, 0, 1});
  return frames;
}

TEST(DamagedH264Test, PlatformLayerSurvivesEveryKindOfDamage) {
  H264DecAttributes attributes{};
  platform::Hi264DecHandle handle = platform::Hi264DecCreate(&attributes);
  ASSERT_NE(handle, nullptr);
  for (const auto& frame : DamagedH264Frames()) {
    H264DecPicture picture{};
    int32_t result = platform::Hi264DecFrame(handle, frame.data(),
                                             static_cast<uint32_t>(frame.size()), 0, &picture, 0);
    ASSERT_GE(result, platform::kHi264DecNoPicture);
    if (result == platform::kHi264DecPicture) {
      EXPECT_EQ(picture.width, 320u);
      EXPECT_EQ(picture.height, 240u);
      EXPECT_GE(picture.yStride, picture.width);
    }
  }
  platform::Hi264DecDestroy(handle);
}

TEST_F(AvcodecH264Test, SurvivesEveryKindOfDamage) {
  for (const auto& frame : DamagedH264Frames()) {
    VideoPicture picture;
    if (decoder_.Decode(frame.data(), frame.size(), &picture) == 1) {
      EXPECT_EQ(picture.width, 320);
      EXPECT_EQ(picture.height, 240);
      EXPECT_GE(picture.yStride, picture.width);
    }
  }
  // Still decodes a clean stream afterwards once flushed.
  decoder_.Flush();
  const EncodedStream& stream = OpenH264Stream();
  int good = 0;
  for (const auto& frame : stream.frames) {
    VideoPicture picture;
    if (decoder_.Decode(frame.data(), frame.size(), &picture) == 1 &&
        test::ReadPictureNumber(picture.y, picture.yStride, picture.width, picture.height) >= 0) {
      ++good;
    }
  }
  EXPECT_EQ(good, stream.pictures);
}

// --- MJPEG ---------------------------------------------------------------------------------

class MjpegDecTest : public ::testing::TestWithParam<std::tuple<int, int, int>> {
 protected:
  void SetUp() override {
    platform::MjpegDecAttributes attributes{};
    attributes.width = 320;
    attributes.height = 240;
    handle_ = platform::HiMJPEGDecCreate(&attributes);
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override { platform::HiMJPEGDecDestroy(handle_); }

  platform::HiMjpegDecHandle handle_ = nullptr;
};

TEST_P(MjpegDecTest, GivesPlanar420WhateverTheSampling) {
  auto [subsampling, width, height] = GetParam();
  test::YuvPicture source = test::MakeTestPicture(width, height, 77);
  std::vector<uint8_t> jpeg = test::EncodeJpeg(source, subsampling);
  ASSERT_FALSE(jpeg.empty());
  platform::MjpegDecPicture picture{};
  ASSERT_EQ(platform::HiMJPEGDecFrame(handle_, jpeg.data(), static_cast<uint32_t>(jpeg.size()), 0,
                                      &picture, 0),
            platform::kMjpegDecOk);
  ASSERT_EQ(picture.width, static_cast<uint32_t>(width));
  ASSERT_EQ(picture.height, static_cast<uint32_t>(height));
  Output out = Measure(0, picture.y, picture.u, picture.v, static_cast<int>(picture.yStride),
                       static_cast<int>(picture.uvStride), width, height);
  EXPECT_EQ(out.number, 77);
  EXPECT_GT(out.psnrY, 35.0);
  if (subsampling == TJSAMP_GRAY) {
    int cw = (width + 1) / 2, ch = (height + 1) / 2;
    ASSERT_GE(picture.uvStride, static_cast<uint32_t>(cw));
    for (int y = 0; y < ch; ++y) {
      for (int x = 0; x < cw; ++x) {
        ASSERT_EQ(picture.u[y * picture.uvStride + x], 128);
        ASSERT_EQ(picture.v[y * picture.uvStride + x], 128);
      }
    }
  } else {
    // 4:1:1 keeps only a quarter of the horizontal chroma detail.
    double floor = subsampling == TJSAMP_411 ? 27.0 : 30.0;
    EXPECT_GT(out.psnrU, floor);
    EXPECT_GT(out.psnrV, floor);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Samplings, MjpegDecTest,
    ::testing::Values(std::tuple{TJSAMP_420, 320, 240}, std::tuple{TJSAMP_422, 320, 240},
                      std::tuple{TJSAMP_444, 320, 240}, std::tuple{TJSAMP_GRAY, 320, 240},
                      std::tuple{TJSAMP_440, 320, 240}, std::tuple{TJSAMP_411, 320, 240},
                      std::tuple{TJSAMP_420, 331, 213}, std::tuple{TJSAMP_422, 331, 213},
                      std::tuple{TJSAMP_444, 331, 213}, std::tuple{TJSAMP_411, 333, 211}));

// RTP JPEG pictures end with their scan data, without the end-of-image marker: a whole scan
// decodes to the same picture as the complete file, while a cut one still fails.
TEST(MjpegDecDamageTest, PictureWithoutEndMarkerDecodesWhenItsScanIsWhole) {
  platform::HiMjpegDecHandle handle = platform::HiMJPEGDecCreate(nullptr);
  ASSERT_NE(handle, nullptr);
  const std::vector<uint8_t> jpeg =
      test::EncodeJpeg(test::MakeTestPicture(320, 240, 9), TJSAMP_420);
  ASSERT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  ASSERT_EQ(jpeg[jpeg.size() - 1], 0xD9);
  platform::MjpegDecPicture whole{};
  ASSERT_EQ(platform::HiMJPEGDecFrame(handle, jpeg.data(), static_cast<uint32_t>(jpeg.size()), 0,
                                      &whole, 0),
            platform::kMjpegDecOk);
  const std::vector<uint8_t> lumaWhole(whole.y, whole.y + whole.yStride * whole.height);
  platform::MjpegDecPicture open{};
  ASSERT_EQ(platform::HiMJPEGDecFrame(handle, jpeg.data(), static_cast<uint32_t>(jpeg.size() - 2),
                                      0, &open, 0),
            platform::kMjpegDecOk);
  EXPECT_EQ(open.width, 320u);
  EXPECT_EQ(open.height, 240u);
  EXPECT_EQ(std::vector<uint8_t>(open.y, open.y + open.yStride * open.height), lumaWhole);
  EXPECT_EQ(platform::HiMJPEGDecFrame(handle, jpeg.data(), static_cast<uint32_t>(jpeg.size() - 40),
                                      0, &open, 0),
            platform::kMjpegDecBadStream);
  platform::HiMJPEGDecDestroy(handle);
}

TEST(MjpegDecDamageTest, TruncatedCorruptAndForeignDataFailCleanly) {
  platform::HiMjpegDecHandle handle = platform::HiMJPEGDecCreate(nullptr);
  ASSERT_NE(handle, nullptr);
  std::vector<uint8_t> jpeg = test::EncodeJpeg(test::MakeTestPicture(320, 240, 5), TJSAMP_422);
  platform::MjpegDecPicture picture{};
  auto decode = [&](const std::vector<uint8_t>& data) {
    return platform::HiMJPEGDecFrame(handle, data.data(), static_cast<uint32_t>(data.size()), 0,
                                     &picture, 0);
  };
  for (size_t keep : {jpeg.size() / 2, jpeg.size() - 10, size_t{200}, size_t{20}, size_t{2}}) {
    EXPECT_EQ(decode({jpeg.begin(), jpeg.begin() + keep}), platform::kMjpegDecBadStream) << keep;
  }
  EXPECT_EQ(decode(test::RandomBytes(5000, 3)), platform::kMjpegDecBadStream);
  std::vector<uint8_t> corrupt = jpeg;
  for (size_t k = corrupt.size() / 3; k < corrupt.size() - 2; k += 11) corrupt[k] = 0xff;
  EXPECT_NE(decode(corrupt), platform::kMjpegDecOk);
  EXPECT_EQ(platform::HiMJPEGDecFrame(handle, nullptr, 0, 0, &picture, 0),
            platform::kMjpegDecBadStream);
  EXPECT_EQ(platform::HiMJPEGDecFrame(nullptr, jpeg.data(), 10, 0, &picture, 0),
            platform::kMjpegDecHandleError);
  // The decoder is still good after all that.
  EXPECT_EQ(decode(jpeg), platform::kMjpegDecOk);
  EXPECT_EQ(test::ReadPictureNumber(picture.y, static_cast<int>(picture.yStride), 320, 240), 5);
  platform::HiMJPEGDecDestroy(handle);
}

// --- MPEG-4 --------------------------------------------------------------------------------

TEST(XvidDecTest, DecodesEveryPictureIntoTheGivenBuffer) {
  EncodedStream stream = test::EncodeMpeg4Xvid(320, 240, 20);
  ASSERT_EQ(stream.frames.size(), 20u);
  platform::XvidDecoder decoder;
  ASSERT_TRUE(decoder.Create());
  std::vector<uint8_t> buffer(320 * 240 * 2, 0);
  std::vector<int> numbers;
  bool sawHeader = false;
  for (const auto& frame : stream.frames) {
    platform::XvidPicture picture;
    int used =
        decoder.Decode(frame.data(), frame.size(), buffer.data(), buffer.size(), 320, &picture);
    ASSERT_GT(used, 0);
    sawHeader |= picture.width == 320 && picture.height == 240;
    if (picture.type == platform::kXvidTypeIVop || picture.type == platform::kXvidTypePVop) {
      EXPECT_EQ(picture.y, buffer.data());
      EXPECT_EQ(picture.u, buffer.data() + 320 * 240);
      EXPECT_EQ(picture.v, buffer.data() + 320 * 240 * 5 / 4);
      Output out = Measure(0, picture.y, picture.u, picture.v, picture.yStride, picture.uvStride,
                           picture.width, picture.height);
      EXPECT_GT(out.psnrY, 32.0);
      EXPECT_GT(out.psnrU, 30.0);
      numbers.push_back(out.number);
    }
  }
  EXPECT_TRUE(sawHeader);
  std::vector<int> expected;
  for (int n = 0; n < 20; ++n) expected.push_back(n);
  EXPECT_EQ(numbers, expected);
}

TEST(XvidDecTest, RefusesPicturesThatDoNotFitAndWritesNothingPastTheBuffer) {
  EncodedStream stream = test::EncodeMpeg4Xvid(320, 240, 3);
  ASSERT_FALSE(stream.frames.empty());
  struct Case {
    size_t bufferSize;
    int stride;
  };
  // A buffer sized for a smaller configured picture, a stride narrower than the picture, and
  // a buffer one byte short.
  for (Case c :
       {Case{160 * 120 * 2, 160}, Case{320 * 240 * 2, 300}, Case{320 * 240 * 3 / 2 - 1, 320}}) {
    SCOPED_TRACE(std::to_string(c.bufferSize) + " stride " + std::to_string(c.stride));
    platform::XvidDecoder decoder;
    ASSERT_TRUE(decoder.Create());
    constexpr size_t kGuard = 4096;
    std::vector<uint8_t> memory(c.bufferSize + kGuard, 0xcd);
    platform::XvidPicture picture;
    int result = decoder.Decode(stream.frames[0].data(), stream.frames[0].size(), memory.data(),
                                c.bufferSize, c.stride, &picture);
    EXPECT_EQ(result, platform::kXvidDecRefused);
    EXPECT_NE(picture.type, platform::kXvidTypeIVop);
    for (size_t k = 0; k < memory.size(); ++k) {
      ASSERT_EQ(memory[k], 0xcd) << "written at " << k;
    }
  }
  // Exactly big enough is accepted.
  platform::XvidDecoder decoder;
  ASSERT_TRUE(decoder.Create());
  std::vector<uint8_t> exact(320 * 240 * 3 / 2);
  platform::XvidPicture picture;
  EXPECT_GT(decoder.Decode(stream.frames[0].data(), stream.frames[0].size(), exact.data(),
                           exact.size(), 320, &picture),
            0);
  EXPECT_EQ(picture.type, platform::kXvidTypeIVop);
}

TEST(XvidDecTest, DamagedInputNeverCrashes) {
  EncodedStream stream = test::EncodeMpeg4Xvid(320, 240, 10);
  platform::XvidDecoder decoder;
  EXPECT_EQ(
      decoder.Decode(stream.frames[0].data(), stream.frames[0].size(), nullptr, 0, 0, nullptr),
      platform::kXvidDecNoHandle);
  ASSERT_TRUE(decoder.Create());
  std::vector<uint8_t> buffer(320 * 240 * 2);
  int pictures = 0;
  for (size_t i = 0; i < stream.frames.size(); ++i) {
    std::vector<uint8_t> frame = stream.frames[i];
    if (i % 3 == 1) frame.resize(frame.size() / 2);
    if (i % 3 == 2) {
      for (size_t k = 40; k < frame.size(); k += 5) frame[k] ^= 0xa5;
    }
    for (const auto& data : {frame, test::RandomBytes(777, static_cast<uint32_t>(i))}) {
      platform::XvidPicture picture;
      int result =
          decoder.Decode(data.data(), data.size(), buffer.data(), buffer.size(), 320, &picture);
      if (result >= 0 && picture.type > 0) {
        ++pictures;
        EXPECT_EQ(picture.width, 320);
        EXPECT_EQ(picture.height, 240);
      }
    }
  }
  EXPECT_GT(pictures, 0);
}

// ---- Frames that end where readable memory ends ----

// A copy of one frame placed so that its last byte is the last readable byte: an inaccessible
// page follows, as the end of the worker's frame buffer or of a caller's allocation may.
class FrameAtPageEnd {
 public:
  explicit FrameAtPageEnd(const std::vector<uint8_t>& frame) {
    constexpr size_t kPage = 4096;
    readable_ = (frame.size() + kPage - 1) / kPage * kPage;
    size_ = readable_ + kPage;
    void* mapping =
        mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return;
    mapping_ = static_cast<uint8_t*>(mapping);
    if (mprotect(mapping_ + readable_, kPage, PROT_NONE) != 0) return;
    data_ = mapping_ + readable_ - frame.size();
    std::memcpy(data_, frame.data(), frame.size());
  }
  ~FrameAtPageEnd() {
    if (mapping_ != nullptr) munmap(mapping_, size_);
  }
  FrameAtPageEnd(const FrameAtPageEnd&) = delete;
  FrameAtPageEnd& operator=(const FrameAtPageEnd&) = delete;
  const uint8_t* data() const { return data_; }

 private:
  uint8_t* mapping_ = nullptr;
  uint8_t* data_ = nullptr;
  size_t readable_ = 0;
  size_t size_ = 0;
};

// Every decoder reads only the frame it is given (a read past it would end the test process).
TEST(DecoderInputBoundsTest, EveryDecoderReadsNothingPastTheFrame) {
  {
    SCOPED_TRACE("XviD");
    const EncodedStream stream = test::EncodeMpeg4Xvid(320, 240, 4);
    platform::XvidDecoder decoder;
    ASSERT_TRUE(decoder.Create());
    std::vector<uint8_t> buffer(320 * 240 * 2);
    int pictures = 0;
    for (const auto& frame : stream.frames) {
      const FrameAtPageEnd at(frame);
      ASSERT_NE(at.data(), nullptr);
      platform::XvidPicture picture;
      EXPECT_GT(
          decoder.Decode(at.data(), frame.size(), buffer.data(), buffer.size(), 320, &picture), 0);
      pictures +=
          picture.type == platform::kXvidTypeIVop || picture.type == platform::kXvidTypePVop;
    }
    EXPECT_EQ(pictures, 4);
  }
  {
    SCOPED_TRACE("OpenH264");
    const EncodedStream& stream = OpenH264Stream();
    H264DecAttributes attributes{};
    attributes.widthInMacroblocks = static_cast<uint32_t>(stream.width / 16 + 1);
    attributes.heightInMacroblocks = static_cast<uint32_t>(stream.height / 16 + 1);
    attributes.bufferCount = 1;
    platform::Hi264DecHandle handle = platform::Hi264DecCreate(&attributes);
    ASSERT_NE(handle, nullptr);
    int pictures = 0;
    for (const auto& frame : stream.frames) {
      const FrameAtPageEnd at(frame);
      ASSERT_NE(at.data(), nullptr);
      H264DecPicture picture{};
      int32_t result = platform::Hi264DecFrame(handle, at.data(),
                                               static_cast<uint32_t>(frame.size()), 0, &picture, 0);
      for (; result == platform::kHi264DecPicture;
           result = platform::Hi264DecFrame(handle, nullptr, 0, 0, &picture, 0)) {
        ++pictures;
      }
    }
    platform::Hi264DecDestroy(handle);
    EXPECT_GT(pictures, 0);
  }
  if (AvcodecLoad(nullptr)) {
    SCOPED_TRACE("libavcodec");
    const EncodedStream& stream = OpenH264Stream();
    AvcodecH264Decoder decoder;
    ASSERT_TRUE(decoder.Open(nullptr));
    int pictures = 0;
    for (const auto& frame : stream.frames) {
      const FrameAtPageEnd at(frame);
      ASSERT_NE(at.data(), nullptr);
      VideoPicture picture;
      pictures += decoder.Decode(at.data(), frame.size(), &picture) == 1;
    }
    decoder.Close(nullptr);
    EXPECT_GT(pictures, 0);
  }
  {
    SCOPED_TRACE("MJPEG");
    platform::HiMjpegDecHandle handle = platform::HiMJPEGDecCreate(nullptr);
    ASSERT_NE(handle, nullptr);
    const std::vector<uint8_t> jpeg =
        test::EncodeJpeg(test::MakeTestPicture(320, 240, 1), TJSAMP_422);
    // Whole, and cut short (the decoder must not look for the missing end past the data).
    for (size_t keep : {jpeg.size(), jpeg.size() / 2}) {
      const std::vector<uint8_t> frame(jpeg.begin(), jpeg.begin() + static_cast<ptrdiff_t>(keep));
      const FrameAtPageEnd at(frame);
      ASSERT_NE(at.data(), nullptr);
      platform::MjpegDecPicture picture{};
      EXPECT_EQ(platform::HiMJPEGDecFrame(handle, at.data(), static_cast<uint32_t>(frame.size()), 0,
                                          &picture, 0),
                keep == jpeg.size() ? platform::kMjpegDecOk : platform::kMjpegDecBadStream);
    }
    platform::HiMJPEGDecDestroy(handle);
  }
}

}  // namespace
}  // namespace kv
