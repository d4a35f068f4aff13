// The surface layer the display renderer draws through: a display device per window,
// off-screen surfaces in memory, a primary surface that shows pixels in a window through a
// clipper, stretch blits, device contexts (cairo), surface loss and restore, and the raster
// position. The backend (X11 or headless) follows the process's window system.
#pragma once

#include <cstdint>
#include <memory>

#include "sdk/platform/window_system.h"

typedef struct _cairo cairo_t;

namespace kv::platform {

class DisplayBackend;
class StretchBlitter;

enum class PixelFormat : int {
  kUnknown = 0,
  kUYVY = 1,    // packed 4:2:2, bytes U Y0 V Y1
  kRGB32 = 2,   // 32 bits, bytes B G R x
  kRGB24 = 3,   // 24 bits, bytes B G R
  kRGB565 = 4,  // 16 bits, red mask 0xF800
  kRGB555 = 5,  // 16 bits, red mask 0x7C00
};

// Bytes per pixel (UYVY: 2); 0 for kUnknown.
int BytesPerPixel(PixelFormat format);

// Result codes of the layer; kSurfaceOk is success.
enum SurfaceResult : int {
  kSurfaceOk = 0,
  kSurfaceLost = 1,       // the surface's memory was lost: Restore it
  kSurfaceWrongMode = 2,  // the display mode changed since the surface was made
  kSurfaceInvalidParams = 3,
  kSurfaceUnsupported = 4,    // format or memory kind not available
  kSurfaceNoWindow = 5,       // no clipper window, or the window is gone
  kSurfaceFailed = 6,         // anything else (allocation, server error)
  kSurfaceVerticalBlank = 7,  // GetScanLine: the raster is in the vertical blank
  kSurfaceLocked = 8,         // the surface is locked
};

enum class SurfaceMemory { kDriver, kVideo, kSystem };

struct DeviceCaps {
  bool stretch = false;     // the blitter stretches in both directions
  bool fourccBlit = false;  // the blitter converts FourCC (UYVY) surfaces
};

struct SurfaceDesc {
  int width = 0;
  int height = 0;
  PixelFormat format = PixelFormat::kUnknown;  // kUnknown: the primary's format
  SurfaceMemory memory = SurfaceMemory::kDriver;
};

struct LockedRect {
  uint8_t* bits = nullptr;
  int pitch = 0;  // bytes per row
};

// Confines blits into the primary surface to one window.
class Clipper {
 public:
  void SetWindow(WindowId window) { m_window = window; }
  WindowId Window() const { return m_window; }

 private:
  WindowId m_window = 0;
};

// An off-screen surface (pixels in memory) or the primary surface (the screen, reached only
// through blits into a clipper's window). Locked memory holds at least the width rounded up
// to 16 pixels and the height rounded up to 2 rows, so converters may write whole blocks.
class Surface {
 public:
  ~Surface();
  Surface(const Surface&) = delete;
  Surface& operator=(const Surface&) = delete;

  bool IsPrimary() const { return m_primary; }
  PixelFormat Format() const { return m_format; }
  int Width() const { return m_width; }
  int Height() const { return m_height; }
  bool InVideoMemory() const { return m_videoMemory; }

  int Lock(LockedRect* out);
  int Unlock();
  // kSurfaceOk, kSurfaceLost or kSurfaceWrongMode.
  int IsLost() const;
  // Gives the memory back after a loss (contents cleared); kSurfaceWrongMode when the display
  // mode changed since the surface was made.
  int Restore();
  void SetClipper(std::shared_ptr<Clipper> clipper) { m_clipper = std::move(clipper); }
  const std::shared_ptr<Clipper>& GetClipper() const { return m_clipper; }
  // A cairo context drawing on the surface, for 32-bit and 5-6-5 surfaces only
  // (kSurfaceUnsupported otherwise). Release it before the next lock or blit.
  int GetDC(cairo_t** out);
  void ReleaseDC(cairo_t* dc);

 private:
  friend class DisplayDevice;
  Surface(std::shared_ptr<DisplayBackend> backend, bool primary, PixelFormat format, int width,
          int height, bool videoMemory);

  std::shared_ptr<DisplayBackend> m_backend;
  const bool m_primary;
  const PixelFormat m_format;
  const int m_width;
  const int m_height;
  const bool m_videoMemory;
  int m_pitch = 0;
  std::unique_ptr<uint8_t[]> m_pixels;
  uint64_t m_loseEpoch = 0;
  uint64_t m_modeEpoch = 0;
  bool m_locked = false;
  std::shared_ptr<Clipper> m_clipper;
};

// One device per renderer: creates its surfaces and blits between them. Not thread-safe;
// its owner serialises the calls.
class DisplayDevice {
 public:
  // Opens a device on the process's window system's display.
  static int Create(std::unique_ptr<DisplayDevice>* out);
  ~DisplayDevice();
  DisplayDevice(const DisplayDevice&) = delete;
  DisplayDevice& operator=(const DisplayDevice&) = delete;

  // Windowed (normal) use of the display for this window.
  int SetCooperativeLevel(WindowId window);
  DeviceCaps GetCaps() const;
  int CreatePrimarySurface(std::unique_ptr<Surface>* out);
  int CreateClipper(std::shared_ptr<Clipper>* out);
  int CreateSurface(const SurfaceDesc& desc, std::unique_ptr<Surface>* out);
  // Copies srcRect of src into dstRect of dst, stretching bilinearly and converting the pixel
  // format. Into the primary, dstRect is in screen coordinates and the clipper's window
  // receives the part that falls on it.
  int Blt(Surface* dst, const Rect& dstRect, Surface* src, const Rect& srcRect);
  // The raster's current line; kSurfaceVerticalBlank while in the vertical blank.
  int GetScanLine(uint32_t* line);
  // Returns at the beginning of the next vertical blank.
  int WaitForVerticalBlank();

 private:
  explicit DisplayDevice(std::shared_ptr<DisplayBackend> backend);

  std::shared_ptr<DisplayBackend> m_backend;
  std::unique_ptr<StretchBlitter> m_blitter;
  WindowId m_cooperativeWindow = 0;
};

}  // namespace kv::platform
