// The rules the recording search applies to folder and file names, dates and times: plain
// functions of strings and values, with no file system and no widgets.
#pragma once

#include <QString>
#include <QStringView>
#include <cstdint>

#include "replay/date_time_value.h"

namespace kvreplay {

// Reads a decimal integer as the C library's atoi does (leading blanks, an optional sign,
// then digits up to the first other character; no digits give 0), saturating at the int range.
int ReadLeadingInt(QStringView text);

// A day folder's name: "year-month-day", each part read with ReadLeadingInt. False when the name
// has no "-"; otherwise *date is the folder's day at 00:00:00, which may be invalid (a name
// such as "2010-05" gives month 0).
bool ParseDateFolder(QStringView name, DateTimeValue* date);

// True when the day of date lies within the days of start and end (times of day ignored). Each
// value gives the key year * 10000 + month * 100 + day (fields of a value that is not valid
// count as -1) and the keys compare as unsigned 32-bit numbers, so an invalid folder date is
// never in range.
bool DateInRange(const DateTimeValue& start, const DateTimeValue& end, const DateTimeValue& date);

// True when start <= fileTime <= end; false when any of them is not valid.
bool TimeInRange(const DateTimeValue& start, const DateTimeValue& end,
                 const DateTimeValue& fileTime);

// The channel number of a recording's file name: the text between the first two "_" after the
// last ")". False when the name has no ")" or fewer than two "_" after it.
bool ParseChannel(QStringView name, int* channel);

// True when the device address in the file name equals text exactly: the text after the last "("
// up to the first "_" found from four characters after the "(".
bool MatchDeviceAddress(QStringView name, QStringView text);

// "%d.%d.%d.%d" of the four octets, the top byte first.
QString FormatDeviceAddress(uint32_t address);

// The value of the address field's text: four dot-separated fields, the first in the top byte;
// a blank field counts as 0 and a field above 255 as 255. An empty text gives 0.
uint32_t ParseIpAddressText(QStringView text);

}  // namespace kvreplay
