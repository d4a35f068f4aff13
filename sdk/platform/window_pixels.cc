// Window read-back for both backends.
#include "sdk/platform/window_pixels.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "sdk/platform/surface_backend.h"
#include "sdk/platform/x11_window.h"

namespace kv::platform {

bool ReadWindowPixels(WindowId window, PresentedImage* out) {
  if (out == nullptr) return false;
  auto* x11 = dynamic_cast<X11WindowSystem*>(&GetWindowSystem());
  if (x11 == nullptr) return HeadlessDisplay::Get().GetPresented(window, out);

  std::shared_ptr<DisplayBackend> backend = CreateX11Backend();
  Rect rect;
  if (backend == nullptr || !x11->GetWindowRect(window, &rect) || rect.Width() <= 0 ||
      rect.Height() <= 0) {
    return false;
  }
  xcb_connection_t* connection = x11->Connection();
  xcb_get_image_cookie_t cookie = xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0,
                                                rect.Width(), rect.Height(), ~0u);
  xcb_generic_error_t* error = nullptr;
  xcb_get_image_reply_t* reply = xcb_get_image_reply(connection, cookie, &error);
  std::free(error);
  if (reply == nullptr) return false;
  const int length = xcb_get_image_data_length(reply);
  out->width = rect.Width();
  out->height = rect.Height();
  out->format = backend->PrimaryFormat();
  out->pitch = length / rect.Height();
  out->pixels.assign(xcb_get_image_data(reply), xcb_get_image_data(reply) + length);
  out->presents = 0;
  std::free(reply);
  return out->pitch >= rect.Width() * BytesPerPixel(out->format);
}

}  // namespace kv::platform
