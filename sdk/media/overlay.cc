// The built-in overlay. Region numbers are drawn like plain device-context text (black on
// an opaque white box); "Rec" in the shared bold red font on a transparent background.
#include "sdk/media/overlay.h"

#include <cairo.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "sdk/platform/clock.h"
#include "sdk/state/client_state.h"
#include "sdk/state/library_state.h"
#include "sdk/state/motion_regions.h"

namespace kv {

namespace {

std::mutex gOverlayMutex;
cairo_font_face_t* gRecFont = nullptr;  // bold "Arial" (or its fontconfig substitute)
cairo_pattern_t* gRecBrush = nullptr;   // solid red

void freeOverlayResources() {
  std::lock_guard lock(gOverlayMutex);
  if (gRecFont != nullptr) cairo_font_face_destroy(gRecFont);
  if (gRecBrush != nullptr) cairo_pattern_destroy(gRecBrush);
  gRecFont = nullptr;
  gRecBrush = nullptr;
}

// References to the shared font and brush, made on first use; the caller destroys them.
void takeOverlayResources(cairo_font_face_t** font, cairo_pattern_t** brush) {
  std::lock_guard lock(gOverlayMutex);
  if (gRecFont == nullptr) {
    gRecFont = cairo_toy_font_face_create("Arial", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    gRecBrush = cairo_pattern_create_rgb(1.0, 0.0, 0.0);
    RegisterCleanupHook(&freeOverlayResources);
  }
  *font = cairo_font_face_reference(gRecFont);
  *brush = cairo_pattern_reference(gRecBrush);
}

struct ScaledRect {
  int left, top, right, bottom;
};

// A region coordinate in window pixels. The device sends any 32-bit value; the result is
// clamped to one pixel beyond each window edge before it becomes an int, so a hostile value
// cannot overflow, and an edge outside the window stays outside instead of being drawn on the
// border.
int ScaleToWindow(int32_t value, int windowSize, double regionSpace) {
  const double limit = windowSize > 0 ? windowSize + 1.0 : 1.0;
  return static_cast<int>(std::clamp(value * (windowSize / regionSpace), -1.0, limit));
}

bool isEmpty(const int32_t region[4]) {
  return region[0] == 0 && region[1] == 0 && region[2] == 0 && region[3] == 0;
}

// The one-pixel frame inside the rectangle (right and bottom excluded).
void frameRect(cairo_t* cr, const ScaledRect& r, double red, double green, double blue) {
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  if (width <= 0 || height <= 0) return;
  cairo_save(cr);
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
  cairo_set_source_rgb(cr, red, green, blue);
  cairo_set_line_width(cr, 1.0);
  cairo_rectangle(cr, r.left + 0.5, r.top + 0.5, width - 1.0, height - 1.0);
  cairo_stroke(cr);
  cairo_restore(cr);
}

// The region's number with its top-left corner at (x, y).
void drawNumber(cairo_t* cr, int number, int x, int y) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", number);
  cairo_save(cr);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 13.0);
  cairo_font_extents_t font;
  cairo_font_extents(cr, &font);
  cairo_text_extents_t extents;
  cairo_text_extents(cr, text, &extents);
  cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
  cairo_rectangle(cr, x, y, extents.x_advance, font.ascent + font.descent);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
  cairo_move_to(cr, x, y + font.ascent);
  cairo_show_text(cr, text);
  cairo_restore(cr);
}

}  // namespace

int KVNET_CALL DrawOverlay(KVNET_HANDLE handle, void* dc, void* context) {
  auto* cr = static_cast<cairo_t*>(dc);
  const auto* inputs = static_cast<const OverlayInputs*>(context);
  ViewState* view = inputs != nullptr ? inputs->view : nullptr;
  if (cr == nullptr || handle == nullptr || view == nullptr || view->videoWindow == 0) return 1;
  const int windowWidth = view->windowWidth;
  const int windowHeight = view->windowHeight;
  const int flags = view->mdShowMode;
  // The regions are written by the control channel; the mask and alarm times by the event
  // receiver. They are read (and expired bits cleared) as single 32-bit atomics.
  MotionRegionTable& motion = view->motion;
  auto scaled = [&](const int32_t region[4]) {
    return ScaledRect{ScaleToWindow(region[0], windowWidth, kRegionSpaceWidth),
                      ScaleToWindow(region[1], windowHeight, kRegionSpaceHeight),
                      ScaleToWindow(region[2], windowWidth, kRegionSpaceWidth),
                      ScaleToWindow(region[3], windowHeight, kRegionSpaceHeight)};
  };
  auto readRegion = [&](int i, int32_t out[4]) { LoadRegion(motion, i, out); };

  if (flags & 1) {
    for (int i = 0; i < 16; ++i) {
      int32_t region[4];
      readRegion(i, region);
      if (isEmpty(region)) continue;
      const ScaledRect r = scaled(region);
      drawNumber(cr, i, r.left + 5, r.top + 5);
      frameRect(cr, r, 1.0, 1.0, 1.0);
    }
  }
  if (flags & 2) {
    std::atomic_ref mask(motion.lastMask);
    const uint32_t now = platform::GetTickCount();
    for (int i = 0; i < 16; ++i) {
      const uint32_t bit = 1u << i;
      int32_t region[4];
      readRegion(i, region);
      if (isEmpty(region) || (mask.load() & bit) == 0) continue;
      uint32_t age = now - std::atomic_ref(motion.lastMotionTick[i]).load();
      if (age > 0x7FFFFFFFu) age = 0u - age;  // an alarm time ahead of now counts as |now - t|
      if (age >= kAlarmShowMs) {
        mask.fetch_and(~bit);
        continue;
      }
      const ScaledRect r = scaled(region);
      drawNumber(cr, i, r.left + 5, r.top + 5);
      frameRect(cr, r, 1.0, 0.0, 0.0);
    }
  }

  if (inputs != nullptr && inputs->isRecording && inputs->isRecording()) {
    cairo_font_face_t* font = nullptr;
    cairo_pattern_t* brush = nullptr;
    takeOverlayResources(&font, &brush);
    cairo_save(cr);
    cairo_set_font_face(cr, font);
    cairo_set_font_size(cr, 15.0);
    cairo_set_source(cr, brush);
    cairo_font_extents_t extents;
    cairo_font_extents(cr, &extents);
    cairo_move_to(cr, windowWidth - 22, extents.ascent);
    cairo_show_text(cr, "Rec");
    cairo_restore(cr);
    cairo_font_face_destroy(font);
    cairo_pattern_destroy(brush);
  }
  return 0;
}

}  // namespace kv
