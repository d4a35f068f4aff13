// The main dialog: its controls, start-up, painting, closing and the enlarged video window.
#include "replay/kv_replay_dlg.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDateEdit>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimeEdit>
#include <QTimer>
#include <QToolButton>
#include <chrono>

#include "replay/dialog_template.h"
#include "replay/icons.h"
#include "replay/my_static.h"
#include "replay/position_slider.h"
#include "replay/small_controls.h"
#include "replay/sort_list_ctrl.h"
#include "replay/video_pane.h"

namespace kvreplay {
namespace {

constexpr int kDropDownHeightUnits = 14;
constexpr QSize kButtonIconSize(20, 20);

QLocale LanguageLocale(Language language) {
  return language == Language::kChinese ? QLocale(QLocale::Chinese, QLocale::China)
                                        : QLocale(QLocale::English, QLocale::UnitedStates);
}

CKV_ReplayDlg::Desktop DefaultDesktop() {
  CKV_ReplayDlg::Desktop desktop;
  desktop.messageBox = [](QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("KvReplay"), text, QMessageBox::Ok, parent);
    box.exec();
  };
  desktop.chooseFile = [](QWidget* parent) {
    return QFileDialog::getOpenFileName(
        parent, QString(), QString(),
        QStringLiteral("(*.H264) (*H264 *h264);;(*.AVI) (*avi *AVI);;ALL(*.*) (*)"));
  };
  desktop.openFolder = [](const QUrl& folder) { QDesktopServices::openUrl(folder); };
  desktop.now = [] { return QDateTime::currentDateTime(); };
  desktop.tickCount = [] {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<int32_t>(static_cast<uint32_t>(ms.count()));
  };
  return desktop;
}

}  // namespace

CKV_ReplayDlg::CKV_ReplayDlg(const KvNetApi& api, Language language, QWidget* parent)
    : QDialog(parent), m_api(api), m_language(language), m_desktop(DefaultDesktop()) {
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setLocale(LanguageLocale(language));
  setFont(DialogFont(language));
  BuildControls();
  ConnectHandlers();
  OnInitDialog();
}

CKV_ReplayDlg::~CKV_ReplayDlg() {
  StopPlay();
  // The video area belongs to the dialog: it must not go with the pane.
  if (m_videoPane != nullptr) m_videoPane->ReleaseVideo();
  m_videoPane.reset();
}

void CKV_ReplayDlg::BuildControls() {
  const DialogUnits units(DialogFont(m_language));
  setFixedSize(units.ToPixels(MainDialogSize(m_language)));
  const bool chinese = m_language == Language::kChinese;
  const QDateTime now = QDateTime::currentDateTime();

  for (const ControlTemplate& t : MainDialogTemplate()) {
    const QString text = chinese ? t.chinese : t.english;
    QRect place = units.ToPixels(t.place);
    QWidget* widget = nullptr;
    switch (t.kind) {
      case ControlKind::kVideo:
        widget = m_video = new CMyStatic(this);
        break;
      case ControlKind::kSlider:
        widget = m_slider = new CPositionSlider(this);
        break;
      case ControlKind::kIconButton: {
        auto* button = new QToolButton(this);
        button->setAutoRaise(true);
        button->setToolButtonStyle(Qt::ToolButtonIconOnly);
        button->setIconSize(kButtonIconSize);
        button->setAccessibleName(text);
        widget = button;
        break;
      }
      case ControlKind::kTimeLabel:
      case ControlKind::kLabel: {
        auto* label = new QLabel(text, this);
        label->setTextFormat(Qt::PlainText);
        if (t.id == IDC_TIME_LABEL) m_timeLabel = label;
        place.setHeight(std::max(place.height(), label->fontMetrics().height()));
        widget = label;
        break;
      }
      case ControlKind::kPathLabel:
        widget = m_pathLabel = new CPathLabel(this, !chinese);
        m_pathLabel->setText(text);
        place.setHeight(std::max(place.height(), m_pathLabel->fontMetrics().height()));
        break;
      case ControlKind::kList:
        widget = m_list = new CSortListCtrl(this);
        break;
      case ControlKind::kGroupBox:
        widget = new QGroupBox(this);
        break;
      case ControlKind::kDatePicker: {
        auto* picker = new QDateEdit(now.date(), this);
        picker->setCalendarPopup(true);
        picker->setDisplayFormat(chinese ? QStringLiteral("yyyy/M/d") : QStringLiteral("M/d/yyyy"));
        picker->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        (t.id == IDC_START_DATE ? m_startDate : m_endDate) = picker;
        widget = picker;
        break;
      }
      case ControlKind::kTimePicker: {
        const bool start = t.id == IDC_START_TIME;
        auto* picker = new QTimeEdit(start ? QTime(0, 0, 0) : QTime(23, 59, 59), this);
        picker->setDisplayFormat(chinese ? QStringLiteral("H:mm:ss")
                                         : QStringLiteral("h:mm:ss AP"));
        picker->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        (start ? m_startTime : m_endTime) = picker;
        widget = picker;
        break;
      }
      case ControlKind::kDropDown: {
        auto* list = new QComboBox(this);
        list->addItems(chinese ? t.chineseItems : t.englishItems);
        place.setHeight(units.Y(kDropDownHeightUnits));
        switch (t.id) {
          case IDC_SEARCH_BY:
            m_cbSearchBy = list;
            break;
          case IDC_SPARE:
            m_cbSpare = list;
            break;
          case IDC_CHANNEL:
            m_cbChannel = list;
            break;
          case IDC_START_DRIVE:
            m_cbStartDrive = list;
            break;
          case IDC_END_DRIVE:
            m_cbEndDrive = list;
            break;
          case IDC_FILE_TYPE:
            m_cbFileType = list;
            break;
          default:
            break;
        }
        widget = list;
        break;
      }
      case ControlKind::kIpAddress:
        widget = m_deviceAddress = new CIpAddressCtrl(this);
        break;
      case ControlKind::kPushButton: {
        auto* button = new QPushButton(text, this);
        button->setAutoDefault(false);
        widget = button;
        break;
      }
    }
    if (t.id != IDC_NONE) widget->setObjectName(QString::number(t.id));
    widget->setGeometry(place);
    if (t.hidden) widget->hide();
  }
  m_btnFast = findChild<QToolButton*>(QString::number(IDC_FAST));
  m_btnSlow = findChild<QToolButton*>(QString::number(IDC_SLOW));
  m_btnSnapshot = findChild<QToolButton*>(QString::number(IDC_SNAPSHOT));
  m_btnContinue = findChild<QToolButton*>(QString::number(IDC_CONTINUE));
  m_btnPause = findChild<QToolButton*>(QString::number(IDC_PAUSE));
  m_btnStep = findChild<QToolButton*>(QString::number(IDC_STEP));
  m_btnSound = findChild<QToolButton*>(QString::number(IDC_SOUND));
}

void CKV_ReplayDlg::ConnectHandlers() {
  auto onClick = [this](int id, void (CKV_ReplayDlg::*handler)()) {
    QAbstractButton* button = findChild<QAbstractButton*>(QString::number(id));
    connect(button, &QAbstractButton::clicked, this, [this, handler] { (this->*handler)(); });
  };
  onClick(IDC_SEARCH, &CKV_ReplayDlg::OnSearch);
  onClick(IDC_OPEN_FILE, &CKV_ReplayDlg::OnOpenFile);
  onClick(IDC_STOP, &CKV_ReplayDlg::OnStop);
  onClick(IDC_FAST, &CKV_ReplayDlg::OnFast);
  onClick(IDC_SLOW, &CKV_ReplayDlg::OnSlow);
  onClick(IDC_SNAPSHOT, &CKV_ReplayDlg::OnSnapshot);
  onClick(IDC_CONTINUE, &CKV_ReplayDlg::OnContinue);
  onClick(IDC_PAUSE, &CKV_ReplayDlg::OnPause);
  onClick(IDC_STEP, &CKV_ReplayDlg::OnStep);
  onClick(IDC_SOUND, &CKV_ReplayDlg::OnSound);

  connect(m_slider, &CPositionSlider::scrolled, this, [this](int code) {
    OnHScroll(code);
    // A movement by keyboard or wheel has no mouse to let go of the slider: it ends at once.
    if (!m_slider->MouseCaptured()) OnSliderReleased();
  });
  connect(m_slider, &CPositionSlider::releasedCapture, this, [this] { OnSliderReleased(); });
  connect(m_list, &QTableWidget::cellDoubleClicked, this,
          [this](int row, int) { OnListDblClk(row); });

  m_video->onFileDropped = [this](const QString& path) {
    if (!OpenAndPlay(path, m_video)) ShowMessage(IDS_PLAY_FAILED);
  };
  // The area moves to another window in the double click's own handler otherwise.
  m_video->onDoubleClicked = [this] {
    QTimer::singleShot(0, this, [this] {
      if (m_videoPane != nullptr && m_videoPane->HostedWindow() == m_video) {
        m_videoPane->ReturnVideo();
      } else {
        OnVideoDblClk();
      }
    });
  };
  m_video->onExpose = [this] { RefreshVideo(); };
}

void CKV_ReplayDlg::OnInitDialog() {
  setWindowIcon(ReplayIcon(IDR_MAINFRAME));
  setWindowTitle(QStringLiteral(" Replay"));
  InitListColumns();
  FillDriveLists();
  m_cbSearchBy->setCurrentIndex(0);
  m_cbChannel->setCurrentIndex(0);
  m_cbFileType->setCurrentIndex(0);
  m_cbSpare->setCurrentIndex(0);
  m_slider->setValue(0);
  m_toolTip.Create(this);
  InitButtons();
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame = geometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  const DialogUnits units(DialogFont(m_language));
  m_videoPane = std::make_unique<CVideoPane>(this, units.ToPixels(VideoPaneTemplatePlace()));
  m_videoPane->createWinId();
  // Where the video area goes back to after it was enlarged: its own place in the dialog.
  m_rcVideo = m_video->geometry();
}

void CKV_ReplayDlg::InitListColumns() {
  struct Column {
    int stringId;
    int width;
  };
  static constexpr Column kColumns[] = {{IDS_COLUMN_INDEX, 50},       {IDS_COLUMN_FILE_NAME, 300},
                                        {IDS_COLUMN_CHANNEL, 60},     {IDS_COLUMN_TYPE, 50},
                                        {IDS_COLUMN_START_TIME, 100}, {IDS_COLUMN_END_TIME, 100}};
  m_list->setColumnCount(static_cast<int>(std::size(kColumns)));
  QString text;
  for (int c = 0; c < m_list->columnCount(); ++c) {
    LoadString(m_language, kColumns[c].stringId, &text);
    auto* header = new QTableWidgetItem(text);
    header->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_list->setHorizontalHeaderItem(c, header);
    m_list->setColumnWidth(c, kColumns[c].width);
  }
  m_list->LoadColumnInfo();
}

void CKV_ReplayDlg::InitButtons() {
  m_btnFast->setIcon(ReplayIcon(IDI_FAST));
  m_btnSlow->setIcon(ReplayIcon(IDI_SLOW));
  m_btnSnapshot->setIcon(ReplayIcon(IDI_SNAPSHOT));
  m_btnContinue->setIcon(ReplayIcon(IDI_CONTINUE));
  m_btnPause->setIcon(ReplayIcon(IDI_PAUSE));
  m_btnStep->setIcon(ReplayIcon(IDI_STEP));
  SetSoundIcon(IDI_SOUND_ON);
  struct Tip {
    int stringId;
    int controlId;
  };
  static constexpr Tip kTips[] = {{IDS_FAST, IDC_FAST},         {IDS_SLOW, IDC_SLOW},
                                  {IDS_SNAPSHOT, IDC_SNAPSHOT}, {IDS_PAUSE, IDC_PAUSE},
                                  {IDS_STEP, IDC_STEP},         {IDS_CONTINUE, IDC_CONTINUE},
                                  {IDS_SOUND, IDC_SOUND}};
  QString text;
  for (const Tip& tip : kTips) {
    LoadString(m_language, tip.stringId, &text);
    m_toolTip.AddControlTip(text, tip.controlId);
  }
}

void CKV_ReplayDlg::SetSoundIcon(int id) {
  m_btnSound->setIcon(ReplayIcon(id));
  m_soundIconId = id;
}

void CKV_ReplayDlg::ShowMessage(int stringId) {
  if (m_desktop.messageBox) m_desktop.messageBox(this, LoadString(m_language, stringId));
}

void CKV_ReplayDlg::paintEvent(QPaintEvent* event) {
  QDialog::paintEvent(event);
  RefreshVideo();
  if (m_videoPane != nullptr && m_videoPane->isVisible()) {
    // The video area is enlarged: its place here keeps a black outline.
    QPainter painter(this);
    painter.setPen(Qt::black);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(m_rcVideo.adjusted(0, 0, -1, -1));
  }
}

void CKV_ReplayDlg::closeEvent(QCloseEvent* event) {
  event->accept();
  OnClose();
}

void CKV_ReplayDlg::OnClose() {
  StopPlay();
  if (m_videoPane != nullptr) m_videoPane->ReleaseVideo();
  done(QDialog::Rejected);
}

void CKV_ReplayDlg::timerEvent(QTimerEvent* event) {
  if (event->timerId() == m_positionTimer.timerId()) {
    OnTimer(TIMER_POSITION);
  } else {
    QDialog::timerEvent(event);
  }
}

void CKV_ReplayDlg::OnVideoDblClk() {
  if (m_videoPane->isVisible()) return;
  m_videoPane->HostVideo(m_video, m_rcVideo);
  m_videoPane->showMaximized();
  update();
}

void CKV_ReplayDlg::RefreshVideo() {
  if (m_hReplay != nullptr) m_api.ClientRefreshWnd(m_hReplay);
}

void CKV_ReplayDlg::FollowVideoWindow() {
  if (m_hReplay == nullptr) return;
  const uint32_t window = m_video->VideoWindowId();
  if (window == m_videoWindowId) return;
  m_api.ClientSetWnd(m_hReplay, window);
  m_videoWindowId = window;
}

}  // namespace kvreplay
