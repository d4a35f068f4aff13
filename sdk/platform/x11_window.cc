// The X11 window system through xcb: rectangles, visibility and posted messages, each a
// checked request so that a window destroyed by its owner only makes the call fail.
#include "sdk/platform/x11_window.h"

#include <cstdlib>
#include <cstring>

namespace kv::platform {

namespace {

// X11 reserves these as SendEvent destinations (pointer window, input focus) and as None.
bool isWindowId(WindowId window) { return window > XCB_SEND_EVENT_DEST_ITEM_FOCUS; }

// Frees an xcb reply or error on scope exit.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbPtr = std::unique_ptr<T, FreeDeleter>;

}  // namespace

std::unique_ptr<X11WindowSystem> X11WindowSystem::Open(const char* displayName) {
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(displayName, &screenNumber);
  if (connection == nullptr) return nullptr;
  if (xcb_connection_has_error(connection) != 0) {
    xcb_disconnect(connection);
    return nullptr;
  }
  const xcb_screen_t* screen = nullptr;
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; it.rem > 0; ++i, xcb_screen_next(&it)) {
    if (i == screenNumber) {
      screen = it.data;
      break;
    }
  }
  xcb_intern_atom_cookie_t cookie =
      xcb_intern_atom(connection, 0, std::strlen(kMessageAtomName), kMessageAtomName);
  XcbPtr<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection, cookie, nullptr));
  if (screen == nullptr || reply == nullptr) {
    xcb_disconnect(connection);
    return nullptr;
  }
  return std::unique_ptr<X11WindowSystem>(new X11WindowSystem(connection, screen, reply->atom));
}

X11WindowSystem::X11WindowSystem(xcb_connection_t* connection, const xcb_screen_t* screen,
                                 xcb_atom_t messageAtom)
    : m_connection(connection), m_screen(screen), m_messageAtom(messageAtom) {}

X11WindowSystem::~X11WindowSystem() { xcb_disconnect(m_connection); }

bool X11WindowSystem::GetWindowRect(WindowId window, Rect* out) {
  if (out == nullptr || !isWindowId(window)) return false;
  // Both requests go out before either reply is awaited: one round trip. The rectangle is the
  // window's inside (without its border), where pictures are drawn.
  xcb_get_geometry_cookie_t geometryCookie = xcb_get_geometry(m_connection, window);
  xcb_translate_coordinates_cookie_t translateCookie =
      xcb_translate_coordinates(m_connection, window, m_screen->root, 0, 0);
  xcb_generic_error_t* error = nullptr;
  XcbPtr<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(m_connection, geometryCookie, &error));
  XcbPtr<xcb_generic_error_t> geometryError(error);
  error = nullptr;
  XcbPtr<xcb_translate_coordinates_reply_t> origin(
      xcb_translate_coordinates_reply(m_connection, translateCookie, &error));
  XcbPtr<xcb_generic_error_t> translateError(error);
  if (geometry == nullptr || origin == nullptr) return false;
  if (!origin->same_screen && geometry->root != m_screen->root) {
    // A window on another screen of the display: translate against that screen's root.
    translateCookie = xcb_translate_coordinates(m_connection, window, geometry->root, 0, 0);
    error = nullptr;
    origin.reset(xcb_translate_coordinates_reply(m_connection, translateCookie, &error));
    translateError.reset(error);
    if (origin == nullptr) return false;
  }
  out->left = origin->dst_x;
  out->top = origin->dst_y;
  out->right = out->left + geometry->width;
  out->bottom = out->top + geometry->height;
  return true;
}

bool X11WindowSystem::IsWindowVisible(WindowId window) {
  if (!isWindowId(window)) return false;
  xcb_get_window_attributes_cookie_t cookie = xcb_get_window_attributes(m_connection, window);
  xcb_generic_error_t* error = nullptr;
  XcbPtr<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(m_connection, cookie, &error));
  XcbPtr<xcb_generic_error_t> errorGuard(error);
  return attributes != nullptr && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

bool X11WindowSystem::PostMessage(WindowId window, uint32_t message, uint32_t wParam,
                                  uint32_t lParam) {
  if (!isWindowId(window)) return false;
  // SendEvent always transmits 32 bytes; the client message event is exactly that size.
  static_assert(sizeof(xcb_client_message_event_t) == 32);
  xcb_client_message_event_t event;
  std::memset(&event, 0, sizeof(event));
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = window;
  event.type = m_messageAtom;
  event.data.data32[0] = message;
  event.data.data32[1] = wParam;
  event.data.data32[2] = lParam;
  // An empty event mask delivers the event to the client that created the window.
  xcb_void_cookie_t cookie = xcb_send_event_checked(
      m_connection, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
  // The check flushes the request and waits for the server's verdict.
  XcbPtr<xcb_generic_error_t> error(xcb_request_check(m_connection, cookie));
  return error == nullptr && xcb_connection_has_error(m_connection) == 0;
}

}  // namespace kv::platform
