// The dialog templates.
#include "replay/dialog_template.h"

#include <QFontMetrics>

namespace kvreplay {
namespace {

QString U(const char16_t* text) { return QString::fromUtf16(text); }

QStringList Channels(const QString& all) {
  QStringList items{all};
  for (int i = 1; i <= 8; ++i) items << QString::number(i);
  return items;
}

// Rounds like the window system's MulDiv(value, numerator, denominator).
int MulDiv(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator
                                       : (product - half) / denominator);
}

}  // namespace

const std::vector<ControlTemplate>& MainDialogTemplate() {
  using K = ControlKind;
  static const std::vector<ControlTemplate> controls = {
      {IDC_VIDEO, K::kVideo, {}, {}, QRect(3, 6, 259, 181)},
      {IDC_SLIDER, K::kSlider, {}, {}, QRect(3, 187, 253, 16)},
      {IDC_CONTINUE, K::kIconButton, {}, U(u"继续"), QRect(9, 204, 21, 16)},
      {IDC_PAUSE, K::kIconButton, {}, U(u"暂停"), QRect(31, 204, 21, 16)},
      {IDC_SLOW, K::kIconButton, {}, U(u"慢进"), QRect(53, 204, 21, 16)},
      {IDC_FAST, K::kIconButton, {}, U(u"快进"), QRect(75, 204, 21, 16)},
      {IDC_STEP, K::kIconButton, {}, U(u"步进"), QRect(97, 204, 21, 16)},
      {IDC_SOUND, K::kIconButton, {}, U(u"声音"), QRect(119, 204, 21, 16)},
      {IDC_SNAPSHOT, K::kIconButton, {}, U(u"拍照"), QRect(141, 204, 21, 16)},
      {IDC_TIME_LABEL, K::kTimeLabel, QStringLiteral("00:00/00:00"), QStringLiteral("00:00/00:00"),
       QRect(210, 208, 45, 8)},
      {IDC_PATH_LABEL, K::kPathLabel, QStringLiteral("..."), QStringLiteral("..."),
       QRect(10, 227, 443, 8)},
      {IDC_LIST, K::kList, {}, {}, QRect(0, 241, 457, 131)},
      {IDC_NONE, K::kGroupBox, {}, {}, QRect(265, 2, 189, 223)},
      {IDC_NONE, K::kLabel, QStringLiteral("Start Time"), U(u"开始时间"), QRect(270, 23, 41, 8)},
      {IDC_START_DATE, K::kDatePicker, {}, {}, QRect(318, 19, 63, 15)},
      {IDC_START_TIME, K::kTimePicker, {}, {}, QRect(388, 19, 63, 15)},
      {IDC_NONE, K::kLabel, QStringLiteral("End Time"), U(u"结束时间"), QRect(270, 52, 33, 8)},
      {IDC_END_DATE, K::kDatePicker, {}, {}, QRect(318, 47, 63, 15)},
      {IDC_END_TIME, K::kTimePicker, {}, {}, QRect(387, 47, 63, 15)},
      {IDC_NONE, K::kLabel, QStringLiteral("Search By"), U(u"搜索方式"), QRect(270, 85, 45, 8)},
      {IDC_SEARCH_BY,
       K::kDropDown,
       {},
       {},
       QRect(322, 80, 107, 51),
       {QStringLiteral("IP Address")},
       {U(u"指定IP")}},
      {IDC_IP_LABEL, K::kLabel, QStringLiteral("IP address"), U(u"设备IP"), QRect(270, 100, 45, 8)},
      {IDC_DEVICE_ADDRESS, K::kIpAddress, {}, {}, QRect(322, 97, 78, 14)},
      {IDC_SPARE,
       K::kDropDown,
       {},
       {},
       QRect(321, 111, 108, 86),
       {QStringLiteral("All")},
       {U(u"所有")},
       true},
      {IDC_NONE, K::kLabel, QStringLiteral("Channel "), U(u"通道号"), QRect(270, 129, 33, 8)},
      {IDC_CHANNEL,
       K::kDropDown,
       {},
       {},
       QRect(310, 126, 48, 76),
       Channels(QStringLiteral("All")),
       Channels(U(u"所有"))},
      {IDC_NONE, K::kLabel, QStringLiteral("Start Drive"), U(u"开始磁盘"), QRect(364, 129, 37, 8)},
      {IDC_START_DRIVE, K::kDropDown, {}, {}, QRect(405, 126, 48, 122)},
      {IDC_NONE, K::kLabel, QStringLiteral("File Type"), U(u"文件类型"), QRect(270, 151, 37, 8)},
      {IDC_FILE_TYPE,
       K::kDropDown,
       {},
       {},
       QRect(310, 148, 48, 71),
       {QStringLiteral("All"), QStringLiteral("Normal"), QStringLiteral("Alarm")},
       {U(u"所有"), U(u"正常"), U(u"报警")}},
      {IDC_NONE, K::kLabel, QStringLiteral("End Drive"), U(u"结束磁盘"), QRect(364, 151, 37, 8)},
      {IDC_END_DRIVE, K::kDropDown, {}, {}, QRect(406, 148, 48, 122)},
      {IDC_SEARCH, K::kPushButton, QStringLiteral("Search"), U(u"搜索"), QRect(276, 168, 50, 14)},
      {IDC_OPEN_FILE, K::kPushButton, QStringLiteral("Open File"), U(u"打开"),
       QRect(276, 188, 50, 14)},
      {IDC_STOP, K::kPushButton, QStringLiteral("Stop"), U(u"停止"), QRect(276, 208, 50, 14)},
  };
  return controls;
}

QSize MainDialogSize(Language language) {
  return language == Language::kChinese ? QSize(458, 376) : QSize(458, 375);
}

QRect VideoPaneTemplatePlace() { return QRect(100, 100, 278, 191); }

QFont DialogFont(Language language) {
  QFont font;
  if (language == Language::kChinese) {
    font.setFamilies({U(u"宋体"), QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Micro Hei"),
                      QStringLiteral("Noto Sans CJK SC")});
    font.setPointSize(9);
  } else {
    font.setFamilies({QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("DejaVu Sans")});
    font.setPointSize(8);
  }
  return font;
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int width = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseX_ = (width / 26 + 1) / 2;
  baseY_ = metrics.height();
  if (baseX_ <= 0) baseX_ = 6;
  if (baseY_ <= 0) baseY_ = 13;
}

int DialogUnits::X(int units) const { return MulDiv(units, baseX_, 4); }
int DialogUnits::Y(int units) const { return MulDiv(units, baseY_, 8); }

QRect DialogUnits::ToPixels(const QRect& units) const {
  const int left = X(units.x());
  const int top = Y(units.y());
  return QRect(left, top, X(units.x() + units.width()) - left, Y(units.y() + units.height()) - top);
}

QSize DialogUnits::ToPixels(const QSize& units) const {
  return QSize(X(units.width()), Y(units.height()));
}

}  // namespace kvreplay
