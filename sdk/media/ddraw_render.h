// CDDrawRender: draws decoded planar 4:2:0 pictures into the client's window. The picture is
// converted into a surface of its own size, stretched into a window-size back surface,
// overlaid there through the draw callback and shown in the window's part of the screen.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "KvNetClient.h"
#include "sdk/media/overlay.h"
#include "sdk/platform/surface.h"
#include "sdk/platform/window_system.h"
#include "sdk/platform/yuv_convert.h"

namespace kv {

class IEventNotifier;
struct ViewState;

// Picture surface format codes.
enum PictureFormat : int {
  PICFMT_NONE = 0,
  PICFMT_UYVY = 1,
  PICFMT_RGB32 = 2,
  PICFMT_RGB24 = 3,
  PICFMT_RGB565 = 4,
  PICFMT_RGB555 = 5,
};

class CDDrawRender {
 public:
  // The view state it reads and reports the window size to, and whose handle the draw
  // callback is given; either may be null.
  CDDrawRender(ViewState* view, const IEventNotifier* notifier);
  ~CDDrawRender();
  CDDrawRender(const CDDrawRender&) = delete;
  CDDrawRender& operator=(const CDDrawRender&) = delete;

  // Builds the device, primary, clipper and back surface for the window, and with full the
  // picture surface for width x height. 1 or 0.
  int Setup(uint32_t window, int width, int height, int full);
  // Releases the picture surface (only with full), the back and primary surfaces and the
  // device.
  void ReleaseSurfaces(int full);
  // Draws one picture (decode thread). Nothing happens for a null or invisible window.
  void Render(uint32_t window, const uint8_t* y, const uint8_t* u, const uint8_t* v, int yStride,
              int uvStride, int width, int height);
  // Stretches the picture into the back surface, overlays it and shows it. 1 or 0.
  int Present();
  void RestoreSurfaces();

  // Redraws the last picture without decoding (1 or 0); moves drawing to another window (the
  // next picture rebuilds the surfaces).
  int Refresh();
  void SetWindow(uint32_t window);

  // The caller's draw callback and its context; null: the built-in overlay.
  void SetDrawCallback(KVNET_DrawCallback callback, void* context);
  // Tells the built-in overlay whether normal recording is on (for the "Rec" mark).
  void SetRecordingQuery(std::function<bool()> isRecording);

  int PictureFormatCode() const;
  int IsSetUp() const;

 private:
  int setupLocked(uint32_t window, int width, int height, int full);
  int presentLocked();
  void restoreLocked();

  ViewState* const m_view;
  const IEventNotifier* const m_notifier;
  std::unique_ptr<platform::DisplayDevice> m_device;
  std::unique_ptr<platform::Surface> m_primary;
  std::unique_ptr<platform::Surface> m_back;
  std::unique_ptr<platform::Surface> m_picture;
  platform::Rect m_backRect;
  platform::Rect m_pictureRect;
  int32_t m_setUp = 0;
  uint32_t m_window = 0;
  int m_format = PICFMT_NONE;
  int32_t m_pictureWidth = 0;
  int32_t m_pictureHeight = 0;
  mutable std::recursive_mutex m_lock;
  KVNET_DrawCallback m_drawCallback = nullptr;
  void* m_drawContext = nullptr;
  OverlayInputs m_overlayInputs;
  platform::YuvConverter m_converter;
};

}  // namespace kv
