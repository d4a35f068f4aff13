// The position slider. It reports its movements as the window system's horizontal scroll codes
// and tells when the mouse lets go of it (the end of a drag or of a click on its channel).
#pragma once

#include <QRect>
#include <QSlider>

namespace kvreplay {

// Horizontal scroll codes.
enum ScrollCode : int {
  SB_LINEUP = 0,
  SB_LINEDOWN = 1,
  SB_PAGEUP = 2,
  SB_PAGEDOWN = 3,
  SB_THUMBPOSITION = 4,
  SB_THUMBTRACK = 5,
  SB_TOP = 6,
  SB_BOTTOM = 7,
  SB_ENDSCROLL = 8,
};

// The scroll code of a slider action (QAbstractSlider::SliderAction).
int ScrollCodeOfAction(int action);

class CPositionSlider : public QSlider {
  Q_OBJECT

 public:
  explicit CPositionSlider(QWidget* parent);

  // True while a mouse button holds the slider.
  bool MouseCaptured() const { return m_mouseCaptured; }
  // Where the handle is drawn, in the slider's coordinates.
  QRect HandleRect() const;

 signals:
  // A movement, with its scroll code; the new place is sliderPosition().
  void scrolled(int code);
  // The mouse let go of the slider.
  void releasedCapture();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool m_mouseCaptured = false;
};

}  // namespace kvreplay
