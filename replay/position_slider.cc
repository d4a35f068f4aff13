// The position slider.
#include "replay/position_slider.h"

#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionSlider>

namespace kvreplay {

int ScrollCodeOfAction(int action) {
  switch (action) {
    case QAbstractSlider::SliderSingleStepAdd:
      return SB_LINEDOWN;
    case QAbstractSlider::SliderSingleStepSub:
      return SB_LINEUP;
    case QAbstractSlider::SliderPageStepAdd:
      return SB_PAGEDOWN;
    case QAbstractSlider::SliderPageStepSub:
      return SB_PAGEUP;
    case QAbstractSlider::SliderToMinimum:
      return SB_TOP;
    case QAbstractSlider::SliderToMaximum:
      return SB_BOTTOM;
    case QAbstractSlider::SliderMove:
      return SB_THUMBTRACK;
    default:
      return SB_ENDSCROLL;
  }
}

CPositionSlider::CPositionSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
  setTickPosition(QSlider::NoTicks);
  setTracking(true);
  connect(this, &QAbstractSlider::actionTriggered, this,
          [this](int action) { emit scrolled(ScrollCodeOfAction(action)); });
}

QRect CPositionSlider::HandleRect() const {
  QStyleOptionSlider option;
  initStyleOption(&option);
  return style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
}

void CPositionSlider::mousePressEvent(QMouseEvent* event) {
  QSlider::mousePressEvent(event);
  if (event->isAccepted()) m_mouseCaptured = true;
}

void CPositionSlider::mouseReleaseEvent(QMouseEvent* event) {
  const bool dragging = isSliderDown();
  QSlider::mouseReleaseEvent(event);
  if (!m_mouseCaptured || event->buttons() != Qt::NoButton) return;
  // A drag ends with the handle's final place, as the window system's trackbar reports it.
  if (dragging) emit scrolled(SB_THUMBPOSITION);
  m_mouseCaptured = false;
  emit releasedCapture();
}

}  // namespace kvreplay
