// Tests of the surface layer on the headless display: surface memory and locking, stretch
// blits and format conversion, presentation with the clipper, loss and mode changes, device
// contexts, the raster, and the planar-to-packed converter.
#include "sdk/platform/surface.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sdk/platform/headless_window.h"
#include "sdk/platform/surface_headless.h"
#include "sdk/platform/yuv_convert.h"

namespace kv::platform {
namespace {

class SurfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = ReplaceWindowSystemForTest(std::make_unique<HeadlessWindowSystem>());
    windows_ = GetHeadlessWindowSystem();
    HeadlessDisplay::Get().Reset();
    ASSERT_EQ(DisplayDevice::Create(&device_), kSurfaceOk);
  }
  void TearDown() override {
    device_.reset();
    HeadlessDisplay::Get().Reset();
    ReplaceWindowSystemForTest(std::move(saved_));
  }
  std::unique_ptr<Surface> Make(int w, int h, PixelFormat f,
                                SurfaceMemory m = SurfaceMemory::kDriver) {
    std::unique_ptr<Surface> s;
    EXPECT_EQ(device_->CreateSurface(SurfaceDesc{w, h, f, m}, &s), kSurfaceOk);
    return s;
  }
  // Fills a 32-bit surface with a colour per pixel.
  template <typename F>
  void Fill32(Surface* s, F colour) {
    LockedRect r;
    ASSERT_EQ(s->Lock(&r), kSurfaceOk);
    for (int y = 0; y < s->Height(); ++y) {
      for (int x = 0; x < s->Width(); ++x) {
        const Rgb c = colour(x, y);
        uint8_t* p = r.bits + y * r.pitch + x * 4;
        p[0] = c.b;
        p[1] = c.g;
        p[2] = c.r;
        p[3] = 0;
      }
    }
    s->Unlock();
  }
  Rgb Pixel(Surface* s, int x, int y) {
    LockedRect r;
    EXPECT_EQ(s->Lock(&r), kSurfaceOk);
    const Rgb c = ReadPixel(s->Format(), r.bits, r.pitch, x, y);
    s->Unlock();
    return c;
  }

  std::unique_ptr<WindowSystem> saved_;
  HeadlessWindowSystem* windows_ = nullptr;
  std::unique_ptr<DisplayDevice> device_;
};

TEST_F(SurfaceTest, MemoryIsPaddedAndLockedOnce) {
  auto s = Make(17, 9, PixelFormat::kRGB24);
  LockedRect r;
  ASSERT_EQ(s->Lock(&r), kSurfaceOk);
  EXPECT_GE(r.pitch, 32 * 3);  // whole 16-pixel blocks
  EXPECT_EQ(r.pitch % 16, 0);
  std::memset(r.bits, 0xAB, static_cast<size_t>(r.pitch) * 10);  // 9 rows rounded up to 10
  LockedRect again;
  EXPECT_EQ(s->Lock(&again), kSurfaceLocked);
  EXPECT_EQ(s->Unlock(), kSurfaceOk);
  EXPECT_EQ(s->Unlock(), kSurfaceInvalidParams);

  std::unique_ptr<Surface> bad;
  EXPECT_EQ(device_->CreateSurface(SurfaceDesc{0, 5, PixelFormat::kRGB32}, &bad),
            kSurfaceInvalidParams);
  EXPECT_EQ(device_->CreateSurface(SurfaceDesc{5, -1, PixelFormat::kRGB32}, &bad),
            kSurfaceInvalidParams);
}

TEST_F(SurfaceTest, SurfaceKindsFollowTheCapabilities) {
  std::unique_ptr<Surface> s;
  EXPECT_EQ(
      device_->CreateSurface(SurfaceDesc{16, 16, PixelFormat::kUYVY, SurfaceMemory::kVideo}, &s),
      kSurfaceOk);
  EXPECT_EQ(
      device_->CreateSurface(SurfaceDesc{16, 16, PixelFormat::kUYVY, SurfaceMemory::kSystem}, &s),
      kSurfaceUnsupported);
  auto primaryFormat = Make(16, 16, PixelFormat::kUnknown);
  EXPECT_EQ(primaryFormat->Format(), PixelFormat::kRGB32);
  EXPECT_TRUE(primaryFormat->InVideoMemory());
  EXPECT_FALSE(Make(16, 16, PixelFormat::kRGB32, SurfaceMemory::kSystem)->InVideoMemory());

  HeadlessDisplay::Get().SetCaps(DeviceCaps{false, false});
  HeadlessDisplay::Get().SetVideoMemory(false);
  EXPECT_FALSE(device_->GetCaps().stretch);
  EXPECT_EQ(
      device_->CreateSurface(SurfaceDesc{16, 16, PixelFormat::kUYVY, SurfaceMemory::kVideo}, &s),
      kSurfaceUnsupported);
  EXPECT_EQ(
      device_->CreateSurface(SurfaceDesc{16, 16, PixelFormat::kRGB32, SurfaceMemory::kVideo}, &s),
      kSurfaceUnsupported);
  EXPECT_FALSE(Make(16, 16, PixelFormat::kRGB32)->InVideoMemory());
}

TEST_F(SurfaceTest, StretchIsBilinearAndKeepsFlatAreas) {
  auto src = Make(4, 4, PixelFormat::kRGB32);
  Fill32(src.get(), [](int x, int) { return x < 2 ? Rgb{0, 0, 0} : Rgb{255, 255, 255}; });
  auto dst = Make(32, 8, PixelFormat::kRGB32);
  ASSERT_EQ(device_->Blt(dst.get(), Rect{0, 0, 32, 8}, src.get(), Rect{0, 0, 4, 4}), kSurfaceOk);
  EXPECT_LE(Pixel(dst.get(), 0, 3).g, 5);
  EXPECT_GE(Pixel(dst.get(), 31, 3).g, 250);
  // Across the edge the values rise step by step: not a nearest-neighbour copy.
  int intermediate = 0;
  int previous = -1;
  for (int x = 0; x < 32; ++x) {
    const int g = Pixel(dst.get(), x, 3).g;
    EXPECT_GE(g, previous - 1) << x;
    previous = g;
    intermediate += (g > 20 && g < 235) ? 1 : 0;
  }
  EXPECT_GE(intermediate, 3);

  // A sub-rectangle into a sub-rectangle leaves the rest alone.
  auto canvas = Make(20, 20, PixelFormat::kRGB32);
  ASSERT_EQ(device_->Blt(canvas.get(), Rect{10, 10, 20, 20}, src.get(), Rect{2, 0, 4, 4}),
            kSurfaceOk);
  EXPECT_EQ(Pixel(canvas.get(), 15, 15).r, 255);
  EXPECT_EQ(Pixel(canvas.get(), 5, 5).r, 0);
  EXPECT_EQ(device_->Blt(canvas.get(), Rect{10, 10, 21, 20}, src.get(), Rect{0, 0, 4, 4}),
            kSurfaceInvalidParams);
  EXPECT_EQ(device_->Blt(canvas.get(), Rect{0, 0, 4, 4}, src.get(), Rect{0, 0, 5, 4}),
            kSurfaceInvalidParams);
}

TEST_F(SurfaceTest, BlitConvertsBetweenAllFormats) {
  const Rgb colours[] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}, {40, 90, 160}};
  const PixelFormat formats[] = {PixelFormat::kRGB32, PixelFormat::kRGB24, PixelFormat::kRGB565,
                                 PixelFormat::kRGB555};
  for (const Rgb& c : colours) {
    auto src = Make(8, 8, PixelFormat::kRGB32);
    Fill32(src.get(), [&](int, int) { return c; });
    for (PixelFormat f : formats) {
      auto dst = Make(8, 8, f);
      ASSERT_EQ(device_->Blt(dst.get(), Rect{0, 0, 8, 8}, src.get(), Rect{0, 0, 8, 8}), kSurfaceOk);
      const Rgb got = Pixel(dst.get(), 3, 3);
      EXPECT_NEAR(got.r, c.r, 8) << static_cast<int>(f);
      EXPECT_NEAR(got.g, c.g, 8) << static_cast<int>(f);
      EXPECT_NEAR(got.b, c.b, 8) << static_cast<int>(f);
    }
  }
}

TEST_F(SurfaceTest, PrimaryShowsPixelsInTheClipperWindowOnly) {
  const WindowId window = windows_->CreateWindow(100, 50, 40, 30, true);
  std::unique_ptr<Surface> primary;
  ASSERT_EQ(device_->CreatePrimarySurface(&primary), kSurfaceOk);
  auto src = Make(40, 30, PixelFormat::kRGB32);
  Fill32(src.get(), [](int x, int) { return x < 20 ? Rgb{255, 0, 0} : Rgb{0, 0, 255}; });
  EXPECT_EQ(device_->Blt(primary.get(), Rect{100, 50, 140, 80}, src.get(), Rect{0, 0, 40, 30}),
            kSurfaceNoWindow);

  std::shared_ptr<Clipper> clipper;
  ASSERT_EQ(device_->CreateClipper(&clipper), kSurfaceOk);
  clipper->SetWindow(window);
  primary->SetClipper(clipper);
  // Shifted 10 pixels left of the window: the left 10 columns fall outside and are clipped.
  ASSERT_EQ(device_->Blt(primary.get(), Rect{90, 50, 130, 80}, src.get(), Rect{0, 0, 40, 30}),
            kSurfaceOk);
  PresentedImage image;
  ASSERT_TRUE(HeadlessDisplay::Get().GetPresented(window, &image));
  EXPECT_EQ(image.width, 40);
  EXPECT_EQ(image.height, 30);
  EXPECT_EQ(image.At(0, 0).r, 255);   // source column 10
  EXPECT_EQ(image.At(10, 0).b, 255);  // source column 20
  EXPECT_EQ(image.At(35, 0).r, 0);    // nothing drawn right of the source
  EXPECT_EQ(image.At(35, 0).b, 0);

  // Into the primary with stretching and conversion.
  auto uyvy = Make(16, 16, PixelFormat::kUYVY, SurfaceMemory::kVideo);
  LockedRect r;
  ASSERT_EQ(uyvy->Lock(&r), kSurfaceOk);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 8; ++x) {
      uint8_t* p = r.bits + y * r.pitch + x * 4;
      p[0] = 90, p[1] = 81, p[2] = 240, p[3] = 81;  // red
    }
  }
  uyvy->Unlock();
  ASSERT_EQ(device_->Blt(primary.get(), Rect{100, 50, 140, 80}, uyvy.get(), Rect{0, 0, 16, 16}),
            kSurfaceOk);
  ASSERT_TRUE(HeadlessDisplay::Get().GetPresented(window, &image));
  EXPECT_NEAR(image.At(20, 15).r, 255, 6);
  EXPECT_NEAR(image.At(20, 15).g, 0, 6);
  EXPECT_EQ(image.presents, 2u);
}

TEST_F(SurfaceTest, LossAndModeChange) {
  auto s = Make(8, 8, PixelFormat::kRGB32);
  auto d = Make(8, 8, PixelFormat::kRGB32);
  std::unique_ptr<Surface> primary;
  ASSERT_EQ(device_->CreatePrimarySurface(&primary), kSurfaceOk);
  Fill32(s.get(), [](int, int) { return Rgb{9, 9, 9}; });

  HeadlessDisplay::Get().LoseSurfaces();
  LockedRect r;
  EXPECT_EQ(s->IsLost(), kSurfaceLost);
  EXPECT_EQ(s->Lock(&r), kSurfaceLost);
  EXPECT_EQ(device_->Blt(d.get(), Rect{0, 0, 8, 8}, s.get(), Rect{0, 0, 8, 8}), kSurfaceLost);
  EXPECT_EQ(s->Restore(), kSurfaceOk);
  EXPECT_EQ(s->IsLost(), kSurfaceOk);
  EXPECT_EQ(Pixel(s.get(), 0, 0).r, 0);  // memory came back cleared
  EXPECT_EQ(primary->Restore(), kSurfaceOk);

  HeadlessDisplay::Get().ChangeDisplayMode(PixelFormat::kRGB565);
  EXPECT_EQ(s->Lock(&r), kSurfaceLost);
  EXPECT_EQ(primary->Restore(), kSurfaceWrongMode);
  EXPECT_EQ(s->Restore(), kSurfaceWrongMode);
  EXPECT_EQ(Make(8, 8, PixelFormat::kUnknown)->Format(), PixelFormat::kRGB565);
}

TEST_F(SurfaceTest, DeviceContextOnlyFor32BitAnd565) {
  for (PixelFormat f : {PixelFormat::kRGB32, PixelFormat::kRGB565}) {
    auto s = Make(20, 10, f);
    cairo_t* cr = nullptr;
    ASSERT_EQ(s->GetDC(&cr), kSurfaceOk);
    cairo_set_source_rgb(cr, 0, 1, 0);
    cairo_rectangle(cr, 10, 0, 10, 10);
    cairo_fill(cr);
    s->ReleaseDC(cr);
    EXPECT_EQ(Pixel(s.get(), 15, 5).g, 255);
    EXPECT_EQ(Pixel(s.get(), 5, 5).g, 0);
  }
  for (PixelFormat f : {PixelFormat::kRGB24, PixelFormat::kRGB555}) {
    cairo_t* cr = nullptr;
    EXPECT_EQ(Make(20, 10, f)->GetDC(&cr), kSurfaceUnsupported);
    EXPECT_EQ(cr, nullptr);
  }
  auto lost = Make(20, 10, PixelFormat::kRGB32);
  HeadlessDisplay::Get().LoseSurfaces();
  cairo_t* cr = nullptr;
  EXPECT_EQ(lost->GetDC(&cr), kSurfaceLost);
}

TEST_F(SurfaceTest, RasterLineAndBlank) {
  HeadlessDisplay::Get().SetScreenHeight(768);
  for (int i = 0; i < 50; ++i) {
    uint32_t line = 0;
    const int result = device_->GetScanLine(&line);
    EXPECT_LT(line, 768u + 768u / 24u);
    EXPECT_EQ(result, line >= 768 ? kSurfaceVerticalBlank : kSurfaceOk);
  }
  HeadlessDisplay::Get().SetFixedScanLine(800);
  uint32_t line = 0;
  EXPECT_EQ(device_->GetScanLine(&line), kSurfaceVerticalBlank);
  HeadlessDisplay::Get().SetFixedScanLine(std::nullopt);
  // Waiting for the emulated blank returns (at most one 60 Hz period).
  EXPECT_EQ(device_->WaitForVerticalBlank(), kSurfaceOk);
  EXPECT_EQ(HeadlessDisplay::Get().VerticalBlankWaits(), 1u);
}

// ---- Planar to packed ----

TEST(YuvConverterTest, ColoursOrientationAndRejectedInput) {
  // 4x4 picture: left half luma 235 (white), right half 16 (black); top chroma row neutral,
  // bottom chroma row red.
  const int w = 4, h = 4;
  std::vector<uint8_t> y(8 * h), u(4 * 2), v(4 * 2);
  for (int r = 0; r < h; ++r) {
    for (int c = 0; c < w; ++c) y[r * 8 + c] = c < 2 ? 235 : 16;
  }
  u = {128, 128, 0, 0, 90, 90, 0, 0};
  v = {128, 128, 0, 0, 240, 240, 0, 0};
  YuvConverter converter;
  const PixelFormat formats[] = {PixelFormat::kUYVY, PixelFormat::kRGB32, PixelFormat::kRGB24,
                                 PixelFormat::kRGB565, PixelFormat::kRGB555};
  for (PixelFormat f : formats) {
    for (int mode = 0; mode < 4; ++mode) {
      const bool flip = mode & 1, mirror = mode & 2;
      std::vector<uint8_t> out(64 * 4, 0);
      ASSERT_TRUE(converter.Convert(y.data(), u.data(), v.data(), 8, 4, w, h, f, out.data(), 64,
                                    flip, mirror));
      auto at = [&](int x, int yy) { return ReadPixel(f, out.data(), 64, x, yy); };
      const int topRow = flip ? 3 : 0;
      const int leftCol = mirror ? 3 : 0;
      const int rightCol = 3 - leftCol;
      // Top of the source: white left, black right.
      EXPECT_GT(at(leftCol, topRow).g, 235) << static_cast<int>(f) << " mode " << mode;
      EXPECT_LT(at(rightCol, topRow).g, 16) << static_cast<int>(f) << " mode " << mode;
      // Bottom of the source, white luma with red chroma: strongly red.
      const Rgb reddish = at(leftCol, 3 - topRow);
      EXPECT_GT(reddish.r, 200) << static_cast<int>(f) << " mode " << mode;
      EXPECT_LT(reddish.g, reddish.r - 60) << static_cast<int>(f) << " mode " << mode;
    }
  }
  std::vector<uint8_t> out(64 * 4);
  EXPECT_FALSE(converter.Convert(y.data(), u.data(), v.data(), 8, 4, w, h, PixelFormat::kUnknown,
                                 out.data(), 64, false, false));
  EXPECT_FALSE(converter.Convert(y.data(), u.data(), v.data(), 3, 4, w, h, PixelFormat::kRGB32,
                                 out.data(), 64, false, false));
  EXPECT_FALSE(converter.Convert(nullptr, u.data(), v.data(), 8, 4, w, h, PixelFormat::kRGB32,
                                 out.data(), 64, false, false));
  EXPECT_FALSE(converter.Convert(y.data(), u.data(), v.data(), 8, 4, 0, h, PixelFormat::kRGB32,
                                 out.data(), 64, false, false));
}

}  // namespace
}  // namespace kv::platform
