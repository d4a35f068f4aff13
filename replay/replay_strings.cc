// The string table and the time label's formats.
#include "replay/replay_strings.h"

namespace kvreplay {
namespace {

struct StringEntry {
  int id;
  const char16_t* english;
  const char16_t* chinese;
};

constexpr StringEntry kStrings[] = {
    {IDS_FAST, u"Fast", u"快进"},
    {IDS_SLOW, u"Slow", u"慢进"},
    {IDS_SNAPSHOT, u"Snapshot", u"快照"},
    {IDS_PAUSE, u"Pause", u"暂停"},
    {IDS_CONTINUE, u"Continue", u"继续"},
    {IDS_SOUND, u"Sound", u"声音"},
    {IDS_DRIVE_ORDER, u"End drive should be after start drive.", u"磁盘设置有误"},
    {IDS_PLAY_FAILED, u"Play Failed", u"播放失败"},
    {IDS_STEP, u"Step", u"步进"},
    {IDS_COLUMN_INDEX, u"Index", u"编号"},
    {IDS_COLUMN_FILE_NAME, u"File Name", u"文件名"},
    {IDS_COLUMN_CHANNEL, u"Channel", u"通道"},
    {IDS_COLUMN_TYPE, u"Type", u"类型"},
    {IDS_COLUMN_START_TIME, u"Start Time", u"开始时间"},
    {IDS_COLUMN_END_TIME, u"End Time", u"结束时间"},
    {IDS_DEVICE_NAME, u"Device Name", u"设备名称"},
    {IDS_IP_ADDRESS, u"IP Address", u"指定IP"},
    {IDS_TYPE_NORMAL, u"Normal", u"正常"},
    {IDS_TYPE_ALARM, u"Alarm", u"报警"},
    {IDS_CLOSE_AUDIO_FAILED, u"Close Audio Failed", u"关闭声音失败"},
    {IDS_OPEN_AUDIO_FAILED, u"Open Audio Failed", u"打开声音失败"},
    {IDS_TIME_ORDER, u"End time should be after start time.", u"时间设置有误"},
};

QString TwoDigits(uint32_t value) { return QStringLiteral("%1").arg(value, 2, 10, QChar(u'0')); }

QString MinutesSeconds(uint32_t seconds) {
  return TwoDigits(seconds / 60) + u':' + TwoDigits(seconds % 60);
}

}  // namespace

QString CommandLineText(const QStringList& arguments) { return arguments.mid(1).join(u' '); }

Language ChooseLanguage(const QString& commandLineText) {
  return commandLineText == QLatin1String("CHINESE") ? Language::kChinese : Language::kEnglish;
}

bool LoadString(Language language, int id, QString* text) {
  for (const StringEntry& entry : kStrings) {
    if (entry.id != id) continue;
    *text = QString::fromUtf16(language == Language::kChinese ? entry.chinese : entry.english);
    return true;
  }
  return false;
}

QString LoadString(Language language, int id) {
  QString text;
  LoadString(language, id, &text);
  return text;
}

QString LanguageFailedMessage(Language language) {
  return language == Language::kChinese
             ? QString::fromUtf16(u"设置中文语言失败，\n请选择其它语言版本")
             : QStringLiteral("Set English Language Failed!,\n Please Choose Other Language");
}

QString EmptyTimeLabel() { return QStringLiteral("00:00/00:00"); }

QString LengthTimeLabel(uint32_t totalSeconds) {
  return QStringLiteral("00:00/") + MinutesSeconds(totalSeconds);
}

QString PositionTimeLabel(uint32_t positionSeconds, uint32_t totalSeconds) {
  return MinutesSeconds(positionSeconds) + u'/' + MinutesSeconds(totalSeconds);
}

}  // namespace kvreplay
