// The enlarged video window.
#include "replay/video_pane.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QTimer>

#include "replay/icons.h"
#include "replay/kv_replay_dlg.h"
#include "replay/my_static.h"

namespace kvreplay {

CVideoPane::CVideoPane(CKV_ReplayDlg* main, const QRect& place)
    : QDialog(nullptr, Qt::Tool | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint),
      m_main(main) {
  setModal(false);
  setSizeGripEnabled(false);
  setMinimumSize(kMinWidth, kMinHeight);
  setGeometry(place);
  setWindowIcon(ReplayIcon(IDR_MAINFRAME));
  QPalette black = palette();
  black.setColor(QPalette::Window, Qt::black);
  setPalette(black);
  setAutoFillBackground(true);
}

void CVideoPane::HostVideo(CMyStatic* window, const QRect& rect) {
  if (window == nullptr) return;
  window->setParent(this);
  window->ReattachSurface();
  m_rcSaved = rect;
  m_pChild = window;
  window->setGeometry(QRect(QPoint(0, 0), size()));
  window->show();
  window->RestoreSurface();
  m_main->FollowVideoWindow();
  QGuiApplication::sync();
  m_main->RefreshVideo();
}

void CVideoPane::ReturnVideo() {
  CMyStatic* window = TakeBackVideo();
  if (window == nullptr) return;
  window->show();
  window->RestoreSurface();
  m_main->FollowVideoWindow();
  m_main->show();
  m_main->update();
  QGuiApplication::sync();
  m_main->RefreshVideo();
}

void CVideoPane::ReleaseVideo() { TakeBackVideo(); }

CMyStatic* CVideoPane::TakeBackVideo() {
  CMyStatic* window = m_pChild;
  m_pChild = nullptr;
  // The pane is hidden first: hiding it afterwards would hide the drawing window with it.
  done(QDialog::Rejected);
  if (window != nullptr) {
    window->setParent(m_main);
    window->ReattachSurface();
    window->setGeometry(m_rcSaved);
  }
  return window;
}

void CVideoPane::closeEvent(QCloseEvent* event) {
  // Closing would destroy the pane's window with the drawing window still inside: the pane is
  // only hidden, once the video is given back after this event.
  event->ignore();
  QTimer::singleShot(0, this, [this] { ReturnVideo(); });
}

void CVideoPane::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  FillClientArea();
}

void CVideoPane::paintEvent(QPaintEvent* event) {
  QDialog::paintEvent(event);
  m_main->RefreshVideo();
}

void CVideoPane::FillClientArea() {
  if (m_pChild != nullptr) {
    m_pChild->setGeometry(QRect(QPoint(0, 0), size()));
    QGuiApplication::sync();
  }
  if (m_main->ReplayHandle() != nullptr) {
    m_main->RefreshVideo();
  } else {
    update();
  }
}

}  // namespace kvreplay
