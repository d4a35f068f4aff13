// The headless display: the screen behind headless windows. It keeps what was presented in
// each window, and lets tests lose surfaces, change the display mode, shrink the blitter's
// capabilities, choose the primary's pixel format and hold the raster on one line.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sdk/platform/surface.h"

namespace kv::platform {

struct Rgb {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
};

// One pixel of packed memory as 8-bit RGB (UYVY through BT.601).
Rgb ReadPixel(PixelFormat format, const uint8_t* bits, int pitch, int x, int y);

// The pixels of one window as last presented: window size, primary format.
struct PresentedImage {
  int width = 0;
  int height = 0;
  PixelFormat format = PixelFormat::kUnknown;
  int pitch = 0;
  std::vector<uint8_t> pixels;
  uint64_t presents = 0;  // blits into this window so far

  Rgb At(int x, int y) const { return ReadPixel(format, pixels.data(), pitch, x, y); }
};

struct HeadlessDisplaySettings {
  DeviceCaps caps{true, true};
  bool videoMemory = true;
  PixelFormat primaryFormat = PixelFormat::kRGB32;
  uint32_t screenHeight = 1080;
  std::optional<uint32_t> fixedScanLine;  // none: the emulated 60 Hz raster
};

class HeadlessDisplay {
 public:
  // The process's headless display (thread-safe).
  static HeadlessDisplay& Get();

  // Back to the default settings; presented pictures are dropped, counters cleared.
  void Reset();
  HeadlessDisplaySettings Settings() const;
  void SetCaps(DeviceCaps caps);
  void SetVideoMemory(bool available);
  // The primary's format for devices and surfaces made from now on, without a mode change.
  void SetPrimaryFormat(PixelFormat format);
  void SetScreenHeight(uint32_t lines);
  void SetFixedScanLine(std::optional<uint32_t> line);

  // Every existing surface is lost; Restore brings it back.
  void LoseSurfaces();
  // A display-mode change: every surface is lost and Restore answers kSurfaceWrongMode.
  void ChangeDisplayMode(PixelFormat newFormat);
  uint64_t LoseEpoch() const;
  uint64_t ModeEpoch() const;

  uint64_t VerticalBlankWaits() const;
  void CountVerticalBlankWait();
  // False when nothing was presented in the window.
  bool GetPresented(WindowId window, PresentedImage* out) const;
  // Stores a presentation (called by the headless backend).
  void StorePresented(WindowId window, const Rect& windowRect, int32_t left, int32_t top,
                      const uint8_t* bits, int pitch, int width, int height, PixelFormat format);

 private:
  HeadlessDisplay();
  struct Impl;
  Impl* m_impl;
};

}  // namespace kv::platform
