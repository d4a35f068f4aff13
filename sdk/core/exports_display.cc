// Exports: what is drawn and where.
#include "sdk/core/export_guard.h"
#include "sdk/media/display_control.h"
#include "sdk/platform/clock.h"
#include "sdk/platform/window_system.h"
#include "sdk/sources/av_source.h"

using kv::CNetClient;
using kv::WithClient;

namespace {

kv::IDisplayControl* DisplayOf(CNetClient& c) {
  return c.m_source ? c.m_source->Display() : nullptr;
}

}  // namespace

extern "C" {

KVNET_API int KVNET_CALL KVNET_ClientStartView(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    c.m_viewState.view = 1;
    return 1;
  });
}

KVNET_API int KVNET_CALL KVNET_ClientStopView(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    kv::ViewState& view = c.m_viewState;
    view.view = 0;
    // The worker looks at the view again after raising the drawing flag, so once the flag
    // is down nothing more is drawn.
    view.drawingEnded.Wait([&] { return view.drawing.load() == 0; });
    return 1;
  });
}

KVNET_API int KVNET_CALL KVNET_ClientSetWnd(KVNET_HANDLE handle, KVNET_HWND wnd) {
  WithClient(handle, 1, [&](CNetClient& c) {
    if (wnd != 0) {
      kv::platform::Rect rect;
      if (kv::platform::GetWindowSystem().GetWindowRect(wnd, &rect)) {
        c.m_viewState.windowWidth = rect.Width();
        c.m_viewState.windowHeight = rect.Height();
      }
    }
    if (wnd == c.m_viewState.videoWindow.load()) return 1;
    c.m_viewState.videoWindow = wnd;
    if (wnd != 0) {
      if (kv::IDisplayControl* display = DisplayOf(c)) display->SetWindow(wnd);
    }
    return 1;
  });
  return 1;
}

KVNET_API int KVNET_CALL KVNET_ClientRefreshWnd(KVNET_HANDLE handle) {
  return WithClient(handle, 0, [](CNetClient& c) {
    if (c.m_viewState.view.load() == 0) return 0;
    kv::IDisplayControl* display = DisplayOf(c);
    return display != nullptr ? display->Refresh() : 0;
  });
}

KVNET_API KVNET_HANDLE KVNET_CALL KVNET_ClientVerticalFlip(KVNET_HANDLE handle, int on) {
  return WithClient<KVNET_HANDLE>(handle, nullptr, [&](CNetClient& c) {
    c.m_viewState.flip = on;
    return handle;
  });
}

KVNET_API KVNET_HANDLE KVNET_CALL KVNET_ClientRotate180(KVNET_HANDLE handle, int on) {
  return WithClient<KVNET_HANDLE>(handle, nullptr, [&](CNetClient& c) {
    c.m_viewState.rotate = on;
    return handle;
  });
}

KVNET_API KVNET_HANDLE KVNET_CALL KVNET_SetVertBlank(KVNET_HANDLE handle, int divisor) {
  return WithClient<KVNET_HANDLE>(handle, nullptr, [&](CNetClient& c) {
    c.m_viewState.vertBlankDivisor = divisor;
    return handle;
  });
}

KVNET_API int KVNET_CALL KVNET_ClientShowMDRegion(KVNET_HANDLE handle, int flags) {
  return WithClient(handle, 0, [&](CNetClient& c) {
    c.m_viewState.mdShowMode = flags;
    return 1;
  });
}

}  // extern "C"
