// The program's texts in its two interface languages: the string table, the choice of language
// from the command line, and the time label's formats.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

namespace kvreplay {

enum class Language { kEnglish, kChinese };

// String table ids.
enum StringId : int {
  IDS_FAST = 133,
  IDS_SLOW = 134,
  IDS_SNAPSHOT = 135,
  IDS_PAUSE = 136,
  IDS_CONTINUE = 137,
  IDS_SOUND = 138,
  IDS_DRIVE_ORDER = 139,
  IDS_PLAY_FAILED = 140,
  IDS_STEP = 141,
  IDS_COLUMN_INDEX = 142,
  IDS_COLUMN_FILE_NAME = 143,
  IDS_COLUMN_CHANNEL = 144,
  IDS_COLUMN_TYPE = 145,
  IDS_COLUMN_START_TIME = 146,
  IDS_COLUMN_END_TIME = 147,
  IDS_DEVICE_NAME = 148,
  IDS_IP_ADDRESS = 149,
  IDS_TYPE_NORMAL = 150,
  IDS_TYPE_ALARM = 151,
  IDS_CLOSE_AUDIO_FAILED = 152,
  IDS_OPEN_AUDIO_FAILED = 153,
  IDS_TIME_ORDER = 154,
};

// The text of the arguments after the program name, joined by single blanks.
QString CommandLineText(const QStringList& arguments);

// Chinese for exactly "CHINESE", else English (also for "ENGLISH", any other text and none).
Language ChooseLanguage(const QString& commandLineText);

// The string's text in the language; false (*text unchanged) for an id the table lacks.
bool LoadString(Language language, int id, QString* text);
// The string's text, or an empty text for an id the table lacks.
QString LoadString(Language language, int id);

// The message shown when the language cannot be set up.
QString LanguageFailedMessage(Language language);

// "00:00/00:00".
QString EmptyTimeLabel();
// "00:00/%02d:%02d": the length only, right after a file is opened.
QString LengthTimeLabel(uint32_t totalSeconds);
// "%02d:%02d/%02d:%02d": position and length; minutes are not limited to two digits.
QString PositionTimeLabel(uint32_t positionSeconds, uint32_t totalSeconds);

}  // namespace kvreplay
