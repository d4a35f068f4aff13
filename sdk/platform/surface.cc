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
    : backend_(std::move(backend)),
      primary_(primary),
      format_(format),
      width_(width),
      height_(height),
      videoMemory_(videoMemory),
      loseEpoch_(backend_->LoseEpoch()),
      modeEpoch_(backend_->ModeEpoch()) {}

Surface::~Surface() = default;

int Surface::IsLost() const {
  if (modeEpoch_ != backend_->ModeEpoch()) return kSurfaceWrongMode;
  return loseEpoch_ != backend_->LoseEpoch() ? kSurfaceLost : kSurfaceOk;
}

int Surface::Lock(LockedRect* out) {
  if (out == nullptr) return kSurfaceInvalidParams;
  if (primary_) return kSurfaceUnsupported;
  if (IsLost() != kSurfaceOk) return kSurfaceLost;
  if (locked_) return kSurfaceLocked;
  locked_ = true;
  out->bits = pixels_.get();
  out->pitch = pitch_;
  return kSurfaceOk;
}

int Surface::Unlock() {
  if (!locked_) return kSurfaceInvalidParams;
  locked_ = false;
  return kSurfaceOk;
}

int Surface::Restore() {
  if (modeEpoch_ != backend_->ModeEpoch()) return kSurfaceWrongMode;
  if (loseEpoch_ == backend_->LoseEpoch()) return kSurfaceOk;
  // Lost memory comes back with undefined contents; here it comes back cleared.
  if (pixels_ != nullptr) {
    std::memset(pixels_.get(), 0, static_cast<size_t>(pitch_) * ((height_ + 1) & ~1));
  }
  loseEpoch_ = backend_->LoseEpoch();
  return kSurfaceOk;
}

int Surface::GetDC(cairo_t** out) {
  if (out == nullptr) return kSurfaceInvalidParams;
  *out = nullptr;
  cairo_format_t cairoFormat;
  if (format_ == PixelFormat::kRGB32) {
    cairoFormat = CAIRO_FORMAT_RGB24;
  } else if (format_ == PixelFormat::kRGB565) {
    cairoFormat = CAIRO_FORMAT_RGB16_565;
  } else {
    return kSurfaceUnsupported;
  }
  if (primary_) return kSurfaceUnsupported;
  if (IsLost() != kSurfaceOk) return kSurfaceLost;
  if (locked_) return kSurfaceLocked;
  cairo_surface_t* target =
      cairo_image_surface_create_for_data(pixels_.get(), cairoFormat, width_, height_, pitch_);
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
    : backend_(std::move(backend)), blitter_(std::make_unique<StretchBlitter>()) {}

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
  cooperativeWindow_ = window;
  return kSurfaceOk;
}

DeviceCaps DisplayDevice::GetCaps() const { return backend_->Caps(); }

int DisplayDevice::CreatePrimarySurface(std::unique_ptr<Surface>* out) {
  if (out == nullptr) return kSurfaceInvalidParams;
  const PixelFormat format = backend_->PrimaryFormat();
  if (format == PixelFormat::kUnknown) return kSurfaceUnsupported;
  out->reset(new Surface(backend_, true, format, 0, 0, true));
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
      desc.format == PixelFormat::kUnknown ? backend_->PrimaryFormat() : desc.format;
  if (format == PixelFormat::kUnknown) return kSurfaceUnsupported;
  const DeviceCaps caps = backend_->Caps();
  // UYVY surfaces exist only where the blitter converts them, and only in video memory.
  if (format == PixelFormat::kUYVY && (!caps.fourccBlit || desc.memory != SurfaceMemory::kVideo)) {
    return kSurfaceUnsupported;
  }
  bool video = false;
  switch (desc.memory) {
    case SurfaceMemory::kVideo:
      if (!backend_->VideoMemoryAvailable()) return kSurfaceUnsupported;
      video = true;
      break;
    case SurfaceMemory::kDriver:
      video = backend_->VideoMemoryAvailable();
      break;
    case SurfaceMemory::kSystem:
      break;
  }
  std::unique_ptr<Surface> surface(
      new Surface(backend_, false, format, desc.width, desc.height, video));
  // Whole 16-pixel blocks per row and whole row pairs, 16-byte aligned rows.
  const int bpp = BytesPerPixel(format);
  surface->pitch_ = (((desc.width + 15) & ~15) * bpp + 15) & ~15;
  const size_t bytes = static_cast<size_t>(surface->pitch_) * ((desc.height + 1) & ~1);
  surface->pixels_.reset(new (std::nothrow) uint8_t[bytes]());
  if (surface->pixels_ == nullptr) return kSurfaceFailed;
  *out = std::move(surface);
  return kSurfaceOk;
}

int DisplayDevice::Blt(Surface* dst, const Rect& dstRect, Surface* src, const Rect& srcRect) {
  if (dst == nullptr || src == nullptr || src->IsPrimary()) return kSurfaceInvalidParams;
  if (src->IsLost() != kSurfaceOk || dst->IsLost() != kSurfaceOk) return kSurfaceLost;
  if (src->locked_ || dst->locked_) return kSurfaceLocked;
  if (!insideSurface(*src, srcRect)) return kSurfaceInvalidParams;
  if (src->Format() == PixelFormat::kUYVY && (srcRect.left & 1) != 0) {
    return kSurfaceInvalidParams;
  }
  PixelRect from;
  from.bits = src->pixels_.get() + static_cast<ptrdiff_t>(srcRect.top) * src->pitch_ +
              static_cast<ptrdiff_t>(srcRect.left) * BytesPerPixel(src->Format());
  from.pitch = src->pitch_;
  from.width = srcRect.Width();
  from.height = srcRect.Height();
  from.format = src->Format();

  if (!dst->IsPrimary()) {
    if (!insideSurface(*dst, dstRect)) return kSurfaceInvalidParams;
    uint8_t* to = dst->pixels_.get() + static_cast<ptrdiff_t>(dstRect.top) * dst->pitch_ +
                  static_cast<ptrdiff_t>(dstRect.left) * BytesPerPixel(dst->Format());
    return blitter_->Blit(from, to, dst->pitch_, dstRect.Width(), dstRect.Height(), dst->Format())
               ? kSurfaceOk
               : kSurfaceFailed;
  }

  const WindowId window = dst->clipper_ != nullptr ? dst->clipper_->Window() : 0;
  if (window == 0) return kSurfaceNoWindow;
  if (dstRect.Width() <= 0 || dstRect.Height() <= 0) return kSurfaceInvalidParams;
  if (from.format == dst->Format() && from.width == dstRect.Width() &&
      from.height == dstRect.Height()) {
    return backend_->Present(window, dstRect.left, dstRect.top, from.bits, from.pitch, from.width,
                             from.height);
  }
  // Scaled or converted into the screen: through an intermediate in the primary's format.
  std::unique_ptr<Surface> staging;
  SurfaceDesc desc{dstRect.Width(), dstRect.Height(), dst->Format(), SurfaceMemory::kSystem};
  if (int result = CreateSurface(desc, &staging); result != kSurfaceOk) return result;
  if (!blitter_->Blit(from, staging->pixels_.get(), staging->pitch_, desc.width, desc.height,
                      desc.format)) {
    return kSurfaceFailed;
  }
  return backend_->Present(window, dstRect.left, dstRect.top, staging->pixels_.get(),
                           staging->pitch_, desc.width, desc.height);
}

int DisplayDevice::GetScanLine(uint32_t* line) { return backend_->GetScanLine(line); }

int DisplayDevice::WaitForVerticalBlank() { return backend_->WaitForVerticalBlank(); }

}  // namespace kv::platform
