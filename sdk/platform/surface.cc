// Memory surfaces, the device that makes and blits them, and the emulated raster shared by
// the backends.
#include "sdk/platform/surface.h"

#include <cairo.h>

#include <chrono>
#include <cstring>
#include <new>
#include <string_view>
#include <thread>

#include "sdk/platform/stretch_blit.h"
#include "sdk/platform/surface_backend.h"

namespace kv::platform {

namespace {

constexpr int64_t kRasterPeriodNs = 1'000'000'000 / 60;

uint32_t totalLines(uint32_t screenHeight) {
  const uint32_t blank = screenHeight / 24 > 0 ? screenHeight / 24 : 1;
  return screenHeight + blank;
}

int64_t rasterPosition() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() % kRasterPeriodNs;
}

bool insideSurface(const Surface& surface, const Rect& rect) {
  return rect.left >= 0 && rect.top >= 0 && rect.right <= surface.Width() &&
         rect.bottom <= surface.Height() && rect.Width() > 0 && rect.Height() > 0;
}

}  // namespace

int BytesPerPixel(PixelFormat format) {
  switch (format) {
    case PixelFormat::kRGB32:
      return 4;
    case PixelFormat::kRGB24:
      return 3;
    case PixelFormat::kUYVY:
    case PixelFormat::kRGB565:
    case PixelFormat::kRGB555:
      return 2;
    default:
      return 0;
  }
}

int EmulatedScanLine(uint32_t screenHeight, uint32_t* line) {
  if (line == nullptr || screenHeight == 0) return kSurfaceInvalidParams;
  const uint32_t total = totalLines(screenHeight);
  *line = static_cast<uint32_t>(rasterPosition() * total / kRasterPeriodNs);
  return *line >= screenHeight ? kSurfaceVerticalBlank : kSurfaceOk;
}

void WaitForEmulatedBlank(uint32_t screenHeight) {
  if (screenHeight == 0) return;
  const int64_t blankStart = kRasterPeriodNs * screenHeight / totalLines(screenHeight);
  const int64_t position = rasterPosition();
  const int64_t wait =
      position < blankStart ? blankStart - position : kRasterPeriodNs - position + blankStart;
  std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
}

int DisplayBackend::GetScanLine(uint32_t* line) { return EmulatedScanLine(ScreenHeight(), line); }

int DisplayBackend::WaitForVerticalBlank() {
  WaitForEmulatedBlank(ScreenHeight());
  return kSurfaceOk;
}

// ---- Surface ----

Surface::Surface(std::shared_ptr<DisplayBackend> backend, bool primary, PixelFormat format,
                 int width, int height, bool videoMemory)
    : m_backend(std::move(backend)),
      m_primary(primary),
      m_format(format),
      m_width(width),
      m_height(height),
      m_videoMemory(videoMemory),
      m_loseEpoch(m_backend->LoseEpoch()),
      m_modeEpoch(m_backend->ModeEpoch()) {}

Surface::~Surface() = default;

int Surface::IsLost() const {
  if (m_modeEpoch != m_backend->ModeEpoch()) return kSurfaceWrongMode;
  return m_loseEpoch != m_backend->LoseEpoch() ? kSurfaceLost : kSurfaceOk;
}

int Surface::Lock(LockedRect* out) {
  if (out == nullptr) return kSurfaceInvalidParams;
  if (m_primary) return kSurfaceUnsupported;
  if (IsLost() != kSurfaceOk) return kSurfaceLost;
  if (m_locked) return kSurfaceLocked;
  m_locked = true;
  out->bits = m_pixels.get();
  out->pitch = m_pitch;
  return kSurfaceOk;
}

int Surface::Unlock() {
  if (!m_locked) return kSurfaceInvalidParams;
  m_locked = false;
  return kSurfaceOk;
}

int Surface::Restore() {
  if (m_modeEpoch != m_backend->ModeEpoch()) return kSurfaceWrongMode;
  if (m_loseEpoch == m_backend->LoseEpoch()) return kSurfaceOk;
  // Lost memory comes back with undefined contents; here it comes back cleared.
  if (m_pixels != nullptr) {
    std::memset(m_pixels.get(), 0, static_cast<size_t>(m_pitch) * ((m_height + 1) & ~1));
  }
  m_loseEpoch = m_backend->LoseEpoch();
  return kSurfaceOk;
}

int Surface::GetDC(cairo_t** out) {
  if (out == nullptr) return kSurfaceInvalidParams;
  *out = nullptr;
  cairo_format_t cairoFormat;
  if (m_format == PixelFormat::kRGB32) {
    cairoFormat = CAIRO_FORMAT_RGB24;
  } else if (m_format == PixelFormat::kRGB565) {
    cairoFormat = CAIRO_FORMAT_RGB16_565;
  } else {
    return kSurfaceUnsupported;
  }
  if (m_primary) return kSurfaceUnsupported;
  if (IsLost() != kSurfaceOk) return kSurfaceLost;
  if (m_locked) return kSurfaceLocked;
  cairo_surface_t* target =
      cairo_image_surface_create_for_data(m_pixels.get(), cairoFormat, m_width, m_height, m_pitch);
  if (cairo_surface_status(target) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(target);
    return kSurfaceFailed;
  }
  cairo_t* cr = cairo_create(target);
  cairo_surface_destroy(target);  // the context keeps its own reference
  if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
    cairo_destroy(cr);
    return kSurfaceFailed;
  }
  *out = cr;
  return kSurfaceOk;
}

void Surface::ReleaseDC(cairo_t* dc) {
  if (dc == nullptr) return;
  cairo_surface_flush(cairo_get_target(dc));
  cairo_destroy(dc);
}

// ---- DisplayDevice ----

DisplayDevice::DisplayDevice(std::shared_ptr<DisplayBackend> backend)
    : m_backend(std::move(backend)), m_blitter(std::make_unique<StretchBlitter>()) {}

DisplayDevice::~DisplayDevice() = default;

int DisplayDevice::Create(std::unique_ptr<DisplayDevice>* out) {
  if (out == nullptr) return kSurfaceInvalidParams;
  out->reset();
  std::shared_ptr<DisplayBackend> backend;
  if (std::string_view(GetWindowSystem().Name()) == "x11") {
    backend = CreateX11Backend();
  } else {
    backend = CreateHeadlessBackend();
  }
  if (backend == nullptr) return kSurfaceFailed;
  out->reset(new DisplayDevice(std::move(backend)));
  return kSurfaceOk;
}

int DisplayDevice::SetCooperativeLevel(WindowId window) {
  if (window == 0) return kSurfaceInvalidParams;
  m_cooperativeWindow = window;
  return kSurfaceOk;
}

DeviceCaps DisplayDevice::GetCaps() const { return m_backend->Caps(); }

int DisplayDevice::CreatePrimarySurface(std::unique_ptr<Surface>* out) {
  if (out == nullptr) return kSurfaceInvalidParams;
  const PixelFormat format = m_backend->PrimaryFormat();
  if (format == PixelFormat::kUnknown) return kSurfaceUnsupported;
  out->reset(new Surface(m_backend, true, format, 0, 0, true));
  return kSurfaceOk;
}

int DisplayDevice::CreateClipper(std::shared_ptr<Clipper>* out) {
  if (out == nullptr) return kSurfaceInvalidParams;
  *out = std::make_shared<Clipper>();
  return kSurfaceOk;
}

int DisplayDevice::CreateSurface(const SurfaceDesc& desc, std::unique_ptr<Surface>* out) {
  if (out == nullptr || desc.width <= 0 || desc.height <= 0 || desc.width > 16384 ||
      desc.height > 16384) {
    return kSurfaceInvalidParams;
  }
  const PixelFormat format =
      desc.format == PixelFormat::kUnknown ? m_backend->PrimaryFormat() : desc.format;
  if (format == PixelFormat::kUnknown) return kSurfaceUnsupported;
  const DeviceCaps caps = m_backend->Caps();
  // UYVY surfaces exist only where the blitter converts them, and only in video memory.
  if (format == PixelFormat::kUYVY && (!caps.fourccBlit || desc.memory != SurfaceMemory::kVideo)) {
    return kSurfaceUnsupported;
  }
  bool video = false;
  switch (desc.memory) {
    case SurfaceMemory::kVideo:
      if (!m_backend->VideoMemoryAvailable()) return kSurfaceUnsupported;
      video = true;
      break;
    case SurfaceMemory::kDriver:
      video = m_backend->VideoMemoryAvailable();
      break;
    case SurfaceMemory::kSystem:
      break;
  }
  std::unique_ptr<Surface> surface(
      new Surface(m_backend, false, format, desc.width, desc.height, video));
  // Whole 16-pixel blocks per row and whole row pairs, 16-byte aligned rows.
  const int bpp = BytesPerPixel(format);
  surface->m_pitch = (((desc.width + 15) & ~15) * bpp + 15) & ~15;
  const size_t bytes = static_cast<size_t>(surface->m_pitch) * ((desc.height + 1) & ~1);
  surface->m_pixels.reset(new (std::nothrow) uint8_t[bytes]());
  if (surface->m_pixels == nullptr) return kSurfaceFailed;
  *out = std::move(surface);
  return kSurfaceOk;
}

int DisplayDevice::Blt(Surface* dst, const Rect& dstRect, Surface* src, const Rect& srcRect) {
  if (dst == nullptr || src == nullptr || src->IsPrimary()) return kSurfaceInvalidParams;
  if (src->IsLost() != kSurfaceOk || dst->IsLost() != kSurfaceOk) return kSurfaceLost;
  if (src->m_locked || dst->m_locked) return kSurfaceLocked;
  if (!insideSurface(*src, srcRect)) return kSurfaceInvalidParams;
  if (src->Format() == PixelFormat::kUYVY && (srcRect.left & 1) != 0) {
    return kSurfaceInvalidParams;
  }
  PixelRect from;
  from.bits = src->m_pixels.get() + static_cast<ptrdiff_t>(srcRect.top) * src->m_pitch +
              static_cast<ptrdiff_t>(srcRect.left) * BytesPerPixel(src->Format());
  from.pitch = src->m_pitch;
  from.width = srcRect.Width();
  from.height = srcRect.Height();
  from.format = src->Format();

  if (!dst->IsPrimary()) {
    if (!insideSurface(*dst, dstRect)) return kSurfaceInvalidParams;
    uint8_t* to = dst->m_pixels.get() + static_cast<ptrdiff_t>(dstRect.top) * dst->m_pitch +
                  static_cast<ptrdiff_t>(dstRect.left) * BytesPerPixel(dst->Format());
    return m_blitter->Blit(from, to, dst->m_pitch, dstRect.Width(), dstRect.Height(), dst->Format())
               ? kSurfaceOk
               : kSurfaceFailed;
  }

  const WindowId window = dst->m_clipper != nullptr ? dst->m_clipper->Window() : 0;
  if (window == 0) return kSurfaceNoWindow;
  if (dstRect.Width() <= 0 || dstRect.Height() <= 0) return kSurfaceInvalidParams;
  if (from.format == dst->Format() && from.width == dstRect.Width() &&
      from.height == dstRect.Height()) {
    return m_backend->Present(window, dstRect.left, dstRect.top, from.bits, from.pitch, from.width,
                              from.height);
  }
  // Scaled or converted into the screen: through an intermediate in the primary's format.
  std::unique_ptr<Surface> staging;
  SurfaceDesc desc{dstRect.Width(), dstRect.Height(), dst->Format(), SurfaceMemory::kSystem};
  if (int result = CreateSurface(desc, &staging); result != kSurfaceOk) return result;
  if (!m_blitter->Blit(from, staging->m_pixels.get(), staging->m_pitch, desc.width, desc.height,
                       desc.format)) {
    return kSurfaceFailed;
  }
  return m_backend->Present(window, dstRect.left, dstRect.top, staging->m_pixels.get(),
                            staging->m_pitch, desc.width, desc.height);
}

int DisplayDevice::GetScanLine(uint32_t* line) { return m_backend->GetScanLine(line); }

int DisplayDevice::WaitForVerticalBlank() { return m_backend->WaitForVerticalBlank(); }

}  // namespace kv::platform
