// The main dialog's controls: layout, languages, keys that must not close it, the recording
// list's sorting, shading and stored widths, and the enlarged window's minimum size.
#include <QComboBox>
#include <QDateEdit>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimeEdit>
#include <QToolButton>

#include "replay/column_widths.h"
#include "replay/dialog_template.h"
#include "replay/icons.h"
#include "replay/my_static.h"
#include "replay/replay_app.h"
#include "replay/sort_list_ctrl.h"
#include "replay/video_pane.h"
#include "tests/replay/replay_gui_support.h"

namespace kvreplay::test {
namespace {

using ControlsTest = DialogTest;

QByteArray Widths(std::initializer_list<int32_t> values) {
  QByteArray bytes;
  for (int32_t v : values) {
    for (int i = 0; i < 4; ++i) bytes.append(char((uint32_t(v) >> (8 * i)) & 0xFF));
  }
  return bytes;
}

QStringList Items(QComboBox* list) {
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items << list->itemText(i);
  return items;
}

QStringList HeaderTexts(CSortListCtrl* list) {
  QStringList texts;
  for (int c = 0; c < list->columnCount(); ++c) texts << list->horizontalHeaderItem(c)->text();
  return texts;
}

QStringList ColumnTexts(CSortListCtrl* list, int column) {
  QStringList texts;
  for (int r = 0; r < list->rowCount(); ++r) texts << list->RowTexts(r)[column];
  return texts;
}

void ClickHeader(CSortListCtrl* list, int column) {
  QHeaderView* header = list->horizontalHeader();
  const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                  header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
}

TEST(DialogUnitsTest, ConvertsWithTheFontsBaseUnits) {
  const DialogUnits units(6, 13);
  // The video area's place: 5, 10 pixels from the corner at these metrics.
  EXPECT_EQ(units.ToPixels(QRect(3, 6, 259, 181)), QRect(5, 10, 388, 294));
  EXPECT_EQ(units.ToPixels(QSize(458, 375)), QSize(687, 609));
}

TEST_F(ControlsTest, LayoutFollowsTheTemplate) {
  MakeDialog();
  const DialogUnits units(DialogFont(Language::kEnglish));
  EXPECT_EQ(dialog_->size(), units.ToPixels(MainDialogSize(Language::kEnglish)));
  EXPECT_EQ(dialog_->windowTitle(), " Replay");
  for (const ControlTemplate& t : MainDialogTemplate()) {
    if (t.id == IDC_NONE) continue;
    QWidget* control = Control<QWidget>(t.id);
    ASSERT_NE(control, nullptr) << t.id;
    EXPECT_EQ(control->pos(), units.ToPixels(t.place).topLeft()) << t.id;
    EXPECT_EQ(control->isVisible(), !t.hidden) << t.id;
  }
  EXPECT_EQ(Control<CMyStatic>(IDC_VIDEO)->geometry(), units.ToPixels(QRect(3, 6, 259, 181)));
  EXPECT_EQ(dialog_->VideoRect(), Control<CMyStatic>(IDC_VIDEO)->geometry());
  EXPECT_EQ(Control<QLabel>(IDC_TIME_LABEL)->text(), "00:00/00:00");
  EXPECT_EQ(dialog_->SoundIconId(), IDI_SOUND_ON);
  EXPECT_EQ(Control<QToolButton>(IDC_SOUND)->icon().cacheKey(),
            ReplayIcon(IDI_SOUND_ON).cacheKey());
  EXPECT_EQ(Items(Control<QComboBox>(IDC_FILE_TYPE)), QStringList({"All", "Normal", "Alarm"}));
  EXPECT_EQ(Items(Control<QComboBox>(IDC_CHANNEL)),
            QStringList({"All", "1", "2", "3", "4", "5", "6", "7", "8"}));
  EXPECT_EQ(Items(Control<QComboBox>(IDC_SEARCH_BY)), QStringList({"IP Address"}));
  EXPECT_EQ(Control<QComboBox>(IDC_SPARE)->currentText(), "All");
  EXPECT_EQ(Control<QTimeEdit>(IDC_START_TIME)->time(), QTime(0, 0, 0));
  EXPECT_EQ(Control<QTimeEdit>(IDC_END_TIME)->time(), QTime(23, 59, 59));
  EXPECT_EQ(Control<QDateEdit>(IDC_START_DATE)->date(), QDate::currentDate());
  EXPECT_EQ(HeaderTexts(Control<CSortListCtrl>(IDC_LIST)),
            QStringList({"Index", "File Name", "Channel", "Type", "Start Time", "End Time"}));
  const std::pair<int, const char*> tips[] = {
      {IDC_FAST, "Fast"},         {IDC_SLOW, "Slow"},   {IDC_SNAPSHOT, "Snapshot"},
      {IDC_CONTINUE, "Continue"}, {IDC_PAUSE, "Pause"}, {IDC_STEP, "Step"},
      {IDC_SOUND, "Sound"}};
  for (const auto& [id, tip] : tips) {
    QToolButton* button = Control<QToolButton>(id);
    EXPECT_EQ(button->toolTip(), tip);
    EXPECT_TRUE(button->text().isEmpty());
    EXPECT_FALSE(button->icon().isNull());
  }
  EXPECT_TRUE(dialog_->testAttribute(Qt::WA_AlwaysShowToolTips));
  // The enlarged window exists from the start, hidden.
  ASSERT_NE(dialog_->VideoPane(), nullptr);
  EXPECT_FALSE(dialog_->VideoPane()->isVisible());
}

TEST_F(ControlsTest, ChineseTextsWithTheWordChinese) {
  MakeDialog(ChooseLanguage(CommandLineText({"kvreplay", "CHINESE"})));
  const DialogUnits units(DialogFont(Language::kChinese));
  EXPECT_EQ(dialog_->size(), units.ToPixels(QSize(458, 376)));
  EXPECT_EQ(Control<QPushButton>(IDC_SEARCH)->text(), QString::fromUtf16(u"搜索"));
  EXPECT_EQ(Control<QPushButton>(IDC_OPEN_FILE)->text(), QString::fromUtf16(u"打开"));
  EXPECT_EQ(Control<QPushButton>(IDC_STOP)->text(), QString::fromUtf16(u"停止"));
  EXPECT_EQ(Control<QLabel>(IDC_IP_LABEL)->text(), QString::fromUtf16(u"设备IP"));
  EXPECT_EQ(Items(Control<QComboBox>(IDC_FILE_TYPE)),
            QStringList({QString::fromUtf16(u"所有"), QString::fromUtf16(u"正常"),
                         QString::fromUtf16(u"报警")}));
  EXPECT_EQ(Control<QComboBox>(IDC_CHANNEL)->itemText(0), QString::fromUtf16(u"所有"));
  EXPECT_EQ(Control<QComboBox>(IDC_SEARCH_BY)->itemText(0), QString::fromUtf16(u"指定IP"));
  EXPECT_EQ(HeaderTexts(Control<CSortListCtrl>(IDC_LIST)).first(), QString::fromUtf16(u"编号"));
  EXPECT_EQ(Control<QToolButton>(IDC_FAST)->toolTip(), QString::fromUtf16(u"快进"));
  EXPECT_EQ(Control<QToolButton>(IDC_SNAPSHOT)->toolTip(), QString::fromUtf16(u"快照"));
  QStringList labels;
  for (QLabel* label : dialog_->findChildren<QLabel*>()) labels << label->text();
  EXPECT_TRUE(labels.contains(QString::fromUtf16(u"开始时间")));
  EXPECT_TRUE(labels.contains(QString::fromUtf16(u"文件类型")));
  // A machine that can show Chinese has a font for it (the set-up installs one).
  EXPECT_TRUE(LanguageCanBeShown(Language::kChinese, QFontDatabase::writingSystems()));
  EXPECT_FALSE(LanguageCanBeShown(Language::kChinese, {QFontDatabase::Latin}));

  chosenFile_ = FilePath("missing.h264");
  QTest::mouseClick(Control<QPushButton>(IDC_OPEN_FILE), Qt::LeftButton);
  EXPECT_EQ(messages_, QStringList({QString::fromUtf16(u"播放失败")}));
}

TEST_F(ControlsTest, EnterAndEscapeLeaveTheDialogOpenAndCloseEndsIt) {
  MakeDialog();
  ASSERT_TRUE(WriteBarsRecording(FilePath("a.h264"), 5));
  chosenFile_ = FilePath("a.h264");
  dialog_->OnOpenFile();
  ASSERT_NE(dialog_->ReplayHandle(), nullptr);
  for (QWidget* target : {static_cast<QWidget*>(dialog_.get()),
                          static_cast<QWidget*>(Control<QDateEdit>(IDC_START_DATE)),
                          static_cast<QWidget*>(Control<QPushButton>(IDC_SEARCH))}) {
    target->setFocus();
    QTest::keyClick(target, Qt::Key_Escape);
    QTest::keyClick(target, Qt::Key_Return);
    QTest::keyClick(target, Qt::Key_Enter);
    EXPECT_TRUE(dialog_->isVisible());
  }
  EXPECT_NE(dialog_->ReplayHandle(), nullptr);
  EXPECT_TRUE(messages_.isEmpty());

  const KVNET_HANDLE handle = dialog_->ReplayHandle();
  ApiSpy::Get().Clear();
  EXPECT_TRUE(dialog_->close());
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(dialog_->result(), QDialog::Rejected);
  EXPECT_EQ(dialog_->ReplayHandle(), nullptr);
  ASSERT_EQ(ApiSpy::Get().Count("CloseFile"), 1);
  EXPECT_EQ(ApiSpy::Get().Calls().back().handle, handle);
}

TEST_F(ControlsTest, HeaderClicksSortRenumberAndMoveTheMark) {
  MakeDialog();
  CSortListCtrl* list = Control<CSortListCtrl>(IDC_LIST);
  const QStringList rows[] = {{"1", "/r/c", "10", "Normal", "20100521 09:00:00", "x"},
                              {"2", "/r/a", "2", "Alarm", "20100520 09:00:00", "y"},
                              {"3", "/r/b", "1", "Normal", "20100522 09:00:00", "z"}};
  for (const QStringList& row : rows) EXPECT_GE(list->AddItem(row), 0);
  EXPECT_EQ(list->AddItem({"too", "few"}), -1);

  ClickHeader(list, 3);
  EXPECT_EQ(ColumnTexts(list, 3), QStringList({"Alarm", "Normal", "Normal"}));
  EXPECT_EQ(ColumnTexts(list, 1), QStringList({"/r/a", "/r/c", "/r/b"}));
  EXPECT_EQ(ColumnTexts(list, 0), QStringList({"1", "2", "3"}));
  EXPECT_EQ(list->Header()->sortIndicatorSection(), 3);
  EXPECT_EQ(list->Header()->sortIndicatorOrder(), Qt::AscendingOrder);

  ClickHeader(list, 3);
  EXPECT_EQ(ColumnTexts(list, 3), QStringList({"Normal", "Normal", "Alarm"}));
  EXPECT_EQ(ColumnTexts(list, 0), QStringList({"1", "2", "3"}));
  EXPECT_EQ(list->Header()->sortIndicatorOrder(), Qt::DescendingOrder);

  ClickHeader(list, 4);
  EXPECT_EQ(ColumnTexts(list, 1), QStringList({"/r/a", "/r/c", "/r/b"}));
  EXPECT_EQ(list->Header()->sortIndicatorSection(), 4);
  EXPECT_EQ(list->Header()->sortIndicatorOrder(), Qt::AscendingOrder);

  ClickHeader(list, 2);
  EXPECT_EQ(ColumnTexts(list, 2), QStringList({"1", "10", "2"}));

  // The Index header changes nothing.
  ClickHeader(list, 0);
  EXPECT_EQ(ColumnTexts(list, 2), QStringList({"1", "10", "2"}));
  EXPECT_EQ(list->SortColumn(), 2);
  EXPECT_TRUE(list->SortAscending());
  EXPECT_EQ(list->Header()->sortIndicatorSection(), 2);
}

TEST_F(ControlsTest, EvenRowsAreShadedLightGreen) {
  MakeDialog();
  CSortListCtrl* list = Control<CSortListCtrl>(IDC_LIST);
  for (int i = 1; i <= 5; ++i) {
    list->AddItem({QString::number(i), "/r/" + QString::number(i), "1", "Normal", "t", "t"});
  }
  list->clearSelection();
  list->setCurrentItem(nullptr);
  const QImage image = list->viewport()->grab().toImage();
  const int x = list->columnViewportPosition(5) + list->columnWidth(5) - 4;
  for (int r = 0; r < 5; ++r) {
    const QColor seen = image.pixelColor(x, list->rowViewportPosition(r) + list->rowHeight(r) / 2);
    EXPECT_EQ(seen == CShadedRowDelegate::ShadeColour(), r % 2 == 0)
        << "row " << r << ": " << seen.name().toStdString();
  }
}

TEST_F(ControlsTest, StoredColumnWidthsApplyOnlyWhenTheyFit) {
  {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "MorvaLinder", "KVViewerX");
    settings.setValue(kListWidthsKey, Widths({6, 40, 280, 55, 45, 120, 130}));
  }
  MakeDialog();
  CSortListCtrl* list = Control<CSortListCtrl>(IDC_LIST);
  std::vector<int> widths;
  for (int c = 0; c < 6; ++c) widths.push_back(list->columnWidth(c));
  EXPECT_EQ(widths, std::vector<int>({40, 280, 55, 45, 120, 130}));

  for (const QByteArray& value : {Widths({5, 40, 280, 55, 45, 120}), Widths({6, 40, 280})}) {
    {
      QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "MorvaLinder", "KVViewerX");
      settings.setValue(kListWidthsKey, value);
    }
    MakeDialog();
    list = Control<CSortListCtrl>(IDC_LIST);
    widths.clear();
    for (int c = 0; c < 6; ++c) widths.push_back(list->columnWidth(c));
    EXPECT_EQ(widths, std::vector<int>({50, 300, 60, 50, 100, 100}));
  }
  QSettings(QSettings::NativeFormat, QSettings::UserScope, "MorvaLinder", "KVViewerX")
      .remove(kListWidthsKey);
}

TEST_F(ControlsTest, TheEnlargedWindowKeepsItsMinimumSize) {
  MakeDialog();
  CVideoPane* pane = dialog_->VideoPane();
  EXPECT_EQ(pane->minimumSize(), QSize(150, 100));
  pane->resize(100, 50);
  EXPECT_GE(pane->width(), 150);
  EXPECT_GE(pane->height(), 100);
  EXPECT_TRUE(pane->windowFlags().testFlag(Qt::Tool));
  EXPECT_EQ(pane->parentWidget(), nullptr);
}

}  // namespace
}  // namespace kvreplay::test
