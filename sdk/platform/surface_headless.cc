// The headless display and its backend: presented pixels are kept per window.
#include "sdk/platform/surface_headless.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "sdk/platform/surface_backend.h"

namespace kv::platform {

namespace {

uint8_t clamp8(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

Rgb fromYuv(int y, int u, int v) {
  const int c = 298 * (y - 16);
  const int d = u - 128;
  const int e = v - 128;
  return Rgb{clamp8((c + 409 * e + 128) >> 8), clamp8((c - 100 * d - 208 * e + 128) >> 8),
             clamp8((c + 516 * d + 128) >> 8)};
}

}  // namespace

Rgb ReadPixel(PixelFormat format, const uint8_t* bits, int pitch, int x, int y) {
  const uint8_t* row = bits + static_cast<ptrdiff_t>(y) * pitch;
  switch (format) {
    case PixelFormat::kRGB32:
      return Rgb{row[x * 4 + 2], row[x * 4 + 1], row[x * 4]};
    case PixelFormat::kRGB24:
      return Rgb{row[x * 3 + 2], row[x * 3 + 1], row[x * 3]};
    case PixelFormat::kRGB565: {
      uint16_t p;
      std::memcpy(&p, row + x * 2, 2);
      const int r = (p >> 11) & 31, g = (p >> 5) & 63, b = p & 31;
      return Rgb{static_cast<uint8_t>((r << 3) | (r >> 2)),
                 static_cast<uint8_t>((g << 2) | (g >> 4)),
                 static_cast<uint8_t>((b << 3) | (b >> 2))};
    }
    case PixelFormat::kRGB555: {
      uint16_t p;
      std::memcpy(&p, row + x * 2, 2);
      const int r = (p >> 10) & 31, g = (p >> 5) & 31, b = p & 31;
      return Rgb{static_cast<uint8_t>((r << 3) | (r >> 2)),
                 static_cast<uint8_t>((g << 3) | (g >> 2)),
                 static_cast<uint8_t>((b << 3) | (b >> 2))};
    }
    case PixelFormat::kUYVY: {
      const uint8_t* pair = row + (x & ~1) * 2;
      return fromYuv(pair[(x & 1) ? 3 : 1], pair[0], pair[2]);
    }
    default:
      return Rgb{};
  }
}

struct HeadlessDisplay::Impl {
  mutable std::mutex mutex;
  HeadlessDisplaySettings settings;
  uint64_t loseEpoch = 0;
  uint64_t modeEpoch = 0;
  uint64_t blankWaits = 0;
  std::map<WindowId, PresentedImage> presented;
};

HeadlessDisplay::HeadlessDisplay() : m_impl(new Impl) {}

HeadlessDisplay& HeadlessDisplay::Get() {
  static HeadlessDisplay* display = new HeadlessDisplay;  // lives as long as the process
  return *display;
}

void HeadlessDisplay::Reset() {
  std::lock_guard lock(m_impl->mutex);
  m_impl->settings = HeadlessDisplaySettings{};
  m_impl->blankWaits = 0;
  m_impl->presented.clear();
}

HeadlessDisplaySettings HeadlessDisplay::Settings() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->settings;
}

void HeadlessDisplay::SetCaps(DeviceCaps caps) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->settings.caps = caps;
}

void HeadlessDisplay::SetVideoMemory(bool available) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->settings.videoMemory = available;
}

void HeadlessDisplay::SetPrimaryFormat(PixelFormat format) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->settings.primaryFormat = format;
}

void HeadlessDisplay::SetScreenHeight(uint32_t lines) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->settings.screenHeight = lines;
}

void HeadlessDisplay::SetFixedScanLine(std::optional<uint32_t> line) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->settings.fixedScanLine = line;
}

void HeadlessDisplay::LoseSurfaces() {
  std::lock_guard lock(m_impl->mutex);
  ++m_impl->loseEpoch;
}

void HeadlessDisplay::ChangeDisplayMode(PixelFormat newFormat) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->settings.primaryFormat = newFormat;
  ++m_impl->loseEpoch;
  ++m_impl->modeEpoch;
}

uint64_t HeadlessDisplay::LoseEpoch() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->loseEpoch;
}

uint64_t HeadlessDisplay::ModeEpoch() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->modeEpoch;
}

uint64_t HeadlessDisplay::VerticalBlankWaits() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->blankWaits;
}

void HeadlessDisplay::CountVerticalBlankWait() {
  std::lock_guard lock(m_impl->mutex);
  ++m_impl->blankWaits;
}

bool HeadlessDisplay::GetPresented(WindowId window, PresentedImage* out) const {
  std::lock_guard lock(m_impl->mutex);
  auto it = m_impl->presented.find(window);
  if (it == m_impl->presented.end() || out == nullptr) return false;
  *out = it->second;
  return true;
}

void HeadlessDisplay::StorePresented(WindowId window, const Rect& windowRect, int32_t left,
                                     int32_t top, const uint8_t* bits, int pitch, int width,
                                     int height, PixelFormat format) {
  const int bpp = BytesPerPixel(format);
  std::lock_guard lock(m_impl->mutex);
  PresentedImage& image = m_impl->presented[window];
  if (image.width != windowRect.Width() || image.height != windowRect.Height() ||
      image.format != format) {
    image.width = windowRect.Width();
    image.height = windowRect.Height();
    image.format = format;
    image.pitch = image.width * bpp;
    image.pixels.assign(static_cast<size_t>(image.pitch) * image.height, 0);
  }
  ++image.presents;
  // The clipper: only the part of the picture that falls on the window.
  const int32_t x0 = std::max(left, windowRect.left);
  const int32_t y0 = std::max(top, windowRect.top);
  const int32_t x1 = std::min(left + width, windowRect.right);
  const int32_t y1 = std::min(top + height, windowRect.bottom);
  if (x0 >= x1 || y0 >= y1) return;
  for (int32_t y = y0; y < y1; ++y) {
    std::memcpy(
        image.pixels.data() + static_cast<size_t>(y - windowRect.top) * image.pitch +
            static_cast<size_t>(x0 - windowRect.left) * bpp,
        bits + static_cast<ptrdiff_t>(y - top) * pitch + static_cast<ptrdiff_t>(x0 - left) * bpp,
        static_cast<size_t>(x1 - x0) * bpp);
  }
}

namespace {

class HeadlessBackend : public DisplayBackend {
 public:
  HeadlessBackend() : m_display(HeadlessDisplay::Get()) {}
  PixelFormat PrimaryFormat() const override { return m_display.Settings().primaryFormat; }
  DeviceCaps Caps() const override { return m_display.Settings().caps; }
  bool VideoMemoryAvailable() const override { return m_display.Settings().videoMemory; }
  uint64_t LoseEpoch() const override { return m_display.LoseEpoch(); }
  uint64_t ModeEpoch() const override { return m_display.ModeEpoch(); }

  int Present(WindowId window, int32_t left, int32_t top, const uint8_t* bits, int pitch, int width,
              int height) override {
    Rect windowRect;
    if (!GetWindowSystem().GetWindowRect(window, &windowRect)) return kSurfaceNoWindow;
    m_display.StorePresented(window, windowRect, left, top, bits, pitch, width, height,
                             PrimaryFormat());
    return kSurfaceOk;
  }

  int GetScanLine(uint32_t* line) override {
    const HeadlessDisplaySettings settings = m_display.Settings();
    if (!settings.fixedScanLine) return DisplayBackend::GetScanLine(line);
    if (line == nullptr) return kSurfaceInvalidParams;
    *line = *settings.fixedScanLine;
    return *line >= settings.screenHeight ? kSurfaceVerticalBlank : kSurfaceOk;
  }

  int WaitForVerticalBlank() override {
    m_display.CountVerticalBlankWait();
    // A raster held on one line never reaches the blank: return at once.
    if (m_display.Settings().fixedScanLine) return kSurfaceOk;
    return DisplayBackend::WaitForVerticalBlank();
  }

 protected:
  uint32_t ScreenHeight() const override { return m_display.Settings().screenHeight; }

 private:
  HeadlessDisplay& m_display;
};

}  // namespace

std::shared_ptr<DisplayBackend> CreateHeadlessBackend() {
  return std::make_shared<HeadlessBackend>();
}

}  // namespace kv::platform
