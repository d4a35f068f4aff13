// The built-in draw callback: motion-detection regions (white, and red while alarmed) and
// the "Rec" mark, drawn with cairo on the window-size back surface.
#pragma once

#include <functional>

#include "KvNetClient.h"

namespace kv {

struct ViewState;

// What the overlay draws from: the client's view state (regions, mode, window) and whether
// normal recording is on.
struct OverlayInputs {
  std::function<bool()> isRecording;
  ViewState* view = nullptr;
};

// (client handle, cairo context, const OverlayInputs* or null). Returns 1 when the context,
// the client's window, the handle or the view state is missing, else 0. The process-wide font and
// brush are made on first use and freed by KVNET_Cleanup.
int KVNET_CALL DrawOverlay(KVNET_HANDLE client, void* dc, void* context);

// How long an alarmed region stays red after its alarm.
inline constexpr uint32_t kAlarmShowMs = 3000;
// The fixed coordinate space of the motion-detection regions.
inline constexpr double kRegionSpaceWidth = 704.0;
inline constexpr double kRegionSpaceHeight = 576.0;

}  // namespace kv
