// The video area.
#include "replay/my_static.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPalette>
#include <QUrl>
#include <QWindow>

namespace kvreplay {
namespace {

// The first dropped local file, or an empty text.
QString FirstDroppedFile(const QMimeData* data) {
  if (data == nullptr || !data->hasUrls()) return {};
  const QList<QUrl> urls = data->urls();
  if (urls.isEmpty() || !urls.first().isLocalFile()) return {};
  return urls.first().toLocalFile();
}

}  // namespace

CVideoSurface::CVideoSurface(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_NativeWindow);
  setAttribute(Qt::WA_DontCreateNativeAncestors);
  setAttribute(Qt::WA_PaintOnScreen);
  setAttribute(Qt::WA_NoSystemBackground);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void CVideoSurface::paintEvent(QPaintEvent*) {
  if (onExpose) onExpose();
}

CMyStatic::CMyStatic(QWidget* parent) : QFrame(parent), m_surface(new CVideoSurface(this)) {
  setFrameStyle(QFrame::Box | QFrame::Plain);
  setLineWidth(1);
  QPalette frame = palette();
  frame.setColor(QPalette::WindowText, Qt::black);
  setPalette(frame);
  setAcceptDrops(true);
  m_surface->hide();
  m_surface->onExpose = [this] {
    if (onExpose) onExpose();
  };
}

uint32_t CMyStatic::VideoWindowId() { return static_cast<uint32_t>(m_surface->winId()); }

void CMyStatic::ShowSurface(bool show) {
  m_surfaceWanted = show;
  m_surface->setGeometry(contentsRect());
  m_surface->setVisible(show);
  update();
}

void CMyStatic::RestoreSurface() {
  m_surface->setGeometry(contentsRect());
  if (m_surface->isHidden() == m_surfaceWanted) m_surface->setVisible(m_surfaceWanted);
}

bool CMyStatic::SurfaceShown() const { return m_surface->isVisible(); }

void CMyStatic::ReattachSurface() {
  QWindow* own = m_surface->windowHandle();
  QWidget* host = m_surface->nativeParentWidget();
  QWindow* hostWindow = host != nullptr ? host->windowHandle() : nullptr;
  if (own != nullptr && hostWindow != nullptr && own->parent() != hostWindow) {
    own->setParent(hostWindow);
  }
}

void CMyStatic::dragEnterEvent(QDragEnterEvent* event) {
  if (!FirstDroppedFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void CMyStatic::dragMoveEvent(QDragMoveEvent* event) {
  if (!FirstDroppedFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void CMyStatic::dropEvent(QDropEvent* event) {
  const QString path = FirstDroppedFile(event->mimeData());
  if (path.isEmpty()) return;
  event->acceptProposedAction();
  if (onFileDropped) onFileDropped(path);
}

void CMyStatic::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QFrame::mouseDoubleClickEvent(event);
  event->accept();
  if (onDoubleClicked) onDoubleClicked();
}

void CMyStatic::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  m_surface->setGeometry(contentsRect());
}

}  // namespace kvreplay
