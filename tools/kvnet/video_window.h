// kvnet's own X11 window that the library draws the live picture into, and its screenshot.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kvnet {

class VideoWindow {
 public:
  // Opens a connection to $DISPLAY, creates a window of the given size with the given title,
  // maps it and waits until it is visible. Null with *error when there is no display.
  static std::unique_ptr<VideoWindow> Open(int width, int height, const std::string& title,
                                           std::string* error);
  ~VideoWindow();
  VideoWindow(const VideoWindow&) = delete;
  VideoWindow& operator=(const VideoWindow&) = delete;

  // The X window id, handed to the library as the video window.
  uint32_t Id() const { return window_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  // Handles pending X events; false once the user closed the window or the connection broke.
  bool PumpEvents();
  // Reads the window's pixels back from the X server and writes them as a PNG file. *blank is
  // set when every pixel has the same colour (nothing was drawn).
  bool SavePng(const std::string& path, bool* blank, std::string* error);

 private:
  struct Connection;
  VideoWindow(std::unique_ptr<Connection> connection, uint32_t window, int width, int height,
              uint32_t deleteAtom);

  std::unique_ptr<Connection> connection_;
  uint32_t window_;
  int width_;
  int height_;
  uint32_t deleteAtom_;
  bool closed_ = false;
};

}  // namespace kvnet
