// The X11 display backend: pixels go into the window through MIT-SHM when the server shares
// memory with us, else through plain PutImage requests cut to the server's request size.
// Every request is checked, so a window destroyed by its owner only fails that picture.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sdk/platform/surface_backend.h"
#include "sdk/platform/x11_window.h"

namespace kv::platform {

namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbPtr = std::unique_ptr<T, FreeDeleter>;

bool checked(xcb_connection_t* connection, xcb_void_cookie_t cookie) {
  XcbPtr<xcb_generic_error_t> error(xcb_request_check(connection, cookie));
  return error == nullptr;
}

class X11Backend : public DisplayBackend {
 public:
  X11Backend(X11WindowSystem* windows, PixelFormat format, uint8_t depth, int bitsPerPixel)
      : m_windows(windows),
        m_connection(windows->Connection()),
        m_format(format),
        m_depth(depth),
        m_bytesPerPixel(bitsPerPixel / 8),
        m_screenHeight(windows->Screen()->height_in_pixels) {
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(m_connection, &xcb_shm_id);
    m_shmAvailable = shm != nullptr && shm->present;
  }

  ~X11Backend() override {
    if (m_gc != 0) xcb_request_check(m_connection, xcb_free_gc_checked(m_connection, m_gc));
    detachShm();
  }

  PixelFormat PrimaryFormat() const override { return m_format; }
  DeviceCaps Caps() const override { return DeviceCaps{true, true}; }
  bool VideoMemoryAvailable() const override { return true; }

  int Present(WindowId window, int32_t left, int32_t top, const uint8_t* bits, int pitch, int width,
              int height) override {
    Rect windowRect;
    if (!m_windows->GetWindowRect(window, &windowRect)) return kSurfaceNoWindow;
    if (!ensureGc(window)) return kSurfaceNoWindow;
    const int16_t x = static_cast<int16_t>(left - windowRect.left);
    const int16_t y = static_cast<int16_t>(top - windowRect.top);
    // ZPixmap rows are padded to 32 bits.
    const int stride = (width * m_bytesPerPixel + 3) & ~3;
    if (m_shmAvailable && ensureShm(static_cast<size_t>(stride) * height)) {
      for (int row = 0; row < height; ++row) {
        std::memcpy(m_shmAddress + static_cast<size_t>(row) * stride,
                    bits + static_cast<ptrdiff_t>(row) * pitch,
                    static_cast<size_t>(width) * m_bytesPerPixel);
      }
      // The check is also the round trip after which the segment may be written again.
      xcb_void_cookie_t cookie =
          xcb_shm_put_image_checked(m_connection, window, m_gc, width, height, 0, 0, width, height,
                                    x, y, m_depth, XCB_IMAGE_FORMAT_Z_PIXMAP, 0, m_shmSeg, 0);
      return checked(m_connection, cookie) ? kSurfaceOk : kSurfaceFailed;
    }
    return putImage(window, x, y, bits, pitch, width, height, stride);
  }

 protected:
  uint32_t ScreenHeight() const override { return m_screenHeight; }

 private:
  bool ensureGc(WindowId window) {
    if (m_gc != 0 && m_gcWindow == window) return true;
    if (m_gc != 0) {
      xcb_request_check(m_connection, xcb_free_gc_checked(m_connection, m_gc));
      m_gc = 0;
    }
    const xcb_gcontext_t gc = xcb_generate_id(m_connection);
    const uint32_t values[] = {0};
    if (!checked(m_connection, xcb_create_gc_checked(m_connection, gc, window,
                                                     XCB_GC_GRAPHICS_EXPOSURES, values))) {
      return false;
    }
    m_gc = gc;
    m_gcWindow = window;
    return true;
  }

  bool ensureShm(size_t bytes) {
    if (m_shmAddress != nullptr && m_shmSize >= bytes) return true;
    detachShm();
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) {
      m_shmAvailable = false;
      return false;
    }
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
      shmctl(id, IPC_RMID, nullptr);
      m_shmAvailable = false;
      return false;
    }
    const xcb_shm_seg_t seg = xcb_generate_id(m_connection);
    const bool attached = checked(m_connection, xcb_shm_attach_checked(m_connection, seg, id, 0));
    // Marked for removal now: it goes when both sides have detached.
    shmctl(id, IPC_RMID, nullptr);
    if (!attached) {
      // A server on another machine: plain requests from now on.
      shmdt(address);
      m_shmAvailable = false;
      return false;
    }
    m_shmAddress = static_cast<uint8_t*>(address);
    m_shmSize = bytes;
    m_shmSeg = seg;
    return true;
  }

  void detachShm() {
    if (m_shmAddress == nullptr) return;
    xcb_request_check(m_connection, xcb_shm_detach_checked(m_connection, m_shmSeg));
    shmdt(m_shmAddress);
    m_shmAddress = nullptr;
    m_shmSize = 0;
  }

  int putImage(WindowId window, int16_t x, int16_t y, const uint8_t* bits, int pitch, int width,
               int height, int stride) {
    const size_t maxBytes = static_cast<size_t>(xcb_get_maximum_request_length(m_connection)) * 4;
    const size_t header = 64;
    if (maxBytes <= header + stride) return kSurfaceFailed;
    const int rowsPerRequest =
        static_cast<int>(std::min<size_t>((maxBytes - header) / stride, height));
    std::vector<uint8_t> strip(static_cast<size_t>(stride) * rowsPerRequest);
    for (int row = 0; row < height; row += rowsPerRequest) {
      const int rows = std::min(rowsPerRequest, height - row);
      for (int i = 0; i < rows; ++i) {
        std::memcpy(strip.data() + static_cast<size_t>(i) * stride,
                    bits + static_cast<ptrdiff_t>(row + i) * pitch,
                    static_cast<size_t>(width) * m_bytesPerPixel);
      }
      xcb_void_cookie_t cookie =
          xcb_put_image_checked(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, m_gc, width, rows,
                                x, static_cast<int16_t>(y + row), 0, m_depth,
                                static_cast<uint32_t>(stride) * rows, strip.data());
      if (!checked(m_connection, cookie)) return kSurfaceFailed;
    }
    return kSurfaceOk;
  }

  X11WindowSystem* const m_windows;
  xcb_connection_t* const m_connection;
  const PixelFormat m_format;
  const uint8_t m_depth;
  const int m_bytesPerPixel;
  const uint32_t m_screenHeight;
  bool m_shmAvailable = false;
  xcb_gcontext_t m_gc = 0;
  WindowId m_gcWindow = 0;
  uint8_t* m_shmAddress = nullptr;
  size_t m_shmSize = 0;
  xcb_shm_seg_t m_shmSeg = 0;
};

// The screen's pixel format from its root visual and the server's pixmap formats.
bool screenFormat(xcb_connection_t* connection, const xcb_screen_t* screen, PixelFormat* format,
                  int* bitsPerPixel) {
  const xcb_setup_t* setup = xcb_get_setup(connection);
  *bitsPerPixel = 0;
  for (xcb_format_iterator_t it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0;
       xcb_format_next(&it)) {
    if (it.data->depth == screen->root_depth) *bitsPerPixel = it.data->bits_per_pixel;
  }
  const xcb_visualtype_t* visual = nullptr;
  for (xcb_depth_iterator_t d = xcb_screen_allowed_depths_iterator(screen); d.rem > 0 && !visual;
       xcb_depth_next(&d)) {
    for (xcb_visualtype_iterator_t v = xcb_depth_visuals_iterator(d.data); v.rem > 0;
         xcb_visualtype_next(&v)) {
      if (v.data->visual_id == screen->root_visual) {
        visual = v.data;
        break;
      }
    }
  }
  if (visual == nullptr || visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR) return false;
  if (*bitsPerPixel == 32 && visual->red_mask == 0xFF0000 && visual->blue_mask == 0xFF) {
    *format = PixelFormat::kRGB32;
  } else if (*bitsPerPixel == 24 && visual->red_mask == 0xFF0000 && visual->blue_mask == 0xFF) {
    *format = PixelFormat::kRGB24;
  } else if (*bitsPerPixel == 16 && visual->red_mask == 0xF800) {
    *format = PixelFormat::kRGB565;
  } else if (*bitsPerPixel == 16 && visual->red_mask == 0x7C00) {
    *format = PixelFormat::kRGB555;
  } else {
    return false;
  }
  return setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
}

}  // namespace

std::shared_ptr<DisplayBackend> CreateX11Backend() {
  auto* windows = dynamic_cast<X11WindowSystem*>(&GetWindowSystem());
  if (windows == nullptr) return nullptr;
  PixelFormat format = PixelFormat::kUnknown;
  int bitsPerPixel = 0;
  if (!screenFormat(windows->Connection(), windows->Screen(), &format, &bitsPerPixel)) {
    return nullptr;
  }
  return std::make_shared<X11Backend>(windows, format, windows->Screen()->root_depth, bitsPerPixel);
}

}  // namespace kv::platform
