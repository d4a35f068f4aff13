// The program's other plain rules: sorting, stored widths, snapshot paths and the capture
// setting, the mount table, the language and texts, and the library path and binding.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <cstdlib>

#include "replay/capture_settings.h"
#include "replay/column_widths.h"
#include "replay/kvnet_api.h"
#include "replay/mount_points.h"
#include "replay/replay_strings.h"
#include "replay/sort_rule.h"
#include "tests/replay/qt_print.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace kvreplay {
namespace {

std::vector<QStringList> Rows(const std::vector<std::pair<QString, QString>>& cells, int column) {
  std::vector<QStringList> rows;
  for (size_t i = 0; i < cells.size(); ++i) {
    QStringList row(6);
    row[0] = QString::number(i + 1);
    row[column] = cells[i].first;
    row[1] = cells[i].second;
    rows.push_back(row);
  }
  return rows;
}

QStringList Column(const std::vector<QStringList>& rows, const std::vector<int>& order, int c) {
  QStringList texts;
  for (int i : order) texts << rows[i][c];
  return texts;
}

TEST(SortRuleTest, HeaderClicksChooseColumnAndDirection) {
  SortState state;
  EXPECT_FALSE(ApplyHeaderClick(&state, 0));
  EXPECT_EQ(state.column, -1);
  ASSERT_TRUE(ApplyHeaderClick(&state, 3));
  EXPECT_EQ(state.column, 3);
  EXPECT_TRUE(state.ascending);
  ASSERT_TRUE(ApplyHeaderClick(&state, 3));
  EXPECT_FALSE(state.ascending);
  ASSERT_TRUE(ApplyHeaderClick(&state, 3));
  EXPECT_TRUE(state.ascending);
  ASSERT_TRUE(ApplyHeaderClick(&state, 3));
  ASSERT_TRUE(ApplyHeaderClick(&state, 4));
  EXPECT_EQ(state.column, 4);
  EXPECT_TRUE(state.ascending);
  // The Index column changes nothing, not even the direction.
  ASSERT_TRUE(ApplyHeaderClick(&state, 4));
  EXPECT_FALSE(ApplyHeaderClick(&state, 0));
  EXPECT_EQ(state.column, 4);
  EXPECT_FALSE(state.ascending);
}

TEST(SortRuleTest, ComparesColumnsAsTextAndKeepsEqualRowsInOrder) {
  const QCollator collator = UserCollator();
  const std::vector<QStringList> channels =
      Rows({{"1", "a"}, {"2", "b"}, {"10", "c"}, {"2", "d"}}, 2);
  SortState state{2, true};
  EXPECT_EQ(Column(channels, SortOrder(channels, state, collator), 2),
            QStringList({"1", "10", "2", "2"}));
  EXPECT_EQ(Column(channels, SortOrder(channels, state, collator), 1),
            QStringList({"a", "c", "b", "d"}));
  state.ascending = false;
  EXPECT_EQ(Column(channels, SortOrder(channels, state, collator), 1),
            QStringList({"b", "d", "c", "a"}));

  const std::vector<QStringList> times =
      Rows({{"20100521 09:08:07", "a"}, {"20091231 23:59:59", "b"}, {"20100521 10:00:00", "c"}}, 4);
  EXPECT_EQ(Column(times, SortOrder(times, {4, true}, collator), 1), QStringList({"b", "a", "c"}));

  // Case-sensitive: texts that differ only in case are not equal.
  EXPECT_NE(CompareItems({"", "a"}, {"", "A"}, {1, true}, collator), 0);
  EXPECT_EQ(CompareItems({"", "a"}, {"", "A"}, {1, true}, collator),
            -CompareItems({"", "a"}, {"", "A"}, {1, false}, collator));
  // A row missing the column compares as an empty text instead of reading past it.
  EXPECT_LT(CompareItems({"1"}, {"1", "x"}, {1, true}, collator), 0);
}

QByteArray Le32s(std::initializer_list<int32_t> values) {
  QByteArray bytes;
  for (int32_t v : values) {
    for (int i = 0; i < 4; ++i)
      bytes.append(static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF));
  }
  return bytes;
}

TEST(StoredWidthsTest, TakesOnlyACompleteValueOfTheRightCount) {
  auto widths = ParseStoredWidths(Le32s({6, 40, 280, 55, 45, 120, 130}), 6);
  ASSERT_TRUE(widths.has_value());
  EXPECT_EQ(*widths, std::vector<int>({40, 280, 55, 45, 120, 130}));
  EXPECT_FALSE(ParseStoredWidths(Le32s({5, 40, 280, 55, 45, 120}), 6).has_value());
  EXPECT_FALSE(ParseStoredWidths(Le32s({6, 40, 280, 55}), 6).has_value());
  EXPECT_FALSE(ParseStoredWidths(QByteArray("\x06\x00", 2), 6).has_value());
  EXPECT_FALSE(ParseStoredWidths(QByteArray(), 6).has_value());
  // A width that is no width leaves its column as it is.
  widths = ParseStoredWidths(Le32s({2, -5, 70000}), 2);
  ASSERT_TRUE(widths.has_value());
  EXPECT_EQ(*widths, std::vector<int>({-1, -1}));
  // Bytes after the promised widths are ignored.
  EXPECT_TRUE(ParseStoredWidths(Le32s({1, 10, 99}), 1).has_value());
}

TEST(SnapshotPathTest, ComposesRootDayTimeStampAndTick) {
  const QDateTime at(QDate(2010, 5, 21), QTime(9, 8, 7));
  EXPECT_EQ(
      SnapshotFilePath("/mnt/d/", at, 123456),
      QStringLiteral("/mnt/d/KV_Capture/2010-05-21/ReplayShot_2010_05_21_09_08_07_123456.jpg"));
  // A root without its separator still keeps the snapshot inside it.
  EXPECT_EQ(SnapshotFilePath("/mnt/d", at, -7),
            QStringLiteral("/mnt/d/KV_Capture/2010-05-21/ReplayShot_2010_05_21_09_08_07_-7.jpg"));
  EXPECT_EQ(SnapshotFilePath("/", QDateTime(QDate(2009, 12, 31), QTime(23, 59, 59)), 0),
            QStringLiteral("/KV_Capture/2009-12-31/ReplayShot_2009_12_31_23_59_59_0.jpg"));
  EXPECT_TRUE(DefaultCaptureRoot().endsWith('/'));
  EXPECT_TRUE(SnapshotFilePath(DefaultCaptureRoot(), at, 1).startsWith(DefaultCaptureRoot()));
}

// The viewer's settings, kept in a folder of the test's own.
class CaptureSettingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::filesystem::path dir = kv::test::MakeUniqueTempDir("kvreplay-settings-");
    ASSERT_FALSE(dir.empty());
    dir_ = QString::fromStdString(dir.string());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_);
  }
  void TearDown() override { QDir(dir_).removeRecursively(); }

  void Set(const QVariant& value) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, kSettingsOrganisation,
                       kSettingsApplication);
    settings.setValue(kCapturePathValue, value);
  }
  QString dir_;
};

TEST_F(CaptureSettingTest, ReadsTheCapturePathOrFallsBack) {
  CRegistry registry;
  QString out = "unchanged";
  EXPECT_FALSE(registry.ReadCapturePath(&out));
  ASSERT_TRUE(registry.OpenViewerKey());
  EXPECT_FALSE(registry.ReadCapturePath(&out));
  EXPECT_EQ(out, "unchanged");
  EXPECT_EQ(ReadCaptureRoot(), DefaultCaptureRoot());

  Set("/srv/snaps/");
  CRegistry second;
  ASSERT_TRUE(second.OpenViewerKey());
  ASSERT_TRUE(second.ReadCapturePath(&out));
  EXPECT_EQ(out, "/srv/snaps/");
  EXPECT_EQ(ReadCaptureRoot(), "/srv/snaps/");

  Set(QString("/srv/a") + QChar(u'\0') + "tail");
  EXPECT_EQ(ReadCaptureRoot(), "/srv/a");
  Set(QString(255, 'x'));
  EXPECT_EQ(ReadCaptureRoot(), QString(255, 'x'));
  // Too long for the value's room, or empty: the fallback.
  Set(QString(256, 'x'));
  EXPECT_EQ(ReadCaptureRoot(), DefaultCaptureRoot());
  Set("");
  EXPECT_EQ(ReadCaptureRoot(), DefaultCaptureRoot());
}

TEST(MountPointsTest, KeepsLocalFixedFileSystemsOnceEach) {
  const QByteArray table =
      "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
      "23 1 0:22 / /sys rw - sysfs sysfs rw\n"
      "25 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
      "26 25 8:3 / /home rw shared:2 master:1 - xfs /dev/sda3 rw\n"
      "27 25 0:25 / /run rw - tmpfs tmpfs rw\n"
      "28 25 8:17 / /media/usb rw - vfat /dev/sdb1 rw\n"
      "29 25 11:0 / /media/cd ro - iso9660 /dev/sr0 ro\n"
      "30 25 0:40 / /mnt/nfs rw - nfs4 server:/export rw\n"
      "31 25 8:3 / /srv/home-again rw - xfs /dev/sda3 rw\n"
      "32 25 8:4 /@data /mnt/my\\040data rw - btrfs /dev/sda4 rw\n"
      "33 25 8:4 /@logs /mnt/logs rw - btrfs /dev/sda4 rw\n"
      "34 25 8:2 /etc/hostname /etc/hostname rw - ext4 /dev/sda2 rw\n"
      "35 25 0:50 / /merged rw - overlay overlay rw,lowerdir=/l\n"
      "36 25 7:0 / /snap/core ro - squashfs /dev/loop0 ro\n"
      "37 25 1:0 / /mnt/ram rw - ext2 /dev/ram0 rw\n"
      "broken line\n"
      "38 25 8:5 / /win rw - fuseblk /dev/sda5 rw\n";
  const std::vector<MountEntry> mounts = ParseMountInfo(table);
  ASSERT_EQ(mounts.size(), 16u);
  EXPECT_EQ(mounts[9].mountPoint, "/mnt/my data");
  EXPECT_EQ(mounts[9].root, "/@data");
  EXPECT_EQ(mounts[2].fsType, "ext4");
  EXPECT_EQ(mounts[2].source, "/dev/sda2");

  const auto removable = [](int major, int minor) { return major == 8 && minor == 17; };
  const auto folder = [](const QString& path) { return path != "/etc/hostname"; };
  EXPECT_EQ(FixedMountPoints(mounts, removable, folder),
            QStringList({"/", "/home", "/mnt/my data", "/mnt/logs", "/win"}));
}

TEST(MountPointsTest, TheVariableReplacesTheDriveList) {
  EXPECT_EQ(SplitDrivesVariable("/a::/b c:"), QStringList({"/a", "/b c"}));
  kv::test::ScopedEnv drives(kDrivesVariable, "/x:/y");
  EXPECT_EQ(DriveRoots(), QStringList({"/x", "/y"}));
}

TEST(LanguageTest, OnlyTheExactWordChineseChoosesChinese) {
  EXPECT_EQ(ChooseLanguage(CommandLineText({"kvreplay", "CHINESE"})), Language::kChinese);
  EXPECT_EQ(ChooseLanguage(CommandLineText({"kvreplay", "ENGLISH"})), Language::kEnglish);
  EXPECT_EQ(ChooseLanguage(CommandLineText({"kvreplay", "chinese"})), Language::kEnglish);
  EXPECT_EQ(ChooseLanguage(CommandLineText({"kvreplay", "CHINESE", "x"})), Language::kEnglish);
  EXPECT_EQ(ChooseLanguage(CommandLineText({"kvreplay", "CHINESE "})), Language::kEnglish);
  EXPECT_EQ(ChooseLanguage(CommandLineText({"kvreplay"})), Language::kEnglish);
  EXPECT_EQ(ChooseLanguage(CommandLineText({})), Language::kEnglish);
  EXPECT_EQ(CommandLineText({"kvreplay", "a", "b"}), "a b");
}

TEST(LanguageTest, StringTableInBothLanguages) {
  EXPECT_EQ(LoadString(Language::kEnglish, IDS_PLAY_FAILED), "Play Failed");
  EXPECT_EQ(LoadString(Language::kChinese, IDS_PLAY_FAILED), QString::fromUtf16(u"播放失败"));
  EXPECT_EQ(LoadString(Language::kEnglish, IDS_TIME_ORDER), "End time should be after start time.");
  EXPECT_EQ(LoadString(Language::kChinese, IDS_DRIVE_ORDER), QString::fromUtf16(u"磁盘设置有误"));
  EXPECT_EQ(LoadString(Language::kChinese, IDS_SNAPSHOT), QString::fromUtf16(u"快照"));
  QString text = "kept";
  EXPECT_FALSE(LoadString(Language::kEnglish, 132, &text));
  EXPECT_EQ(text, "kept");
  EXPECT_TRUE(
      LanguageFailedMessage(Language::kEnglish).startsWith("Set English Language Failed!,\n"));
  EXPECT_TRUE(LanguageFailedMessage(Language::kChinese).contains('\n'));
}

TEST(TimeLabelTest, MinutesAreNotLimitedToTwoDigits) {
  EXPECT_EQ(EmptyTimeLabel(), "00:00/00:00");
  EXPECT_EQ(LengthTimeLabel(3725), "00:00/62:05");
  EXPECT_EQ(LengthTimeLabel(0), "00:00/00:00");
  EXPECT_EQ(PositionTimeLabel(61, 3725), "01:01/62:05");
  EXPECT_EQ(PositionTimeLabel(6000, 6001), "100:00/100:01");
  EXPECT_EQ(PositionTimeLabel(0, 4294967295u), "00:00/71582788:15");
}

TEST(LibraryPathTest, PathsCrossAsLocalBytesThatFitTheBuffer) {
  EXPECT_EQ(PathForLibrary("/tmp/a b.h264"), QByteArray("/tmp/a b.h264"));
  EXPECT_EQ(PathForLibrary(QString(1022, 'a')).size(), 1022);
  EXPECT_TRUE(PathForLibrary(QString(1023, 'a')).isEmpty());
  EXPECT_EQ(PathForLibrary(QString::fromUtf16(u"/录像.h264")),
            QByteArray("/\xE5\xBD\x95\xE5\x83\x8F.h264"));
  // 400 characters of three bytes each do not fit 1024 bytes.
  EXPECT_TRUE(PathForLibrary(QString(400, QChar(0x5F55))).isEmpty());
}

TEST(LibraryBindingTest, BindsEveryFunctionOrSaysWhatIsMissing) {
  {
    kv::test::ScopedEnv named(kLibraryVariable, "/nowhere/libKvNetClient.so");
    EXPECT_EQ(LibraryCandidates("/opt/kv", "../sdk/libKvNetClient.so"),
              QStringList({"/nowhere/libKvNetClient.so"}));
  }
  kv::test::ScopedEnv unset(kLibraryVariable, nullptr);
  const QString built = QStringLiteral(KVNET_SHARED_LIBRARY);
  const QString folder = QFileInfo(built).path();
  EXPECT_EQ(LibraryCandidates(folder, {}),
            QStringList({folder + "/libKvNetClient.so", "KvNetClient"}));
  EXPECT_EQ(LibraryCandidates("/nowhere", "x").size(), 1);

  KvNetLibrary library;
  QString error;
  ASSERT_TRUE(library.Load({"/nowhere/libKvNetClient.so", built}, &error)) << error.toStdString();
  EXPECT_TRUE(library.Api().Complete());
  EXPECT_EQ(library.Api().ReplayTotalTime(nullptr), 0u);

  KvNetLibrary missing;
  EXPECT_FALSE(missing.Load({"/nowhere/libKvNetClient.so"}, &error));
  EXPECT_TRUE(error.contains("could not be loaded"));
  // A library without the functions names them.
  KvNetLibrary other;
  EXPECT_FALSE(other.Load({"libz.so.1"}, &error));
  EXPECT_TRUE(error.contains("KVNET_OpenFile")) << error.toStdString();
}

}  // namespace
}  // namespace kvreplay
