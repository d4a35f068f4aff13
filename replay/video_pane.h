// The enlarged video window: a separate, resizable tool window that takes the video area in and
// gives it back to the main dialog at its old place.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QRect>

namespace kvreplay {

class CKV_ReplayDlg;
class CMyStatic;

class CVideoPane : public QDialog {
 public:
  // Made hidden, as a top-level window of its own (not in the task bar); main is the dialog
  // whose video area it hosts.
  CVideoPane(CKV_ReplayDlg* main, const QRect& place);

  // Takes window in, filling the client area; rect is where it goes back to, in the main
  // dialog's coordinates.
  void HostVideo(CMyStatic* window, const QRect& rect);
  // Gives the hosted window back to the main dialog, hides the pane and has the main dialog
  // shown with the picture drawn again.
  void ReturnVideo();
  // Gives the hosted window back and hides the pane, showing nothing (the main dialog is
  // closing).
  void ReleaseVideo();
  CMyStatic* HostedWindow() const { return m_pChild; }

  static constexpr int kMinWidth = 150;
  static constexpr int kMinHeight = 100;

 protected:
  // Enter and Escape leave the pane as it is.
  void accept() override {}
  void reject() override {}
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  // Fills the client area with the hosted window, then has the picture drawn again.
  void FillClientArea();
  // Hides the pane and puts the hosted window back at its place; returns it (null if none).
  CMyStatic* TakeBackVideo();

  CKV_ReplayDlg* m_main;
  QRect m_rcSaved;
  QPointer<CMyStatic> m_pChild;
};

}  // namespace kvreplay
