// Playback control: opening (button, drop), the time label, the transport buttons, the position
// slider with its pause / seek / resume logic and timer, the sound switch and snapshots.
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <algorithm>

#include "replay/capture_settings.h"
#include "replay/dialog_template.h"
#include "replay/icons.h"
#include "replay/my_static.h"
#include "replay/position_slider.h"
#include "tests/replay/replay_gui_support.h"

namespace kvreplay::test {
namespace {

class PlaybackTest : public DialogTest {
 protected:
  // Opens a bars recording of the given length through the Open File button.
  void Open(const QString& name, uint32_t seconds = 60, int pictures = 10) {
    ASSERT_TRUE(WriteBarsRecording(FilePath(name), pictures, seconds * 1000));
    chosenFile_ = FilePath(name);
    QTest::mouseClick(Control<QPushButton>(IDC_OPEN_FILE), Qt::LeftButton);
    ASSERT_NE(dialog_->ReplayHandle(), nullptr);
  }
  QString Label() { return Control<QLabel>(IDC_TIME_LABEL)->text(); }
  void Click(int id) { QTest::mouseClick(Control<QToolButton>(id), Qt::LeftButton); }
  static int Count(const char* name) { return ApiSpy::Get().Count(name); }
};

TEST_F(PlaybackTest, OpeningShowsPathAndLengthAndStartsSilent) {
  MakeDialog();
  Open("long.h264", 3725, 2);
  EXPECT_EQ(Label(), "00:00/62:05");
  EXPECT_EQ(dialog_->TotalSeconds(), 3725u);
  EXPECT_EQ(Control<QLabel>(IDC_PATH_LABEL)->text(), FilePath("long.h264"));
  EXPECT_EQ(Control<CPositionSlider>(IDC_SLIDER)->maximum(), 3725);
  EXPECT_EQ(Control<CPositionSlider>(IDC_SLIDER)->value(), 0);
  EXPECT_EQ(Control<CPositionSlider>(IDC_SLIDER)->pageStep(), 745);
  EXPECT_TRUE(dialog_->PositionTimerActive());
  EXPECT_EQ(dialog_->SoundIconId(), IDI_SOUND_OFF);
  EXPECT_EQ(ApiSpy::Get().NamesBesidesRedraws(),
            std::vector<std::string>({"OpenFile", "ClientStopAudio", "ReplayTotalTime"}));
  EXPECT_EQ(ApiSpy::Get().Calls()[0].text, FilePath("long.h264").toStdString());
  EXPECT_EQ(ApiSpy::Get().Calls()[0].value, Control<CMyStatic>(IDC_VIDEO)->VideoWindowId());
}

TEST_F(PlaybackTest, ASecondFileClosesTheFirstAndAFailedOpenLeavesNothingOpen) {
  MakeDialog();
  Open("first.h264", 60);
  const KVNET_HANDLE first = dialog_->ReplayHandle();
  Click(IDC_SOUND);
  ASSERT_TRUE(dialog_->SoundOn());
  Click(IDC_PAUSE);
  ASSERT_TRUE(dialog_->Paused());
  ApiSpy::Get().Clear();

  Open("second.h264", 7);
  // The first file's last picture is drawn again, then it is closed; then the second opens.
  std::vector<ApiCall> calls = ApiSpy::Get().Calls();
  const auto close = std::find_if(calls.begin(), calls.end(),
                                  [](const ApiCall& c) { return c.name == "CloseFile"; });
  ASSERT_NE(close, calls.end());
  ASSERT_NE(close, calls.begin());
  EXPECT_EQ(close->handle, first);
  EXPECT_EQ((close - 1)->name, "ClientRefreshWnd");
  EXPECT_EQ((close - 1)->handle, first);
  calls = ApiSpy::Get().CallsBesidesRedraws();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].name, "CloseFile");
  EXPECT_EQ(calls[1].name, "OpenFile");
  EXPECT_EQ(calls[2].name, "ClientStopAudio");
  EXPECT_EQ(calls[3].name, "ReplayTotalTime");
  EXPECT_NE(calls[2].handle, nullptr);
  EXPECT_EQ(calls[2].handle, dialog_->ReplayHandle());
  EXPECT_EQ(Label(), "00:00/00:07");
  EXPECT_EQ(Control<QLabel>(IDC_PATH_LABEL)->text(), FilePath("second.h264"));
  // Sound is off after every open, and the new file plays.
  EXPECT_FALSE(dialog_->SoundOn());
  EXPECT_FALSE(dialog_->Paused());
  EXPECT_EQ(dialog_->SoundIconId(), IDI_SOUND_OFF);

  ApiSpy::Get().Clear();
  chosenFile_ = FilePath("missing.h264");
  QTest::mouseClick(Control<QPushButton>(IDC_OPEN_FILE), Qt::LeftButton);
  EXPECT_EQ(messages_, QStringList({"Play Failed"}));
  EXPECT_EQ(dialog_->ReplayHandle(), nullptr);
  EXPECT_EQ(Label(), "00:00/00:00");
  EXPECT_FALSE(dialog_->PositionTimerActive());
  EXPECT_EQ(Count("CloseFile"), 1);
  EXPECT_FALSE(Control<CMyStatic>(IDC_VIDEO)->SurfaceShown());
}

TEST_F(PlaybackTest, ButtonsActOnTheOpenFileOnly) {
  MakeDialog();
  for (int id : {IDC_FAST, IDC_SLOW, IDC_SNAPSHOT, IDC_CONTINUE, IDC_PAUSE, IDC_STEP, IDC_SOUND}) {
    Click(id);
  }
  QTest::mouseClick(Control<QPushButton>(IDC_STOP), Qt::LeftButton);
  QTest::keyClick(Control<CPositionSlider>(IDC_SLIDER), Qt::Key_Right);
  dialog_->OnTimer(CKV_ReplayDlg::TIMER_POSITION);
  EXPECT_TRUE(ApiSpy::Get().Calls().empty());
  EXPECT_TRUE(messages_.isEmpty());
  EXPECT_TRUE(openedFolders_.isEmpty());

  Open("a.h264");
  const KVNET_HANDLE handle = dialog_->ReplayHandle();
  ApiSpy::Get().Clear();
  Click(IDC_PAUSE);
  EXPECT_TRUE(dialog_->Paused());
  Click(IDC_STEP);
  EXPECT_TRUE(dialog_->Paused());
  Click(IDC_CONTINUE);
  EXPECT_FALSE(dialog_->Paused());
  Click(IDC_FAST);
  Click(IDC_SLOW);
  EXPECT_EQ(ApiSpy::Get().NamesBesidesRedraws(),
            std::vector<std::string>(
                {"ReplayPause", "ReplayStepByStep", "ReplayContinue", "SpeedFast", "SpeedSlow"}));
  for (const ApiCall& call : ApiSpy::Get().Calls()) EXPECT_EQ(call.handle, handle);

  // Stop twice: the second only resets the slider.
  Control<CPositionSlider>(IDC_SLIDER)->setValue(30);
  QTest::mouseClick(Control<QPushButton>(IDC_STOP), Qt::LeftButton);
  EXPECT_EQ(Control<CPositionSlider>(IDC_SLIDER)->value(), 0);
  EXPECT_EQ(Label(), "00:00/00:00");
  EXPECT_FALSE(dialog_->PositionTimerActive());
  EXPECT_EQ(Control<QLabel>(IDC_PATH_LABEL)->text(), FilePath("a.h264"));
  Control<CPositionSlider>(IDC_SLIDER)->setValue(30);
  QTest::mouseClick(Control<QPushButton>(IDC_STOP), Qt::LeftButton);
  EXPECT_EQ(Control<CPositionSlider>(IDC_SLIDER)->value(), 0);
  EXPECT_EQ(Count("CloseFile"), 1);
}

TEST_F(PlaybackTest, DraggingTheSliderPausesOnceSeeksAndResumesUnlessPaused) {
  MakeDialog();
  Open("a.h264", 60);
  CPositionSlider* slider = Control<CPositionSlider>(IDC_SLIDER);
  const auto drag = [&] {
    const QPoint start = slider->HandleRect().center();
    QTest::mousePress(slider, Qt::LeftButton, {}, start);
    for (int step = 1; step <= 3; ++step) {
      QTest::mouseMove(slider, start + QPoint(step * slider->width() / 6, 0));
      EXPECT_TRUE(dialog_->Seeking());
      // A timer tick during the drag leaves the slider where the user holds it.
      const int held = slider->sliderPosition();
      dialog_->OnTimer(CKV_ReplayDlg::TIMER_POSITION);
      EXPECT_EQ(slider->sliderPosition(), held);
    }
    QTest::mouseRelease(slider, Qt::LeftButton, {}, start + QPoint(slider->width() / 2, 0));
  };

  ApiSpy::Get().Clear();
  drag();
  EXPECT_EQ(Count("ReplayPause"), 1);
  EXPECT_EQ(Count("ReplaySeek"), 4);  // three moves and the final place
  EXPECT_EQ(Count("ReplayContinue"), 1);
  EXPECT_EQ(Count("ReplayCurTime"), 0);
  const std::vector<ApiCall> calls = ApiSpy::Get().CallsBesidesRedraws();
  EXPECT_EQ(calls.back().name, "ReplayContinue");
  EXPECT_FALSE(dialog_->Seeking());
  ASSERT_EQ(calls[calls.size() - 2].name, "ReplaySeek");
  const int64_t target = calls[calls.size() - 2].value;
  EXPECT_GT(target, 0);
  EXPECT_EQ(Label(), PositionTimeLabel(uint32_t(target), 60));

  // After Pause, the file stays paused when the slider is let go.
  Click(IDC_PAUSE);
  ApiSpy::Get().Clear();
  slider->setValue(0);
  drag();
  EXPECT_EQ(Count("ReplayPause"), 1);
  EXPECT_EQ(Count("ReplayContinue"), 0);
  EXPECT_TRUE(dialog_->Paused());
  EXPECT_FALSE(dialog_->Seeking());
}

TEST_F(PlaybackTest, KeyboardMovesSeekAndEndAtOnce) {
  MakeDialog();
  Open("a.h264", 60);
  CPositionSlider* slider = Control<CPositionSlider>(IDC_SLIDER);
  slider->setFocus();
  ApiSpy::Get().Clear();
  QTest::keyClick(slider, Qt::Key_Right);
  EXPECT_EQ(ApiSpy::Get().NamesBesidesRedraws(),
            std::vector<std::string>({"ReplayPause", "ReplaySeek", "ReplayContinue"}));
  EXPECT_EQ(ApiSpy::Get().CallsBesidesRedraws()[1].value, 1);
  // No movement is in progress any more: the timer moves the slider again.
  EXPECT_FALSE(dialog_->Seeking());
  ApiSpy::Get().Clear();
  dialog_->OnTimer(CKV_ReplayDlg::TIMER_POSITION);
  EXPECT_EQ(ApiSpy::Get().NamesBesidesRedraws(), std::vector<std::string>({"ReplayCurTime"}));
}

TEST_F(PlaybackTest, SoundButtonSwitchesIconsAndReportsFailures) {
  MakeDialog();
  Open("a.h264");
  QToolButton* sound = Control<QToolButton>(IDC_SOUND);
  EXPECT_EQ(sound->icon().cacheKey(), ReplayIcon(IDI_SOUND_OFF).cacheKey());
  Click(IDC_SOUND);
  EXPECT_TRUE(dialog_->SoundOn());
  EXPECT_EQ(sound->icon().cacheKey(), ReplayIcon(IDI_SOUND_ON).cacheKey());
  Click(IDC_SOUND);
  EXPECT_FALSE(dialog_->SoundOn());
  EXPECT_EQ(sound->icon().cacheKey(), ReplayIcon(IDI_SOUND_OFF).cacheKey());
  EXPECT_EQ(Count("ClientPlayAudio"), 1);

  ApiSpy::Get().playAudioResult = 0;
  Click(IDC_SOUND);
  EXPECT_EQ(messages_, QStringList({"Open Audio Failed"}));
  EXPECT_FALSE(dialog_->SoundOn());
  EXPECT_EQ(sound->icon().cacheKey(), ReplayIcon(IDI_SOUND_OFF).cacheKey());

  ApiSpy::Get().playAudioResult = -1;
  Click(IDC_SOUND);
  ApiSpy::Get().stopAudioResult = 0;
  Click(IDC_SOUND);
  EXPECT_EQ(messages_.last(), "Close Audio Failed");
  EXPECT_TRUE(dialog_->SoundOn());
  EXPECT_EQ(sound->icon().cacheKey(), ReplayIcon(IDI_SOUND_ON).cacheKey());
}

TEST_F(PlaybackTest, FilesDroppedOnTheVideoAreaPlayTheFirst) {
  MakeDialog();
  const QStringList names = {"one.h264", "two.h264", "three.h264"};
  QList<QUrl> urls;
  for (const QString& name : names) {
    ASSERT_TRUE(WriteBarsRecording(FilePath(name), 5));
    urls << QUrl::fromLocalFile(FilePath(name));
  }
  CMyStatic* video = Control<CMyStatic>(IDC_VIDEO);
  const auto drop = [&](const QList<QUrl>& dropped) {
    QMimeData data;
    data.setUrls(dropped);
    const QPoint at = video->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(video, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent event(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(video, &event);
  };
  drop(urls);
  ASSERT_EQ(Count("OpenFile"), 1);
  EXPECT_EQ(ApiSpy::Get().CallsBesidesRedraws()[0].text, FilePath("one.h264").toStdString());
  EXPECT_NE(dialog_->ReplayHandle(), nullptr);
  EXPECT_TRUE(messages_.isEmpty());

  drop({QUrl::fromLocalFile(FilePath("none.h264"))});
  EXPECT_EQ(messages_, QStringList({"Play Failed"}));
  EXPECT_EQ(dialog_->ReplayHandle(), nullptr);
}

class SnapshotTest : public PlaybackTest {
 protected:
  void SetCapturePath(const QString& root) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, kSettingsOrganisation,
                       kSettingsApplication);
    settings.setValue(kCapturePathValue, root);
  }
  void TearDown() override {
    QSettings(QSettings::NativeFormat, QSettings::UserScope, kSettingsOrganisation,
              kSettingsApplication)
        .remove(kCapturePathValue);
    PlaybackTest::TearDown();
  }
};

TEST_F(SnapshotTest, PathComesFromTheCapturePathAndItsFolderOpensOnce) {
  const QString root = FilePath("shots") + "/";
  SetCapturePath(root);
  MakeDialog();
  Open("a.h264");
  ApiSpy::Get().Clear();
  Click(IDC_SNAPSHOT);
  ASSERT_EQ(Count("ClientCapturePicture"), 1);
  EXPECT_EQ(ApiSpy::Get().CallsBesidesRedraws()[0].text,
            (root + "KV_Capture/2010-05-21/ReplayShot_2010_05_21_09_08_07_4321.jpg").toStdString());
  EXPECT_EQ(openedFolders_, QStringList({root}));
  Click(IDC_SNAPSHOT);
  EXPECT_EQ(Count("ClientCapturePicture"), 2);
  EXPECT_EQ(openedFolders_.size(), 1);

  // Another folder in the settings is opened once more.
  SetCapturePath(FilePath("other"));
  Click(IDC_SNAPSHOT);
  EXPECT_EQ(ApiSpy::Get().CallsBesidesRedraws().back().text,
            (FilePath("other") + "/KV_Capture/2010-05-21/ReplayShot_2010_05_21_09_08_07_4321.jpg")
                .toStdString());
  EXPECT_EQ(openedFolders_, QStringList({root, FilePath("other")}));
}

TEST_F(SnapshotTest, WithoutACapturePathSnapshotsGoBelowTheOpenedFolder) {
  MakeDialog();
  Open("a.h264");
  ApiSpy::Get().Clear();
  Click(IDC_SNAPSHOT);
  ASSERT_EQ(Count("ClientCapturePicture"), 1);
  ASSERT_EQ(openedFolders_.size(), 1);
  const QString opened = QDir(openedFolders_[0]).absolutePath() + "/";
  EXPECT_EQ(opened, DefaultCaptureRoot());
  EXPECT_TRUE(
      QString::fromStdString(ApiSpy::Get().CallsBesidesRedraws()[0].text).startsWith(opened));
}

TEST_F(SnapshotTest, TheSnapshotFileIsWritten) {
  const QString root = FilePath("shots") + "/";
  SetCapturePath(root);
  MakeDialog();
  Open("a.h264", 60, 10);
  Click(IDC_PAUSE);
  Click(IDC_SNAPSHOT);
  const QString path = root + "KV_Capture/2010-05-21/ReplayShot_2010_05_21_09_08_07_4321.jpg";
  EXPECT_TRUE(WaitUntil(
      [&] {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) && file.read(3) == QByteArray("\xFF\xD8\xFF");
      },
      20000))
      << "no JPEG file at " << path.toStdString();
}

}  // namespace
}  // namespace kvreplay::test
