// The video area on the X server: a playing file is drawn into it, enlarging and restoring keep
// it drawn (pixels read back from the X server), and Stop blanks it.
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "replay/dialog_template.h"
#include "replay/my_static.h"
#include "replay/video_pane.h"
#include "tests/replay/replay_gui_support.h"

namespace kvreplay::test {
namespace {

class VideoTest : public DialogTest {
 protected:
  // Waits until the drawing window shows the colour bars; says what it saw otherwise.
  ::testing::AssertionResult BarsShown(CMyStatic* video) {
    std::string why;
    if (WaitUntil([&] { return ShowsColourBars(GrabFromScreen(video->Surface()), &why); }, 20000)) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << why;
  }
};

TEST_F(VideoTest, EnlargingAndRestoringKeepTheVideoDrawn) {
  MakeDialog();
  ASSERT_TRUE(WriteBarsRecording(FilePath("bars.h264"), 10, 60000));
  chosenFile_ = FilePath("bars.h264");
  QTest::mouseClick(Control<QPushButton>(IDC_OPEN_FILE), Qt::LeftButton);
  ASSERT_NE(dialog_->ReplayHandle(), nullptr);
  CMyStatic* video = Control<CMyStatic>(IDC_VIDEO);
  ASSERT_TRUE(video->SurfaceShown());
  EXPECT_TRUE(BarsShown(video));
  QTest::mouseClick(Control<QToolButton>(IDC_PAUSE), Qt::LeftButton);
  const QSize small = video->size();

  // A double click on the video area moves it into the enlarged window.
  ApiSpy::Get().Clear();
  QTest::mouseDClick(video->Surface(), Qt::LeftButton);
  CVideoPane* pane = dialog_->VideoPane();
  ASSERT_TRUE(WaitUntil([&] { return pane->isVisible() && video->isVisible(); }, 5000));
  EXPECT_EQ(pane->HostedWindow(), video);
  EXPECT_EQ(video->window(), pane);
  EXPECT_EQ(video->geometry(), pane->rect());
  EXPECT_NE(video->size(), small);
  // Drawing follows the area's window, whether or not the window system made a new one.
  const bool windowChanged = ApiSpy::Get().Count("ClientSetWnd") > 0;
  if (windowChanged) {
    EXPECT_EQ(ApiSpy::Get().Calls()[0].value, video->VideoWindowId());
  }
  EXPECT_GE(ApiSpy::Get().Count("ClientRefreshWnd"), 1);
  EXPECT_TRUE(BarsShown(video)) << "enlarged, window " << (windowChanged ? "new" : "kept");

  // While enlarged, the dialog outlines the area's place in black.
  const QImage dialogImage = dialog_->grab().toImage();
  const QRect place = dialog_->VideoRect();
  EXPECT_EQ(dialogImage.pixelColor(place.left(), place.center().y()), QColor(Qt::black));
  EXPECT_EQ(dialogImage.pixelColor(place.center().x(), place.bottom()), QColor(Qt::black));
  EXPECT_NE(dialogImage.pixelColor(place.center()), QColor(Qt::black));

  // A second double click gives it back.
  QTest::mouseDClick(video->Surface(), Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return !pane->isVisible(); }, 5000));
  EXPECT_EQ(pane->HostedWindow(), nullptr);
  EXPECT_EQ(video->parentWidget(), dialog_.get());
  EXPECT_EQ(video->geometry(), dialog_->VideoRect());
  EXPECT_TRUE(dialog_->isVisible());
  EXPECT_TRUE(BarsShown(video)) << "restored";

  // Closing the enlarged window gives it back too.
  QTest::mouseDClick(video->Surface(), Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return pane->isVisible(); }, 5000));
  pane->close();
  ASSERT_TRUE(WaitUntil([&] { return !pane->isVisible(); }, 5000));
  EXPECT_EQ(video->parentWidget(), dialog_.get());
  EXPECT_EQ(video->geometry(), dialog_->VideoRect());
  EXPECT_TRUE(BarsShown(video)) << "restored after closing";
}

TEST_F(VideoTest, StopTakesThePictureAway) {
  MakeDialog();
  ASSERT_TRUE(WriteBarsRecording(FilePath("bars.h264"), 10, 60000));
  chosenFile_ = FilePath("bars.h264");
  QTest::mouseClick(Control<QPushButton>(IDC_OPEN_FILE), Qt::LeftButton);
  CMyStatic* video = Control<CMyStatic>(IDC_VIDEO);
  ASSERT_TRUE(BarsShown(video));
  QTest::mouseClick(Control<QPushButton>(IDC_STOP), Qt::LeftButton);
  EXPECT_FALSE(video->SurfaceShown());
  std::string why;
  EXPECT_TRUE(WaitUntil([&] { return !ShowsColourBars(GrabFromScreen(video), &why); }, 5000));
  // The area can be enlarged with nothing open, and given back.
  QTest::mouseDClick(video, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return dialog_->VideoPane()->isVisible(); }, 5000));
  QTest::mouseDClick(video, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return !dialog_->VideoPane()->isVisible(); }, 5000));
  EXPECT_EQ(video->geometry(), dialog_->VideoRect());

  // Closing the dialog while the area is enlarged takes it back from the enlarged window.
  QTest::mouseDClick(video, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return dialog_->VideoPane()->isVisible(); }, 5000));
  EXPECT_TRUE(dialog_->close());
  EXPECT_FALSE(dialog_->VideoPane()->isVisible());
  EXPECT_EQ(video->parentWidget(), dialog_.get());
  EXPECT_EQ(dialog_->VideoPane()->HostedWindow(), nullptr);
}

}  // namespace
}  // namespace kvreplay::test
