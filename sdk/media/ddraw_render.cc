// The display renderer's steps: set-up, conversion into the picture surface, the stretch and
// overlay in the back surface, the tearing guard and the blit into the window.
#include "sdk/media/ddraw_render.h"

#include <utility>

#include "sdk/state/client_state.h"
#include "sdk/state/event_notifier.h"

namespace kv {

namespace {

int formatCode(platform::PixelFormat format) {
  switch (format) {
    case platform::PixelFormat::kUYVY:
      return PICFMT_UYVY;
    case platform::PixelFormat::kRGB32:
      return PICFMT_RGB32;
    case platform::PixelFormat::kRGB24:
      return PICFMT_RGB24;
    case platform::PixelFormat::kRGB565:
      return PICFMT_RGB565;
    case platform::PixelFormat::kRGB555:
      return PICFMT_RGB555;
    default:
      return PICFMT_NONE;
  }
}

}  // namespace

CDDrawRender::CDDrawRender(ViewState* view, const IEventNotifier* notifier)
    : m_view(view), m_notifier(notifier) {
  m_overlayInputs.view = view;
}

CDDrawRender::~CDDrawRender() { ReleaseSurfaces(1); }

void CDDrawRender::SetDrawCallback(KVNET_DrawCallback callback, void* context) {
  std::lock_guard lock(m_lock);
  m_drawCallback = callback;
  m_drawContext = context;
}

void CDDrawRender::SetRecordingQuery(std::function<bool()> isRecording) {
  std::lock_guard lock(m_lock);
  m_overlayInputs.isRecording = std::move(isRecording);
}

int CDDrawRender::PictureFormatCode() const {
  std::lock_guard lock(m_lock);
  return m_format;
}

int CDDrawRender::IsSetUp() const {
  std::lock_guard lock(m_lock);
  return m_setUp;
}

void CDDrawRender::ReleaseSurfaces(int full) {
  std::lock_guard lock(m_lock);
  if (full) {
    m_picture.reset();
    m_format = PICFMT_NONE;
  }
  m_back.reset();
  m_primary.reset();
  m_device.reset();
}

int CDDrawRender::Setup(uint32_t window, int width, int height, int full) {
  std::lock_guard lock(m_lock);
  return setupLocked(window, width, height, full);
}

int CDDrawRender::setupLocked(uint32_t window, int width, int height, int full) {
  using namespace platform;
  ReleaseSurfaces(full);
  if (window == 0 || width <= 0 || height <= 0) return 0;
  m_window = window;
  m_pictureWidth = width;
  m_pictureHeight = height;
  m_pictureRect = Rect{0, 0, width, height};
  Rect windowRect;
  if (!GetWindowSystem().GetWindowRect(window, &windowRect)) return 0;
  m_backRect = Rect{0, 0, windowRect.Width(), windowRect.Height()};
  if (m_view != nullptr) {
    m_view->windowWidth = windowRect.Width();
    m_view->windowHeight = windowRect.Height();
  }
  if (windowRect.Width() <= 0 || windowRect.Height() <= 0) return 0;

  if (DisplayDevice::Create(&m_device) != kSurfaceOk) return 0;
  if (m_device->SetCooperativeLevel(window) != kSurfaceOk) return 0;
  const DeviceCaps caps = m_device->GetCaps();

  if (m_device->CreatePrimarySurface(&m_primary) != kSurfaceOk) return 0;
  std::shared_ptr<Clipper> clipper;
  if (m_device->CreateClipper(&clipper) != kSurfaceOk) return 0;
  clipper->SetWindow(window);
  m_primary->SetClipper(std::move(clipper));

  SurfaceDesc backDesc{m_backRect.Width(), m_backRect.Height(), PixelFormat::kUnknown,
                       SurfaceMemory::kDriver};
  if (m_device->CreateSurface(backDesc, &m_back) != kSurfaceOk) return 0;
  if (!full) return 1;

  // The blitter converts UYVY during the stretch where it can; else the screen's format.
  if (caps.fourccBlit && m_back->InVideoMemory()) {
    SurfaceDesc desc{width, height, PixelFormat::kUYVY, SurfaceMemory::kVideo};
    if (m_device->CreateSurface(desc, &m_picture) == kSurfaceOk) {
      m_format = PICFMT_UYVY;
      return 1;
    }
  }
  SurfaceDesc desc{width, height, m_primary->Format(),
                   caps.stretch ? SurfaceMemory::kVideo : SurfaceMemory::kSystem};
  if (m_device->CreateSurface(desc, &m_picture) != kSurfaceOk) return 0;
  m_format = formatCode(m_picture->Format());
  return 1;
}

void CDDrawRender::Render(uint32_t window, const uint8_t* y, const uint8_t* u, const uint8_t* v,
                          int yStride, int uvStride, int width, int height) {
  if (window == 0 || !platform::GetWindowSystem().IsWindowVisible(window)) return;
  std::lock_guard lock(m_lock);
  if (!m_setUp) {
    m_setUp = setupLocked(window, width, height, 1);
    if (!m_setUp) return;
  }
  if (width != m_pictureWidth || height != m_pictureHeight || m_picture == nullptr) {
    m_setUp = setupLocked(window, width, height, 1);
    if (!m_setUp) return;
  }
  platform::LockedRect locked;
  const int result = m_picture->Lock(&locked);
  if (result == platform::kSurfaceLost) {
    restoreLocked();
    return;
  }
  if (result != platform::kSurfaceOk) return;
  if (m_format != PICFMT_NONE) {
    // Rotating by 180 degrees is a vertical flip and a left-right mirror.
    const bool rotate = m_view != nullptr && m_view->rotate != 0;
    const bool flip = m_view != nullptr && m_view->flip != 0;
    m_converter.Convert(y, u, v, yStride, uvStride, width, height, m_picture->Format(), locked.bits,
                        locked.pitch, flip != rotate, rotate);
  }
  m_picture->Unlock();
  presentLocked();
}

int CDDrawRender::Present() {
  std::lock_guard lock(m_lock);
  return presentLocked();
}

int CDDrawRender::presentLocked() {
  using namespace platform;
  Rect screen;
  if (!GetWindowSystem().GetWindowRect(m_window, &screen)) screen = Rect{};
  if (screen.Width() != m_backRect.Width() || screen.Height() != m_backRect.Height()) {
    m_setUp = 0;
    return 0;
  }
  if (m_device == nullptr || m_primary == nullptr || m_back == nullptr || m_picture == nullptr) {
    return 0;
  }
  int result = m_device->Blt(m_back.get(), m_backRect, m_picture.get(), m_pictureRect);
  if (result == kSurfaceLost) {
    restoreLocked();
    return 0;
  }
  if (result != kSurfaceOk) return 0;

  const KVNET_DrawCallback callback = m_drawCallback != nullptr ? m_drawCallback : &DrawOverlay;
  void* context = m_drawCallback != nullptr ? m_drawContext : &m_overlayInputs;
  cairo_t* dc = nullptr;
  if (m_back->GetDC(&dc) == kSurfaceOk) {
    const KVNET_HANDLE handle = m_notifier != nullptr ? m_notifier->Handle() : nullptr;
    callback(handle, dc, context);
    m_back->ReleaseDC(dc);
  }

  // Tearing guard: wait for the blank while the raster runs inside the window's span, less a
  // margin of height / divisor at the top and the bottom.
  const uint32_t divisor =
      m_view != nullptr ? static_cast<uint32_t>(m_view->vertBlankDivisor.load()) : 0;
  const uint32_t margin = divisor != 0 ? static_cast<uint32_t>(screen.Height()) / divisor : 0;
  uint32_t scanLine = 0;
  uint32_t line = 0;
  if (m_device->GetScanLine(&line) == kSurfaceOk) scanLine = line;
  if (static_cast<uint32_t>(screen.top) + margin < scanLine &&
      scanLine < static_cast<uint32_t>(screen.bottom) - margin) {
    m_device->WaitForVerticalBlank();
  }

  result = m_device->Blt(m_primary.get(), screen, m_back.get(), m_backRect);
  if (result == kSurfaceLost) {
    restoreLocked();
    return 0;
  }
  return 1;
}

void CDDrawRender::RestoreSurfaces() {
  std::lock_guard lock(m_lock);
  restoreLocked();
}

void CDDrawRender::restoreLocked() {
  if (m_primary == nullptr) return;
  if (m_primary->Restore() == platform::kSurfaceWrongMode) {
    // The display mode changed: everything is made again for the new mode.
    m_setUp = setupLocked(m_window, m_pictureWidth, m_pictureHeight, 1);
    return;
  }
  if (m_back != nullptr) m_back->Restore();
  if (m_picture != nullptr) m_picture->Restore();
}

int CDDrawRender::Refresh() {
  std::lock_guard lock(m_lock);
  if (m_primary == nullptr || m_back == nullptr || m_picture == nullptr) return 0;
  if (!presentLocked()) {
    if (!m_setUp) m_setUp = setupLocked(m_window, m_pictureWidth, m_pictureHeight, 0);
    presentLocked();
  }
  return 1;
}

void CDDrawRender::SetWindow(uint32_t window) {
  std::lock_guard lock(m_lock);
  m_window = window;
  m_setUp = 0;
}

}  // namespace kv
