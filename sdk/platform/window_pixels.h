// Reads back what a window shows: from the X server (GetImage) or from the headless
// display's presented pixels. Used by tests and diagnostics.
#pragma once

#include "sdk/platform/surface_headless.h"

namespace kv::platform {

// The window's pixels in the screen's format; false for an unknown, unmapped or undrawn
// window.
bool ReadWindowPixels(WindowId window, PresentedImage* out);

}  // namespace kv::platform
