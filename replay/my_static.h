// The video area: a black frame that takes dropped files and double clicks, with the native
// window the library draws into inside it. That window is shown only while a file is open, so
// that the area is blank otherwise.
#pragma once

#include <QFrame>
#include <QWidget>
#include <cstdint>
#include <functional>

class QPaintEngine;

namespace kvreplay {

// The native X11 window the library draws into. The window system never paints it: the library
// does, and an exposed part is redrawn by asking the library.
class CVideoSurface : public QWidget {
 public:
  explicit CVideoSurface(QWidget* parent);
  QPaintEngine* paintEngine() const override { return nullptr; }
  // Called when a part of the window needs drawing again.
  std::function<void()> onExpose;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

class CMyStatic : public QFrame {
 public:
  explicit CMyStatic(QWidget* parent);

  // The X11 window the library draws into (it is made when needed).
  uint32_t VideoWindowId();
  // Shows or hides the drawing window.
  void ShowSurface(bool show);
  // Shows the drawing window again if it should be shown: moving the area to another window
  // can hide it.
  void RestoreSurface();
  // After the area moved to another window: makes the drawing window a child of that window at
  // once (the window system would only do it when the area is next shown, and the window it
  // left could take the drawing window with it when it goes).
  void ReattachSurface();
  bool SurfaceShown() const;
  CVideoSurface* Surface() const { return m_surface; }

  // A file was dropped: called with its path.
  std::function<void(const QString& path)> onFileDropped;
  // The area was double clicked.
  std::function<void()> onDoubleClicked;
  // The drawing window needs drawing again.
  std::function<void()> onExpose;

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  CVideoSurface* m_surface;
  bool m_surfaceWanted = false;
};

}  // namespace kvreplay
