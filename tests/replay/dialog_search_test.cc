// The search panel: rows in the specified order over both layouts and types, the filters, the
// order checks, and a double click that plays a row.
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimeEdit>

#include "replay/dialog_template.h"
#include "replay/mount_points.h"
#include "replay/sort_list_ctrl.h"
#include "tests/replay/replay_gui_support.h"
#include "tests/support/xvfb.h"

namespace kvreplay::test {
namespace {

class SearchTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    if (IsSkipped()) return;
    today_ = QDate::currentDate().toString("yyyy-MM-dd");
    drives_ = std::make_unique<kv::test::ScopedEnv>(
        kDrivesVariable, (FilePath("c") + ":" + FilePath("d")).toLocal8Bit().constData());
  }

  // A recording of colour bars (or an empty file) at a path below the test's folder.
  QString Make(const QString& relative, bool playable = false) {
    const QString path = FilePath(relative);
    EXPECT_TRUE(QDir().mkpath(QFileInfo(path).path()));
    if (playable) {
      EXPECT_TRUE(WriteBarsRecording(path, 10, 2000));
    } else {
      QFile file(path);
      EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    }
    return path;
  }

  // Both drives, a day either side of today, everything else as given.
  void Search(int channel = 0, const QString& address = {}, int type = 0) {
    Control<QComboBox>(IDC_START_DRIVE)->setCurrentIndex(0);
    Control<QComboBox>(IDC_END_DRIVE)->setCurrentIndex(1);
    Control<QDateEdit>(IDC_START_DATE)->setDate(QDate::currentDate().addDays(-1));
    Control<QDateEdit>(IDC_END_DATE)->setDate(QDate::currentDate().addDays(1));
    Control<QComboBox>(IDC_CHANNEL)->setCurrentIndex(channel);
    Control<QLineEdit>(IDC_DEVICE_ADDRESS)->setText(address);
    Control<QComboBox>(IDC_FILE_TYPE)->setCurrentIndex(type);
    QTest::mouseClick(Control<QPushButton>(IDC_SEARCH), Qt::LeftButton);
  }

  QStringList Column(int column) {
    CSortListCtrl* list = Control<CSortListCtrl>(IDC_LIST);
    QStringList texts;
    for (int r = 0; r < list->rowCount(); ++r) texts << list->RowTexts(r)[column];
    return texts;
  }

  QString today_;
  std::unique_ptr<kv::test::ScopedEnv> drives_;
};

TEST_F(SearchTest, ListsBothLayoutsAndTypesInTheSpecifiedOrder) {
  const QString n1 = Make("c/KV_Record/Normal/" + today_ + "/Cam(192.168.1.168_80)_3_0931.h264");
  const QString a1 = Make("c/KV_Record/Alarm/" + today_ + "/Cam(192.168.1.168_80)_1_0932.h264");
  const QString n2 = Make("c/Record/Normal/" + today_ + "/Cam(10.0.0.7_80)_10_0933.h264");
  const QString a2 = Make("c/Record/Alarm/" + today_ + "/Cam(10.0.0.7_80)_2_0934.h264");
  const QString n3 = Make("d/kv_record/NORMAL/" + today_ + "/Cam(192.168.1.168_80)_03_0935.H264");
  Make("c/KV_Record/Normal/" + QDate::currentDate().addDays(-5).toString("yyyy-MM-dd") +
       "/Old(192.168.1.168_80)_3_0936.h264");
  Make("c/KV_Record/Normal/" + today_ + "/NoChannel(192.168.1.168_80).h264");
  MakeDialog();
  EXPECT_EQ(dialog_->DriveRoots(), QStringList({FilePath("c"), FilePath("d")}));
  EXPECT_EQ(Control<QComboBox>(IDC_START_DRIVE)->itemText(1), FilePath("d"));

  Search();
  EXPECT_TRUE(messages_.isEmpty());
  EXPECT_EQ(Column(1), QStringList({n1, n3, a1, n2, a2}));
  EXPECT_EQ(Column(0), QStringList({"1", "2", "3", "4", "5"}));
  EXPECT_EQ(Column(2), QStringList({"3", "3", "1", "10", "2"}));
  EXPECT_EQ(Column(3), QStringList({"Normal", "Normal", "Alarm", "Normal", "Alarm"}));
  const QString created = Column(4).first();
  EXPECT_EQ(created.size(), 17);
  EXPECT_TRUE(created.startsWith(QDate::currentDate().toString("yyyyMMdd")) ||
              created.startsWith(QDate::currentDate().addDays(-1).toString("yyyyMMdd")));
  EXPECT_EQ(created[8], ' ');

  Search(3);
  EXPECT_EQ(Column(1), QStringList({n1, n3}));
  Search(0, "192.168.1.16");
  EXPECT_TRUE(Column(1).isEmpty());
  Search(0, "10.0.0.7");
  EXPECT_EQ(Column(1), QStringList({n2, a2}));
  Search(0, {}, 2);
  EXPECT_EQ(Column(1), QStringList({a1, a2}));
  EXPECT_EQ(Column(0), QStringList({"1", "2"}));
  Search(0, {}, 1);
  EXPECT_EQ(Column(1), QStringList({n1, n3, n2}));
  // Only the second drive.
  Control<QComboBox>(IDC_START_DRIVE)->setCurrentIndex(1);
  QTest::mouseClick(Control<QPushButton>(IDC_SEARCH), Qt::LeftButton);
  EXPECT_EQ(Column(1), QStringList({n3}));
}

TEST_F(SearchTest, DriveOrderIsCheckedBeforeTimeOrder) {
  Make("c/KV_Record/Normal/" + today_ + "/Cam(192.168.1.168_80)_3_0931.h264");
  MakeDialog();
  Search();
  ASSERT_EQ(Column(1).size(), 1);

  Control<QComboBox>(IDC_START_DRIVE)->setCurrentIndex(1);
  Control<QComboBox>(IDC_END_DRIVE)->setCurrentIndex(0);
  Control<QDateEdit>(IDC_START_DATE)->setDate(QDate::currentDate().addDays(1));
  Control<QDateEdit>(IDC_END_DATE)->setDate(QDate::currentDate().addDays(-1));
  QTest::mouseClick(Control<QPushButton>(IDC_SEARCH), Qt::LeftButton);
  EXPECT_EQ(messages_, QStringList({"End drive should be after start drive."}));
  EXPECT_EQ(Column(1).size(), 1);

  messages_.clear();
  Control<QComboBox>(IDC_END_DRIVE)->setCurrentIndex(1);
  QTest::mouseClick(Control<QPushButton>(IDC_SEARCH), Qt::LeftButton);
  EXPECT_EQ(messages_, QStringList({"End time should be after start time."}));
  EXPECT_EQ(Column(1).size(), 1);

  // Equal moments are allowed.
  messages_.clear();
  Control<QDateEdit>(IDC_END_DATE)->setDate(QDate::currentDate().addDays(1));
  Control<QTimeEdit>(IDC_END_TIME)->setTime(QTime(0, 0, 0));
  QTest::mouseClick(Control<QPushButton>(IDC_SEARCH), Qt::LeftButton);
  EXPECT_TRUE(messages_.isEmpty());
  EXPECT_TRUE(Column(1).isEmpty());
}

TEST_F(SearchTest, DoubleClickOnARowPlaysIt) {
  const QString path =
      Make("c/KV_Record/Normal/" + today_ + "/Cam(192.168.1.168_80)_3_0931.h264", true);
  MakeDialog();
  Search();
  CSortListCtrl* list = Control<CSortListCtrl>(IDC_LIST);
  ASSERT_EQ(list->rowCount(), 1);

  // Below the rows nothing happens.
  const QPoint below(10, list->viewport()->height() - 5);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, below);
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, below);
  EXPECT_EQ(ApiSpy::Get().Count("OpenFile"), 0);

  const QRect row = list->visualItemRect(list->item(0, 1));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row.center());
  ASSERT_EQ(ApiSpy::Get().Count("OpenFile"), 1);
  EXPECT_EQ(ApiSpy::Get().CallsBesidesRedraws()[0].text, path.toStdString());
  ASSERT_NE(dialog_->ReplayHandle(), nullptr);
  EXPECT_EQ(Control<QLabel>(IDC_PATH_LABEL)->text(), path);
  EXPECT_EQ(dialog_->TotalSeconds(), 2u);
  // The position timer follows the library to the end of the file.
  EXPECT_TRUE(
      WaitUntil([&] { return Control<QLabel>(IDC_TIME_LABEL)->text() == "00:02/00:02"; }, 30000))
      << Control<QLabel>(IDC_TIME_LABEL)->text().toStdString();
  EXPECT_TRUE(messages_.isEmpty());
}

}  // namespace
}  // namespace kvreplay::test
