// Tests of the display renderer on the headless display: what reaches the window for every
// picture surface format and orientation, surface loss, mode changes, resizing, refresh,
// the tearing guard, the draw callback and the built-in overlay.
#include "sdk/media/ddraw_render.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include "sdk/core/library.h"
#include "sdk/core/net_client.h"
#include "sdk/platform/clock.h"
#include "sdk/platform/headless_window.h"
#include "sdk/platform/surface_headless.h"
#include "tests/media/render_test_picture.h"

namespace kv {
namespace {

using platform::DeviceCaps;
using platform::HeadlessDisplay;
using platform::PixelFormat;
using platform::PresentedImage;
using platform::Rgb;
using test::CompareWithPicture;
using test::MakeTestPicture;
using test::Transform;

// A headless window system and display, a client and its renderer.
class RenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ =
        platform::ReplaceWindowSystemForTest(std::make_unique<platform::HeadlessWindowSystem>());
    windows_ = platform::GetHeadlessWindowSystem();
    ASSERT_NE(windows_, nullptr);
    HeadlessDisplay::Get().Reset();
    client_.m_self = &client_;
    renderer_ = std::make_unique<CDDrawRender>(&client_);
  }
  void TearDown() override {
    renderer_.reset();
    HeadlessDisplay::Get().Reset();
    platform::ReplaceWindowSystemForTest(std::move(saved_));
  }

  uint32_t MakeWindow(int x, int y, int w, int h, bool visible = true) {
    const uint32_t window = windows_->CreateWindow(x, y, w, h, visible);
    client_.m_videoWindow = window;
    return window;
  }
  void Draw(uint32_t window, const test::I420Picture& p) {
    renderer_->Render(window, p.y.data(), p.u.data(), p.v.data(), p.yStride, p.uvStride, p.width,
                      p.height);
  }
  PresentedImage Shown(uint32_t window) {
    PresentedImage image;
    EXPECT_TRUE(HeadlessDisplay::Get().GetPresented(window, &image));
    return image;
  }
  void ExpectShows(uint32_t window, const test::I420Picture& p, Transform t, int tolerance) {
    const PresentedImage image = Shown(window);
    const test::CompareResult r = CompareWithPicture(image, p, t, tolerance);
    EXPECT_GT(r.compared, image.width * image.height / 2);
    EXPECT_EQ(r.mismatched, 0) << "worst difference " << r.worst << ", first at (" << r.firstBadX
                               << ", " << r.firstBadY << ")";
  }

  std::unique_ptr<platform::WindowSystem> saved_;
  platform::HeadlessWindowSystem* windows_ = nullptr;
  CNetClient client_;
  std::unique_ptr<CDDrawRender> renderer_;
};

// ---- Every surface format, flipped, rotated, both ----

struct FormatCase {
  const char* name;
  PixelFormat primary;
  bool fourcc;
  int expectedCode;
  int tolerance;
};

constexpr FormatCase kFormats[] = {
    {"Uyvy", PixelFormat::kRGB32, true, PICFMT_UYVY, 8},
    {"UyvyOn565", PixelFormat::kRGB565, true, PICFMT_UYVY, 14},
    {"Rgb32", PixelFormat::kRGB32, false, PICFMT_RGB32, 8},
    {"Rgb24", PixelFormat::kRGB24, false, PICFMT_RGB24, 8},
    {"Rgb565", PixelFormat::kRGB565, false, PICFMT_RGB565, 14},
    {"Rgb555", PixelFormat::kRGB555, false, PICFMT_RGB555, 14},
};

class RenderFormatTest : public RenderTest,
                         public ::testing::WithParamInterface<std::tuple<FormatCase, bool, bool>> {
};

TEST_P(RenderFormatTest, WindowShowsThePictureStretched) {
  const auto& [format, flip, rotate] = GetParam();
  HeadlessDisplay::Get().SetPrimaryFormat(format.primary);
  HeadlessDisplay::Get().SetCaps(DeviceCaps{true, format.fourcc});
  client_.m_flip = flip ? 1 : 0;
  client_.m_rotate = rotate ? 1 : 0;
  // Upscaled (non-integer factors) and downscaled, each into its own window.
  const uint32_t up = MakeWindow(10, 20, 300, 250);
  const test::I420Picture small = MakeTestPicture(176, 144);
  Draw(up, small);
  ASSERT_EQ(renderer_->IsSetUp(), 1);
  EXPECT_EQ(renderer_->PictureFormatCode(), format.expectedCode);
  const Transform t = flip == rotate ? (rotate ? Transform::kMirror : Transform::kNone)
                                     : (rotate ? Transform::kRotate180 : Transform::kFlip);
  EXPECT_EQ(Shown(up).format, format.primary);
  ExpectShows(up, small, t, format.tolerance);

  const uint32_t down = MakeWindow(400, 20, 200, 150);
  const test::I420Picture large = MakeTestPicture(640, 480);
  renderer_->SetWindow(down);
  Draw(down, large);
  ExpectShows(down, large, t, format.tolerance);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, RenderFormatTest,
                         ::testing::Combine(::testing::ValuesIn(kFormats), ::testing::Bool(),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_Flip" : "") +
                                  (std::get<2>(info.param) ? "_Rotate180" : "");
                         });

// ---- Surface choice and drawing conditions ----

TEST_F(RenderTest, UyvyNeedsTheBackSurfaceInVideoMemory) {
  // No video memory and no hardware stretch: the picture goes to system memory in RGB.
  HeadlessDisplay::Get().SetVideoMemory(false);
  HeadlessDisplay::Get().SetCaps(DeviceCaps{false, true});
  const uint32_t w = MakeWindow(0, 0, 160, 120);
  const test::I420Picture p = MakeTestPicture(160, 120);
  Draw(w, p);
  EXPECT_EQ(renderer_->PictureFormatCode(), PICFMT_RGB32);
  ExpectShows(w, p, Transform::kNone, 8);
}

TEST_F(RenderTest, OddPictureSizeIsDrawn) {
  const uint32_t w = MakeWindow(0, 0, 200, 160);
  const test::I420Picture p = MakeTestPicture(175, 143);
  Draw(w, p);
  ExpectShows(w, p, Transform::kNone, 8);
}

TEST_F(RenderTest, NothingIsDrawnWithoutAUsableWindow) {
  const test::I420Picture p = MakeTestPicture(64, 48);
  Draw(0, p);
  EXPECT_EQ(renderer_->IsSetUp(), 0);

  const uint32_t hidden = MakeWindow(0, 0, 100, 100, false);
  Draw(hidden, p);
  EXPECT_EQ(renderer_->IsSetUp(), 0);
  PresentedImage image;
  EXPECT_FALSE(HeadlessDisplay::Get().GetPresented(hidden, &image));

  const uint32_t empty = MakeWindow(0, 0, 0, 50);
  Draw(empty, p);
  EXPECT_EQ(renderer_->IsSetUp(), 0);
  EXPECT_FALSE(HeadlessDisplay::Get().GetPresented(empty, &image));

  EXPECT_EQ(renderer_->Setup(empty, 64, 48, 1), 0);
  EXPECT_EQ(renderer_->Setup(hidden, 0, 48, 1), 0);
  EXPECT_EQ(renderer_->Setup(0, 64, 48, 1), 0);
  EXPECT_EQ(renderer_->Refresh(), 0);

  // A window that turns visible is drawn at the next picture.
  windows_->ShowWindow(hidden, true);
  client_.m_videoWindow = hidden;
  Draw(hidden, p);
  EXPECT_EQ(renderer_->IsSetUp(), 1);
  EXPECT_TRUE(HeadlessDisplay::Get().GetPresented(hidden, &image));
}

TEST_F(RenderTest, SetupStoresTheWindowSizeInTheClient) {
  const uint32_t w = MakeWindow(5, 5, 321, 123);
  EXPECT_EQ(renderer_->Setup(w, 64, 48, 1), 1);
  EXPECT_EQ(client_.m_windowWidth, 321);
  EXPECT_EQ(client_.m_windowHeight, 123);
}

// ---- Loss, mode change, resizing, refresh, window change ----

TEST_F(RenderTest, LostSurfacesAreRestoredAndDrawingGoesOn) {
  HeadlessDisplay::Get().SetCaps(DeviceCaps{true, false});
  const uint32_t w = MakeWindow(0, 0, 160, 120);
  const test::I420Picture first = MakeTestPicture(160, 120);
  Draw(w, first);
  const uint64_t before = Shown(w).presents;

  HeadlessDisplay::Get().LoseSurfaces();
  test::I420Picture second = MakeTestPicture(160, 120);
  std::fill(second.y.begin(), second.y.end(), 81);  // red-ish luma over the whole picture
  std::fill(second.u.begin(), second.u.end(), 90);
  std::fill(second.v.begin(), second.v.end(), 240);
  Draw(w, second);  // finds the picture surface lost: restores it, drops this picture
  EXPECT_EQ(Shown(w).presents, before);
  Draw(w, second);
  EXPECT_EQ(Shown(w).presents, before + 1);
  ExpectShows(w, second, Transform::kNone, 8);
  EXPECT_EQ(renderer_->IsSetUp(), 1);
}

TEST_F(RenderTest, DisplayModeChangeRebuildsInTheNewFormat) {
  HeadlessDisplay::Get().SetCaps(DeviceCaps{true, false});
  const uint32_t w = MakeWindow(0, 0, 160, 120);
  const test::I420Picture p = MakeTestPicture(160, 120);
  Draw(w, p);
  ASSERT_EQ(renderer_->PictureFormatCode(), PICFMT_RGB32);

  HeadlessDisplay::Get().ChangeDisplayMode(PixelFormat::kRGB565);
  Draw(w, p);  // lost, and the primary reports the wrong mode: everything is made again
  EXPECT_EQ(renderer_->PictureFormatCode(), PICFMT_RGB565);
  EXPECT_EQ(renderer_->IsSetUp(), 1);
  Draw(w, p);
  EXPECT_EQ(Shown(w).format, PixelFormat::kRGB565);
  ExpectShows(w, p, Transform::kNone, 14);
}

TEST_F(RenderTest, ResizedWindowIsRebuiltAtTheNextPicture) {
  const uint32_t w = MakeWindow(0, 0, 320, 240);
  const test::I420Picture p = MakeTestPicture(176, 144);
  Draw(w, p);
  ASSERT_EQ(Shown(w).width, 320);

  windows_->MoveWindow(w, 0, 0, 200, 300);
  Draw(w, p);  // the size change is noticed here; this picture is not shown
  EXPECT_EQ(renderer_->IsSetUp(), 0);
  Draw(w, p);
  EXPECT_EQ(renderer_->IsSetUp(), 1);
  EXPECT_EQ(client_.m_windowWidth, 200);
  EXPECT_EQ(client_.m_windowHeight, 300);
  const PresentedImage image = Shown(w);
  EXPECT_EQ(image.width, 200);
  EXPECT_EQ(image.height, 300);
  ExpectShows(w, p, Transform::kNone, 8);
}

TEST_F(RenderTest, RefreshRedrawsTheLastPictureAtTheNewSize) {
  const uint32_t w = MakeWindow(0, 0, 320, 240);
  const test::I420Picture p = MakeTestPicture(176, 144);
  EXPECT_EQ(renderer_->Refresh(), 0);  // nothing drawn yet
  Draw(w, p);
  const uint64_t before = Shown(w).presents;
  EXPECT_EQ(renderer_->Refresh(), 1);
  EXPECT_EQ(Shown(w).presents, before + 1);

  windows_->MoveWindow(w, 30, 40, 240, 180);
  EXPECT_EQ(renderer_->Refresh(), 1);
  const PresentedImage image = Shown(w);
  EXPECT_EQ(image.width, 240);
  EXPECT_EQ(image.height, 180);
  ExpectShows(w, p, Transform::kNone, 8);
  EXPECT_EQ(renderer_->IsSetUp(), 1);
}

TEST_F(RenderTest, SetWindowMovesDrawingToTheNewWindow) {
  const uint32_t first = MakeWindow(0, 0, 160, 120);
  const uint32_t second = MakeWindow(200, 0, 100, 80);
  const test::I420Picture p = MakeTestPicture(160, 120);
  Draw(first, p);
  const uint64_t firstCount = Shown(first).presents;
  renderer_->SetWindow(second);
  EXPECT_EQ(renderer_->IsSetUp(), 0);
  Draw(second, p);
  EXPECT_EQ(renderer_->IsSetUp(), 1);
  EXPECT_EQ(Shown(first).presents, firstCount);
  ExpectShows(second, p, Transform::kNone, 8);
}

TEST_F(RenderTest, PictureSizeChangeRebuildsThePictureSurface) {
  const uint32_t w = MakeWindow(0, 0, 160, 120);
  Draw(w, MakeTestPicture(64, 48));
  const test::I420Picture p = MakeTestPicture(352, 288);
  Draw(w, p);
  ExpectShows(w, p, Transform::kNone, 8);
}

// ---- Tearing guard ----

TEST_F(RenderTest, TearingGuardWaitsOnlyInsideTheWindowSpanLessItsMargin) {
  HeadlessDisplay& display = HeadlessDisplay::Get();
  const uint32_t w = MakeWindow(0, 100, 300, 200);  // lines 100..300
  const test::I420Picture p = MakeTestPicture(64, 48);
  struct Case {
    int divisor;
    uint32_t line;
    bool waits;
  };
  const Case cases[] = {{0, 100, false},  {0, 101, true},  {0, 299, true},  {0, 300, false},
                        {10, 120, false}, {10, 121, true}, {10, 279, true}, {10, 280, false},
                        {10, 50, false},  {0, 1100, false}};
  for (const Case& c : cases) {
    client_.m_vertBlankDivisor = c.divisor;
    display.SetFixedScanLine(c.line);
    const uint64_t before = display.VerticalBlankWaits();
    Draw(w, p);
    EXPECT_EQ(display.VerticalBlankWaits() - before, c.waits ? 1u : 0u)
        << "divisor " << c.divisor << " line " << c.line;
  }
}

TEST_F(RenderTest, TearingGuardComparesUnsigned) {
  // A window above the screen's top edge: top + margin wraps high and no line is inside.
  HeadlessDisplay& display = HeadlessDisplay::Get();
  const uint32_t w = MakeWindow(0, -50, 300, 200);
  const test::I420Picture p = MakeTestPicture(64, 48);
  display.SetFixedScanLine(20);
  Draw(w, p);
  EXPECT_EQ(display.VerticalBlankWaits(), 0u);
  EXPECT_EQ(Shown(w).presents, 1u);
}

// ---- Draw callback ----

struct CallbackLog {
  int calls = 0;
  KVNET_HANDLE handle = nullptr;
};

int KVNET_CALL FillTopLeftGreen(KVNET_HANDLE handle, void* dc, void* context) {
  auto* log = static_cast<CallbackLog*>(context);
  ++log->calls;
  log->handle = handle;
  auto* cr = static_cast<cairo_t*>(dc);
  cairo_set_source_rgb(cr, 0, 1, 0);
  cairo_rectangle(cr, 0, 0, 10, 10);
  cairo_fill(cr);
  return 0;
}

TEST_F(RenderTest, DrawCallbackDrawsOnTheBackSurfaceBeforeItIsShown) {
  CallbackLog log;
  renderer_->SetDrawCallback(&FillTopLeftGreen, &log);
  const uint32_t w = MakeWindow(0, 0, 160, 120);
  test::I420Picture p = MakeTestPicture(160, 120);
  Draw(w, p);
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.handle, client_.Handle());
  const Rgb corner = Shown(w).At(5, 5);
  EXPECT_EQ(corner.r, 0);
  EXPECT_EQ(corner.g, 255);
  EXPECT_EQ(corner.b, 0);
  EXPECT_EQ(renderer_->Refresh(), 1);
  EXPECT_EQ(log.calls, 2);
}

TEST_F(RenderTest, NoDeviceContextOn24BitSurfaces) {
  HeadlessDisplay::Get().SetPrimaryFormat(PixelFormat::kRGB24);
  HeadlessDisplay::Get().SetCaps(DeviceCaps{true, false});
  CallbackLog log;
  renderer_->SetDrawCallback(&FillTopLeftGreen, &log);
  const uint32_t w = MakeWindow(0, 0, 160, 120);
  const test::I420Picture p = MakeTestPicture(160, 120);
  Draw(w, p);
  EXPECT_EQ(log.calls, 0);
  ExpectShows(w, p, Transform::kNone, 8);
}

// ---- Built-in overlay ----

class OverlayTest : public RenderTest {
 protected:
  void SetUp() override {
    RenderTest::SetUp();
    window_ = MakeWindow(0, 0, 352, 288);  // half the region space in each direction
    picture_ = MakeTestPicture(176, 144);
    // A plain dark blue picture: neither white nor red anywhere.
    std::fill(picture_.y.begin(), picture_.y.end(), 41);
    std::fill(picture_.u.begin(), picture_.u.end(), 200);
    std::fill(picture_.v.begin(), picture_.v.end(), 120);
  }
  void SetRegion(int i, int l, int t, int r, int b) {
    int32_t* region = client_.m_motion.info.region[i];
    region[0] = l;
    region[1] = t;
    region[2] = r;
    region[3] = b;
  }
  static bool IsWhite(Rgb c) { return c.r > 240 && c.g > 240 && c.b > 240; }
  static bool IsRed(Rgb c) { return c.r > 240 && c.g < 20 && c.b < 20; }
  int CountRed(const PresentedImage& image, int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) n += IsRed(image.At(x, y)) ? 1 : 0;
    }
    return n;
  }

  uint32_t window_ = 0;
  test::I420Picture picture_;
};

TEST_F(OverlayTest, RegionsAreFramedAtTheirScaledPlaces) {
  client_.m_mdShowMode = 1;
  SetRegion(3, 100, 60, 300, 200);  // window: (50, 30) - (150, 100)
  Draw(window_, picture_);
  const PresentedImage image = Shown(window_);
  EXPECT_TRUE(IsWhite(image.At(120, 30)));  // top edge
  EXPECT_TRUE(IsWhite(image.At(50, 80)));   // left edge
  EXPECT_TRUE(IsWhite(image.At(149, 80)));  // right edge, inside the rectangle
  EXPECT_TRUE(IsWhite(image.At(120, 99)));  // bottom edge
  EXPECT_FALSE(IsWhite(image.At(120, 100)));
  EXPECT_FALSE(IsWhite(image.At(100, 70)));  // inside stays picture
  // The number's white box starts at (left + 5, top + 5).
  EXPECT_TRUE(IsWhite(image.At(55, 35)));
  EXPECT_FALSE(IsWhite(image.At(53, 33)));
}

// Region values come from the device as any 32-bit numbers. In a window twice the region space,
// the extreme ones scale beyond the range of an int: they are clamped just outside the window,
// so the edges that lie inside it are drawn and the others stay out of sight.
TEST_F(OverlayTest, RegionValuesBeyondTheWindowAreClampedToIt) {
  const uint32_t big = MakeWindow(0, 0, 1408, 1152);
  client_.m_mdShowMode = 3;
  constexpr int32_t kMin = INT32_MIN, kMax = INT32_MAX;
  SetRegion(2, kMin, 100, 300, 200);   // window: (-1, 200) - (600, 400)
  SetRegion(4, 400, 300, kMax, kMax);  // window: (800, 600) - beyond the right and bottom
  SetRegion(6, kMax, kMin, kMin, kMax);
  client_.m_motion.lastMask = 1u << 4;
  client_.m_motion.lastMotionTick[4] = platform::GetTickCount();
  Draw(big, picture_);
  const PresentedImage image = Shown(big);
  ASSERT_EQ(image.width, 1408);
  EXPECT_TRUE(IsWhite(image.At(10, 200)));   // top edge from the window's left border
  EXPECT_TRUE(IsWhite(image.At(599, 300)));  // right edge
  EXPECT_TRUE(IsWhite(image.At(10, 399)));   // bottom edge
  EXPECT_FALSE(IsWhite(image.At(0, 300)));   // the left edge lies outside the window
  EXPECT_TRUE(IsRed(image.At(800, 900)));    // alarmed: left edge in red
  EXPECT_TRUE(IsRed(image.At(1000, 600)));   // top edge
  EXPECT_FALSE(IsRed(image.At(1407, 900)));  // right and bottom edges are outside
  EXPECT_FALSE(IsRed(image.At(1000, 1151)));
}

TEST_F(OverlayTest, EmptyRegionsAndClearFlagsDrawNothing) {
  client_.m_mdShowMode = 0;
  SetRegion(1, 100, 60, 300, 200);
  Draw(window_, picture_);
  EXPECT_FALSE(IsWhite(Shown(window_).At(120, 30)));

  client_.m_mdShowMode = 3;
  SetRegion(1, 0, 0, 0, 0);
  client_.m_motion.lastMask = 0xFFFF;
  for (auto& tick : client_.m_motion.lastMotionTick) tick = platform::GetTickCount();
  Draw(window_, picture_);
  const PresentedImage image = Shown(window_);
  EXPECT_FALSE(IsWhite(image.At(0, 0)));
  EXPECT_EQ(CountRed(image, 0, 0, image.width, image.height), 0);
}

TEST_F(OverlayTest, AlarmedRegionsAreRedForThreeSeconds) {
  client_.m_mdShowMode = 3;
  SetRegion(0, 100, 60, 300, 200);   // window: (50, 30) - (150, 100)
  SetRegion(5, 400, 300, 600, 500);  // window: (200, 150) - (300, 250)
  const uint32_t now = platform::GetTickCount();
  client_.m_motion.lastMask = (1u << 0) | (1u << 5);
  client_.m_motion.lastMotionTick[0] = now - 100;   // recent
  client_.m_motion.lastMotionTick[5] = now - 3000;  // expired
  Draw(window_, picture_);
  const PresentedImage image = Shown(window_);
  EXPECT_TRUE(IsRed(image.At(120, 30)));     // red drawn over white
  EXPECT_TRUE(IsWhite(image.At(250, 150)));  // expired: only the white frame
  EXPECT_EQ(client_.m_motion.lastMask, 1u << 0);
}

TEST_F(OverlayTest, RecMarkFollowsTheRecordingFlagAndSurvivesCleanup) {
  bool recording = false;
  renderer_->SetRecordingQuery([&recording] { return recording; });
  Draw(window_, picture_);
  EXPECT_EQ(CountRed(Shown(window_), 352 - 22, 0, 352, 20), 0);

  recording = true;
  Draw(window_, picture_);
  const int red = CountRed(Shown(window_), 352 - 22, 0, 352, 20);
  EXPECT_GT(red, 10);
  EXPECT_EQ(CountRed(Shown(window_), 0, 20, 352, 288), 0);

  // The shared font and brush are freed by the library's clean-up and made again later.
  LibraryCleanup();
  Draw(window_, picture_);
  EXPECT_EQ(CountRed(Shown(window_), 352 - 22, 0, 352, 20), red);
}

TEST(DrawOverlayTest, MissingPartsReturnOne) {
  CNetClient client;
  client.m_self = &client;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 16, 16);
  cairo_t* cr = cairo_create(surface);
  EXPECT_EQ(DrawOverlay(client.Handle(), nullptr, nullptr), 1);
  EXPECT_EQ(DrawOverlay(nullptr, cr, nullptr), 1);
  EXPECT_EQ(DrawOverlay(client.Handle(), cr, nullptr), 1);  // no window
  client.m_videoWindow = 7;
  client.m_windowWidth = 16;
  client.m_windowHeight = 16;
  EXPECT_EQ(DrawOverlay(client.Handle(), cr, nullptr), 0);
  cairo_destroy(cr);
  cairo_surface_destroy(surface);
}

}  // namespace
}  // namespace kv
