// The replay program's main dialog: the video area with its transport controls and position
// slider, the search panel and the recording list. Its handlers run on the one user-interface
// thread; the library draws into the video area from its own threads.
#pragma once

#include <QBasicTimer>
#include <QDateTime>
#include <QDialog>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <cstdint>
#include <functional>
#include <memory>

#include "replay/kvnet_api.h"
#include "replay/replay_strings.h"
#include "replay/tooltip_help.h"

class QComboBox;
class QDateEdit;
class QLabel;
class QTimeEdit;
class QToolButton;

namespace kvreplay {

class CIpAddressCtrl;
class CMyStatic;
class CPathLabel;
class CPositionSlider;
class CSortListCtrl;
class CVideoPane;

class CKV_ReplayDlg : public QDialog {
  Q_OBJECT

 public:
  // Id of the position timer.
  static constexpr int TIMER_POSITION = 500;
  static constexpr int kTimerPeriodMs = 500;

  // What the dialog asks of the desktop; tests put their own in.
  struct Desktop {
    // Shows a message with an OK button.
    std::function<void(QWidget* parent, const QString& text)> messageBox;
    // Asks for a file to open; empty when the user cancels.
    std::function<QString(QWidget* parent)> chooseFile;
    // Opens a folder with the desktop's default opener.
    std::function<void(const QUrl& folder)> openFolder;
    // The local time now and the millisecond tick count.
    std::function<QDateTime()> now;
    std::function<int32_t()> tickCount;
  };

  CKV_ReplayDlg(const KvNetApi& api, Language language, QWidget* parent = nullptr);
  ~CKV_ReplayDlg() override;

  Desktop& desktop() { return m_desktop; }
  Language language() const { return m_language; }

  // Playback.
  bool OpenAndPlay(const QString& path, CMyStatic* window);
  bool StopPlay();
  void OnOpenFile();
  void OnListDblClk(int row);
  void OnStop();
  void OnPause();
  void OnContinue();
  void OnStep();
  void OnFast();
  void OnSlow();
  void OnSound();
  void OnHScroll(int code);
  void OnSliderReleased();
  void OnTimer(int id);
  void OnSnapshot();

  // Search.
  void FillDriveLists();
  void OnSearch();

  // The enlarged video window.
  void OnVideoDblClk();
  // Has the library draw the last picture again (when a file is open).
  void RefreshVideo();
  // Moves drawing to the video area's window when the window system made a new one for it.
  void FollowVideoWindow();

  KVNET_HANDLE ReplayHandle() const { return m_hReplay; }
  uint32_t TotalSeconds() const { return m_nTotalSeconds; }
  bool Paused() const { return m_bPaused; }
  bool Seeking() const { return m_bSeeking; }
  bool SoundOn() const { return m_bSoundOn; }
  bool PositionTimerActive() const { return m_positionTimer.isActive(); }
  const QStringList& DriveRoots() const { return m_driveRoots; }
  QRect VideoRect() const { return m_rcVideo; }
  CVideoPane* VideoPane() const { return m_videoPane.get(); }
  int SoundIconId() const { return m_soundIconId; }

 protected:
  // Enter and Escape never close the dialog; only the close box (or Alt+F4) does.
  void accept() override {}
  void reject() override {}
  void closeEvent(QCloseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  void BuildControls();
  void OnInitDialog();
  void InitListColumns();
  void InitButtons();
  void ConnectHandlers();
  void SetSoundIcon(int id);
  void ShowMessage(int stringId);
  void OnClose();

  const KvNetApi& m_api;
  Language m_language;
  Desktop m_desktop;

  CSortListCtrl* m_list = nullptr;
  QDateEdit* m_startDate = nullptr;
  QDateEdit* m_endDate = nullptr;
  QTimeEdit* m_startTime = nullptr;
  QTimeEdit* m_endTime = nullptr;
  QComboBox* m_cbSearchBy = nullptr;
  QComboBox* m_cbSpare = nullptr;
  CIpAddressCtrl* m_deviceAddress = nullptr;
  uint32_t m_dwDeviceAddress = 0;
  QComboBox* m_cbChannel = nullptr;
  KVNET_HANDLE m_hReplay = nullptr;
  uint32_t m_nTotalSeconds = 0;
  QStringList m_driveRoots;
  CMyStatic* m_video = nullptr;
  QComboBox* m_cbStartDrive = nullptr;
  QComboBox* m_cbEndDrive = nullptr;
  QComboBox* m_cbFileType = nullptr;
  CPositionSlider* m_slider = nullptr;
  bool m_bSeeking = false;
  QToolButton* m_btnFast = nullptr;
  QToolButton* m_btnSlow = nullptr;
  QToolButton* m_btnSnapshot = nullptr;
  QToolButton* m_btnContinue = nullptr;
  QToolButton* m_btnPause = nullptr;
  QToolButton* m_btnStep = nullptr;
  QToolButton* m_btnSound = nullptr;
  bool m_bPaused = false;
  bool m_bSoundOn = false;
  CToopTipHelp m_toolTip;
  QLabel* m_timeLabel = nullptr;
  CPathLabel* m_pathLabel = nullptr;
  std::unique_ptr<CVideoPane> m_videoPane;
  QRect m_rcVideo;
  QString m_strLastCaptureRoot;

  QBasicTimer m_positionTimer;
  uint32_t m_videoWindowId = 0;  // the window the library was last given
  int m_soundIconId = 0;
};

}  // namespace kvreplay
