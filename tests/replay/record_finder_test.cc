// The recording search over real folders: layouts, types, drives, order and filters.
#include "replay/record_finder.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "tests/replay/qt_print.h"
#include "tests/support/temp_dir.h"

namespace kvreplay {
namespace {

// Two drive folders with recordings in both layouts and both types.
class RecordFinderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::filesystem::path dir = kv::test::MakeUniqueTempDir("kvreplay-finder-");
    ASSERT_FALSE(dir.empty());
    base_ = QString::fromStdString(dir.string());
    driveA_ = base_ + "/a";
    driveB_ = base_ + "/b";
    today_ = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    filter_.start = Day(QDate::currentDate().addDays(-1), 0, 0, 0);
    filter_.end = Day(QDate::currentDate().addDays(1), 23, 59, 59);
  }
  void TearDown() override {
    if (!base_.isEmpty()) QDir(base_).removeRecursively();
  }

  static DateTimeValue Day(const QDate& d, int h, int m, int s) {
    return DateTimeValue::FromFields(d.year(), d.month(), d.day(), h, m, s);
  }

  QString Make(const QString& relative) {
    const QString path = base_ + "/" + relative;
    EXPECT_TRUE(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("x");
    return path;
  }

  QStringList Paths(const std::vector<RecordRow>& rows) {
    QStringList paths;
    for (const RecordRow& row : rows) paths << row.path.mid(base_.size() + 1);
    return paths;
  }

  QString base_, driveA_, driveB_, today_;
  RecordSearchFilter filter_;
};

TEST_F(RecordFinderTest, ScansLayoutsThenTypesThenDrivesInTheirFixedOrder) {
  Make("a/Record/Alarm/" + today_ + "/d(1.2.3.4_1)_1_x.h264");
  Make("a/Record/Normal/" + today_ + "/c(1.2.3.4_1)_1_x.h264");
  Make("a/KV_Record/Alarm/" + today_ + "/b(1.2.3.4_1)_1_x.h264");
  Make("a/KV_Record/Normal/" + today_ + "/a2(1.2.3.4_1)_1_x.h264");
  Make("a/KV_Record/Normal/" + today_ + "/A1(1.2.3.4_1)_1_x.h264");
  // Folder names and the ending match in any case.
  Make("b/kv_record/NORMAL/" + today_ + "/e(1.2.3.4_1)_2_x.H264");

  const std::vector<RecordRow> rows = SearchRecordings({driveA_, driveB_}, filter_, 0);
  const QStringList expected = {"a/KV_Record/Normal/" + today_ + "/A1(1.2.3.4_1)_1_x.h264",
                                "a/KV_Record/Normal/" + today_ + "/a2(1.2.3.4_1)_1_x.h264",
                                "b/kv_record/NORMAL/" + today_ + "/e(1.2.3.4_1)_2_x.H264",
                                "a/KV_Record/Alarm/" + today_ + "/b(1.2.3.4_1)_1_x.h264",
                                "a/Record/Normal/" + today_ + "/c(1.2.3.4_1)_1_x.h264",
                                "a/Record/Alarm/" + today_ + "/d(1.2.3.4_1)_1_x.h264"};
  EXPECT_EQ(Paths(rows), expected);
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[2].channel, 2);
  EXPECT_EQ(rows[3].type, RecordType::kAlarm);
  EXPECT_EQ(rows[4].type, RecordType::kNormal);

  EXPECT_EQ(SearchRecordings({driveA_, driveB_}, filter_, 1).size(), 4u);
  EXPECT_EQ(Paths(SearchRecordings({driveA_, driveB_}, filter_, 2)),
            QStringList({expected[3], expected[5]}));
  EXPECT_EQ(SearchRecordings({driveB_}, filter_, 2).size(), 0u);
  std::vector<RecordRow> none;
  EXPECT_EQ(SearchRecordTree({driveA_}, filter_, 3, FolderLayout::kFirst, &none), 0);
  EXPECT_TRUE(none.empty());
}

TEST_F(RecordFinderTest, SkipsWhatTheGrammarsAndRangesRuleOut) {
  const QString keep = Make("a/KV_Record/Normal/" + today_ + "/Cam(192.168.1.168_80)_3_0931.h264");
  Make("a/KV_Record/Normal/" + today_ + "/Cam(192.168.1.168_80)_03_0932.h264");
  Make("a/KV_Record/Normal/" + today_ + "/Cam(192.168.1.16_80)_ab_0933.h264");
  Make("a/KV_Record/Normal/" + today_ + "/NoBracket_3_0934.h264");
  Make("a/KV_Record/Normal/" + today_ + "/Cam(192.168.1.168_80)_3.h264");
  Make("a/KV_Record/Normal/" + today_ + "/Cam(192.168.1.168_80)_3_0935.h264.part");
  Make("a/KV_Record/Normal/" + today_ + "/Cam(192.168.1.168_80)_3_0936.avi");
  Make("a/KV_Record/Normal/" + today_ + "/deeper/Cam(192.168.1.168_80)_3_0937.h264");
  Make("a/KV_Record/Normal/" + QDate::currentDate().addDays(-10).toString("yyyy-MM-dd") +
       "/Old(192.168.1.168_80)_3_0938.h264");
  Make("a/KV_Record/Normal/2010-05/Bad(192.168.1.168_80)_3_0939.h264");
  Make("a/KV_Record/Normal/nodash/Bad(192.168.1.168_80)_3_0940.h264");
  Make("a/KV_Record/Normal/" + today_ + "-file(192.168.1.168_80)_3_0941.h264");

  std::vector<RecordRow> rows = SearchRecordings({driveA_}, filter_, 0);
  EXPECT_EQ(Paths(rows), QStringList({
                             "a/KV_Record/Normal/" + today_ + "/Cam(192.168.1.168_80)_03_0932.h264",
                             "a/KV_Record/Normal/" + today_ + "/Cam(192.168.1.168_80)_3_0931.h264",
                             "a/KV_Record/Normal/" + today_ + "/Cam(192.168.1.16_80)_ab_0933.h264",
                         }));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2].channel, 0);

  filter_.channel = 3;
  EXPECT_EQ(SearchRecordings({driveA_}, filter_, 0).size(), 2u);
  filter_.channel = 0;
  filter_.address = "192.168.1.16";
  rows = SearchRecordings({driveA_}, filter_, 0);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(rows[0].path.contains("_ab_0933"));
  filter_.address = "192.168.1.168";
  EXPECT_EQ(SearchRecordings({driveA_}, filter_, 0).size(), 2u);

  // A creation time outside the moments leaves the file out, though its day folder is in range.
  filter_.address.clear();
  filter_.start = Day(QDate::currentDate().addDays(1), 0, 0, 0);
  filter_.end = Day(QDate::currentDate().addDays(1), 23, 59, 59);
  EXPECT_TRUE(SearchRecordings({driveA_}, filter_, 0).empty());

  const QDateTime created = FileCreationTime(QFileInfo(keep));
  ASSERT_TRUE(created.isValid());
  EXPECT_LT(std::abs(created.secsTo(QDateTime::currentDateTime())), 600);
}

TEST_F(RecordFinderTest, MissingFoldersAddNothing) {
  EXPECT_TRUE(SearchRecordings({base_ + "/none", driveA_}, filter_, 0).empty());
  EXPECT_TRUE(SearchRecordings({}, filter_, 0).empty());
}

TEST(ListTimeTest, FormatsTheLocalTimeWithFixedWidths) {
  EXPECT_EQ(FormatListTime(QDateTime(QDate(2010, 5, 21), QTime(9, 8, 7))),
            QStringLiteral("20100521 09:08:07"));
  const DateTimeValue value = ToDateTimeValue(QDateTime(QDate(2010, 5, 21), QTime(9, 8, 7)));
  EXPECT_EQ(value.Seconds(), DateTimeValue::FromFields(2010, 5, 21, 9, 8, 7).Seconds());
  EXPECT_FALSE(ToDateTimeValue(QDateTime()).IsValid());
}

}  // namespace
}  // namespace kvreplay
