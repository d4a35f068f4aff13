// The main dialog's transport side: opening and stopping a file, the buttons, the position
// slider and its timer, the sound switch and snapshots.
#include <QGuiApplication>
#include <QLabel>
#include <QToolButton>
#include <algorithm>
#include <climits>

#include "replay/capture_settings.h"
#include "replay/icons.h"
#include "replay/kv_replay_dlg.h"
#include "replay/my_static.h"
#include "replay/position_slider.h"
#include "replay/small_controls.h"
#include "replay/sort_list_ctrl.h"

namespace kvreplay {
namespace {

int SliderMaximum(uint32_t totalSeconds) {
  return totalSeconds > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(totalSeconds);
}

}  // namespace

bool CKV_ReplayDlg::OpenAndPlay(const QString& path, CMyStatic* window) {
  if (m_hReplay != nullptr) StopPlay();
  update();
  const QByteArray libraryPath = PathForLibrary(path);
  // The drawing window is shown, and known to the window system, before the library looks at it.
  window->ShowSurface(true);
  const uint32_t windowId = window->VideoWindowId();
  QGuiApplication::sync();
  m_hReplay = m_api.OpenFile(libraryPath.constData(), windowId, 0);
  if (m_hReplay == nullptr) {
    window->ShowSurface(false);
    return false;
  }
  m_videoWindowId = windowId;
  m_api.ClientStopAudio(m_hReplay);
  m_pathLabel->setText(path);
  m_nTotalSeconds = m_api.ReplayTotalTime(m_hReplay);
  m_timeLabel->setText(LengthTimeLabel(m_nTotalSeconds));
  m_slider->setValue(0);
  m_slider->setRange(0, SliderMaximum(m_nTotalSeconds));
  // As the window system's trackbar: a page is a fifth of the range, a line one second.
  m_slider->setPageStep(std::max(1, m_slider->maximum() / 5));
  m_positionTimer.start(kTimerPeriodMs, this);
  m_bSoundOn = false;
  SetSoundIcon(IDI_SOUND_OFF);
  // A newly opened file plays, and no slider movement is in progress.
  m_bPaused = false;
  m_bSeeking = false;
  return true;
}

bool CKV_ReplayDlg::StopPlay() {
  if (m_hReplay == nullptr) return true;
  m_api.ClientRefreshWnd(m_hReplay);
  m_api.CloseFile(m_hReplay);
  m_video->ShowSurface(false);
  m_hReplay = nullptr;
  m_videoWindowId = 0;
  m_positionTimer.stop();
  m_timeLabel->setText(EmptyTimeLabel());
  return true;
}

void CKV_ReplayDlg::OnOpenFile() {
  if (!m_desktop.chooseFile) return;
  const QString path = m_desktop.chooseFile(this);
  if (path.isEmpty()) return;
  if (!OpenAndPlay(path, m_video)) ShowMessage(IDS_PLAY_FAILED);
}

void CKV_ReplayDlg::OnListDblClk(int row) {
  if (row < 0 || row >= m_list->rowCount()) return;
  const QString path = m_list->RowTexts(row).value(1);
  if (!OpenAndPlay(path, m_video)) ShowMessage(IDS_PLAY_FAILED);
}

void CKV_ReplayDlg::OnStop() {
  StopPlay();
  update();
  m_video->update();
  m_slider->setValue(0);
}

void CKV_ReplayDlg::OnPause() {
  if (m_hReplay == nullptr) return;
  m_api.ReplayPause(m_hReplay);
  m_bPaused = true;
}

void CKV_ReplayDlg::OnContinue() {
  if (m_hReplay == nullptr) return;
  m_api.ReplayContinue(m_hReplay);
  m_bPaused = false;
}

void CKV_ReplayDlg::OnStep() {
  if (m_hReplay != nullptr) m_api.ReplayStepByStep(m_hReplay);
}

void CKV_ReplayDlg::OnFast() {
  if (m_hReplay != nullptr) m_api.SpeedFast(m_hReplay);
}

void CKV_ReplayDlg::OnSlow() {
  if (m_hReplay != nullptr) m_api.SpeedSlow(m_hReplay);
}

void CKV_ReplayDlg::OnSound() {
  if (m_hReplay == nullptr) return;
  if (m_bSoundOn) {
    if (m_api.ClientStopAudio(m_hReplay) == 0) return ShowMessage(IDS_CLOSE_AUDIO_FAILED);
    SetSoundIcon(IDI_SOUND_OFF);
    m_bSoundOn = false;
  } else {
    if (m_api.ClientPlayAudio(m_hReplay) == 0) return ShowMessage(IDS_OPEN_AUDIO_FAILED);
    SetSoundIcon(IDI_SOUND_ON);
    m_bSoundOn = true;
  }
}

void CKV_ReplayDlg::OnHScroll(int code) {
  if (m_hReplay == nullptr) return;
  // The first movement pauses playback; every movement seeks.
  if (!m_bSeeking) m_api.ReplayPause(m_hReplay);
  const int position = std::max(0, m_slider->sliderPosition());
  m_api.ReplaySeek(m_hReplay, static_cast<unsigned>(position));
  m_timeLabel->setText(PositionTimeLabel(static_cast<uint32_t>(position), m_nTotalSeconds));
  if (code != SB_THUMBPOSITION) m_bSeeking = true;
}

void CKV_ReplayDlg::OnSliderReleased() {
  if (m_hReplay == nullptr) return;
  m_bSeeking = false;
  if (!m_bPaused) m_api.ReplayContinue(m_hReplay);
}

void CKV_ReplayDlg::OnTimer(int id) {
  if (id != TIMER_POSITION || m_hReplay == nullptr || m_bSeeking) return;
  const uint32_t position = m_api.ReplayCurTime(m_hReplay);
  m_slider->setValue(SliderMaximum(position));
  m_timeLabel->setText(PositionTimeLabel(position, m_nTotalSeconds));
}

void CKV_ReplayDlg::OnSnapshot() {
  if (m_hReplay == nullptr) return;
  const QDateTime now = m_desktop.now ? m_desktop.now() : QDateTime::currentDateTime();
  const int32_t tick = m_desktop.tickCount ? m_desktop.tickCount() : 0;
  const QString root = ReadCaptureRoot();
  const QByteArray path = PathForLibrary(SnapshotFilePath(root, now, tick));
  m_api.ClientCapturePicture(m_hReplay, path.constData());
  // The first snapshot into a folder opens that folder on the desktop.
  if (root != m_strLastCaptureRoot) {
    m_strLastCaptureRoot = root;
    if (m_desktop.openFolder) m_desktop.openFolder(QUrl::fromLocalFile(root));
  }
}

}  // namespace kvreplay
