// The video window on xcb; the screenshot reads it with GetImage and writes the PNG with cairo.
#include "kvnet/video_window.h"

#include <cairo.h>
#include <poll.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kvnet {
namespace {

template <typename T>
struct FreeDeleter {
  void operator()(T* p) const { std::free(p); }
};
template <typename T>
using XcbReply = std::unique_ptr<T, FreeDeleter<T>>;

xcb_atom_t InternAtom(xcb_connection_t* c, const char* name) {
  XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// The visual of the screen's root window (the one our window inherits).
const xcb_visualtype_t* RootVisual(const xcb_screen_t* screen) {
  for (xcb_depth_iterator_t d = xcb_screen_allowed_depths_iterator(screen); d.rem;
       xcb_depth_next(&d)) {
    for (xcb_visualtype_iterator_t v = xcb_depth_visuals_iterator(d.data); v.rem;
         xcb_visualtype_next(&v)) {
      if (v.data->visual_id == screen->root_visual) return v.data;
    }
  }
  return nullptr;
}

int BitsPerPixel(const xcb_setup_t* setup, uint8_t depth) {
  for (xcb_format_iterator_t f = xcb_setup_pixmap_formats_iterator(setup); f.rem;
       xcb_format_next(&f)) {
    if (f.data->depth == depth) return f.data->bits_per_pixel;
  }
  return 0;
}

int ShiftOf(uint32_t mask) {
  int shift = 0;
  while (mask != 0 && (mask & 1u) == 0) {
    mask >>= 1;
    ++shift;
  }
  return shift;
}

}  // namespace

struct VideoWindow::Connection {
  xcb_connection_t* c = nullptr;
  const xcb_screen_t* screen = nullptr;
  ~Connection() {
    if (c != nullptr) xcb_disconnect(c);
  }
};

VideoWindow::VideoWindow(std::unique_ptr<Connection> connection, uint32_t window, int width,
                         int height, uint32_t deleteAtom)
    : connection_(std::move(connection)),
      window_(window),
      width_(width),
      height_(height),
      deleteAtom_(deleteAtom) {}

VideoWindow::~VideoWindow() {
  if (xcb_connection_has_error(connection_->c) == 0) {
    xcb_destroy_window(connection_->c, window_);
    xcb_flush(connection_->c);
  }
}

std::unique_ptr<VideoWindow> VideoWindow::Open(int width, int height, const std::string& title,
                                               std::string* error) {
  auto connection = std::make_unique<Connection>();
  int screenNumber = 0;
  connection->c = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(connection->c) != 0) {
    const char* display = std::getenv("DISPLAY");
    *error = std::string("cannot open X display \"") + (display != nullptr ? display : "") + "\"";
    return nullptr;
  }
  xcb_connection_t* c = connection->c;
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; it.rem > 0; ++i, xcb_screen_next(&it)) {
    if (i == screenNumber) connection->screen = it.data;
  }
  if (connection->screen == nullptr) {
    *error = "the X display has no screen " + std::to_string(screenNumber);
    return nullptr;
  }
  const xcb_screen_t* screen = connection->screen;
  const xcb_window_t window = xcb_generate_id(c);
  const uint32_t values[] = {screen->black_pixel,
                             XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_EXPOSURE};
  xcb_generic_error_t* failure = xcb_request_check(
      c, xcb_create_window_checked(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0,
                                   static_cast<uint16_t>(width), static_cast<uint16_t>(height), 0,
                                   XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                                   XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values));
  if (failure != nullptr) {
    std::free(failure);
    *error = "cannot create the X window";
    return nullptr;
  }
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                      static_cast<uint32_t>(title.size()), title.data());
  // Closing the window from a window manager should end kvnet, not kill its connection.
  const xcb_atom_t protocols = InternAtom(c, "WM_PROTOCOLS");
  const xcb_atom_t deleteAtom = InternAtom(c, "WM_DELETE_WINDOW");
  if (protocols != XCB_ATOM_NONE && deleteAtom != XCB_ATOM_NONE) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, protocols, XCB_ATOM_ATOM, 32, 1,
                        &deleteAtom);
  }
  xcb_map_window(c, window);
  xcb_flush(c);

  // The library draws only into a viewable window, so wait for the map (a window manager may
  // take a moment; without one it is immediate).
  std::unique_ptr<VideoWindow> result(
      new VideoWindow(std::move(connection), window, width, height, deleteAtom));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < deadline) {
    XcbReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
    if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE) return result;
    if (!result->PumpEvents()) break;
    pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
    ::poll(&p, 1, 20);
  }
  *error = "the X window did not become visible";
  return nullptr;
}

bool VideoWindow::PumpEvents() {
  xcb_connection_t* c = connection_->c;
  if (xcb_connection_has_error(c) != 0) return false;
  while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
    const uint8_t type = event->response_type & 0x7f;
    if (type == XCB_CLIENT_MESSAGE) {
      auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
      if (message->format == 32 && message->data.data32[0] == deleteAtom_) closed_ = true;
    } else if (type == XCB_DESTROY_NOTIFY) {
      closed_ = true;
    } else if (type == XCB_CONFIGURE_NOTIFY) {
      auto* configure = reinterpret_cast<xcb_configure_notify_event_t*>(event);
      width_ = configure->width;
      height_ = configure->height;
    }
    std::free(event);
  }
  return !closed_ && xcb_connection_has_error(c) == 0;
}

bool VideoWindow::SavePng(const std::string& path, bool* blank, std::string* error) {
  xcb_connection_t* c = connection_->c;
  if (xcb_connection_has_error(c) != 0) {
    *error = "the X connection is broken";
    return false;
  }
  const xcb_screen_t* screen = connection_->screen;
  const xcb_visualtype_t* visual = RootVisual(screen);
  const int bpp = BitsPerPixel(xcb_get_setup(c), screen->root_depth);
  if (visual == nullptr || visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR ||
      (bpp != 32 && bpp != 24) || xcb_get_setup(c)->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
    *error = "screenshots need a 24/32-bit true-colour, LSB-first display";
    return false;
  }
  const int width = width_;
  const int height = height_;
  xcb_generic_error_t* failure = nullptr;
  XcbReply<xcb_get_image_reply_t> image(xcb_get_image_reply(
      c,
      xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window_, 0, 0, static_cast<uint16_t>(width),
                    static_cast<uint16_t>(height), ~0u),
      &failure));
  if (!image) {
    std::free(failure);
    *error = "GetImage on the window failed";
    return false;
  }
  const uint8_t* pixels = xcb_get_image_data(image.get());
  const int length = xcb_get_image_data_length(image.get());
  // ZPixmap rows are padded to the format's scanline pad, 32 bits on every common server.
  const int bytesPerPixel = bpp / 8;
  const int sourceStride = (width * bpp + 31) / 32 * 4;
  if (length < sourceStride * height) {
    *error = "GetImage returned fewer bytes than the window holds";
    return false;
  }
  const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, width);
  std::vector<uint8_t> buffer(static_cast<size_t>(stride) * height);
  const int redShift = ShiftOf(visual->red_mask);
  const int greenShift = ShiftOf(visual->green_mask);
  const int blueShift = ShiftOf(visual->blue_mask);
  *blank = true;
  for (int y = 0; y < height; ++y) {
    const uint8_t* in = pixels + static_cast<size_t>(y) * sourceStride;
    auto* out = reinterpret_cast<uint32_t*>(buffer.data() + static_cast<size_t>(y) * stride);
    for (int x = 0; x < width; ++x, in += bytesPerPixel) {
      uint32_t value = uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16;
      if (bytesPerPixel == 4) value |= uint32_t{in[3]} << 24;
      const uint32_t r = (value & visual->red_mask) >> redShift;
      const uint32_t g = (value & visual->green_mask) >> greenShift;
      const uint32_t b = (value & visual->blue_mask) >> blueShift;
      out[x] = (r & 0xFF) << 16 | (g & 0xFF) << 8 | (b & 0xFF);
      if (out[x] != *reinterpret_cast<const uint32_t*>(buffer.data())) *blank = false;
    }
  }
  cairo_surface_t* surface =
      cairo_image_surface_create_for_data(buffer.data(), CAIRO_FORMAT_RGB24, width, height, stride);
  cairo_status_t status = cairo_surface_status(surface);
  if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_write_to_png(surface, path.c_str());
  cairo_surface_destroy(surface);
  if (status != CAIRO_STATUS_SUCCESS) {
    *error = "cannot write " + path + ": " + cairo_status_to_string(status);
    return false;
  }
  return true;
}

}  // namespace kvnet
