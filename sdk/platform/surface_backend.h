// What a display backend gives the surface layer: the primary's pixel format, the blitter's
// capabilities, presentation of pixels in a window, and the raster. Internal to the layer.
#pragma once

#include <cstdint>
#include <memory>

#include "sdk/platform/surface.h"

namespace kv::platform {

class DisplayBackend {
 public:
  virtual ~DisplayBackend() = default;
  virtual PixelFormat PrimaryFormat() const = 0;
  virtual DeviceCaps Caps() const = 0;
  // Whether surfaces may be placed in (emulated) video memory.
  virtual bool VideoMemoryAvailable() const = 0;
  // Surfaces made under an older epoch are lost (loss) or need a new device (mode).
  virtual uint64_t LoseEpoch() const { return 0; }
  virtual uint64_t ModeEpoch() const { return 0; }
  // Shows width x height pixels in the primary format with their top-left corner at the
  // screen position (left, top), clipped to the window.
  virtual int Present(WindowId window, int32_t left, int32_t top, const uint8_t* bits, int pitch,
                      int width, int height) = 0;
  virtual int GetScanLine(uint32_t* line);
  virtual int WaitForVerticalBlank();

 protected:
  // Height of the screen in lines, for the emulated raster.
  virtual uint32_t ScreenHeight() const = 0;
};

// A 60 Hz raster emulated from the monotonic clock: the visible lines then a blank of a
// twenty-fourth of them.
int EmulatedScanLine(uint32_t screenHeight, uint32_t* line);
void WaitForEmulatedBlank(uint32_t screenHeight);

std::shared_ptr<DisplayBackend> CreateHeadlessBackend();
// Null when the process's window system is not X11 or the display cannot be used.
std::shared_ptr<DisplayBackend> CreateX11Backend();

}  // namespace kv::platform
