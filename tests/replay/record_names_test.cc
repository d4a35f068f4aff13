// The name, date and time rules of the recording search.
#include "replay/record_names.h"

#include <gtest/gtest.h>

#include <climits>

#include "replay/date_time_value.h"
#include "tests/replay/qt_print.h"

namespace kvreplay {
namespace {

DateTimeValue At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return DateTimeValue::FromFields(y, mo, d, h, mi, s);
}

TEST(DateTimeValueTest, ValidOnlyForRealMomentsBetweenTheYears100And9999) {
  EXPECT_TRUE(At(2012, 2, 29).IsValid());
  EXPECT_FALSE(At(2011, 2, 29).IsValid());
  EXPECT_FALSE(At(1900, 2, 29).IsValid());
  EXPECT_TRUE(At(2000, 2, 29).IsValid());
  EXPECT_FALSE(At(99, 12, 31).IsValid());
  EXPECT_TRUE(At(100, 1, 1).IsValid());
  EXPECT_TRUE(At(9999, 12, 31, 23, 59, 59).IsValid());
  EXPECT_FALSE(At(10000, 1, 1).IsValid());
  EXPECT_FALSE(At(2010, 0, 5).IsValid());
  EXPECT_FALSE(At(2010, 4, 31).IsValid());
  EXPECT_FALSE(At(2010, 5, 21, 24, 0, 0).IsValid());
  EXPECT_FALSE(At(2010, 5, 21, 0, 60, 0).IsValid());
  EXPECT_FALSE(At(2010, 5, 21, 0, 0, -1).IsValid());
  EXPECT_EQ(DateTimeValue().status(), DateTimeValue::Status::kNull);
  EXPECT_EQ(At(2010, 13, 1).status(), DateTimeValue::Status::kInvalid);

  CalendarFields f;
  EXPECT_FALSE(At(2010, 13, 1).GetFields(&f));
  EXPECT_EQ(At(2010, 13, 1).FieldsOrMinusOne().year, -1);
  ASSERT_TRUE(At(2010, 5, 21, 9, 8, 7).GetFields(&f));
  EXPECT_EQ(f.year * 10000 + f.month * 100 + f.day, 20100521);
  EXPECT_EQ(f.hour * 10000 + f.minute * 100 + f.second, 90807);
}

TEST(DateTimeValueTest, ComparesAsPointsInTimeFromTheZeroDate) {
  EXPECT_EQ(TimeOfDay(0, 0, 0).Seconds(), 0);
  EXPECT_EQ(TimeOfDay(23, 59, 59).Seconds(), 86399);
  EXPECT_EQ(At(1899, 12, 31).Seconds(), 86400);
  EXPECT_EQ(At(1899, 12, 29).Seconds(), -86400);
  EXPECT_TRUE(IsEarlier(At(2010, 5, 21, 23, 59, 59), At(2010, 5, 22)));
  EXPECT_FALSE(IsEarlier(At(2010, 5, 22), At(2010, 5, 22)));
  // 1 March follows 28 February directly in a year that is not a leap year.
  EXPECT_EQ(At(2100, 3, 1).Seconds() - At(2100, 2, 28).Seconds(), 86400);
  EXPECT_FALSE(IsEarlier(At(2010, 13, 1), At(2010, 5, 22)));
  EXPECT_FALSE(IsEarlier(At(2010, 5, 22), At(2010, 13, 1)));
}

TEST(ReadLeadingIntTest, ReadsLikeTheCLibraryAndSaturates) {
  EXPECT_EQ(ReadLeadingInt(u" \t12x"), 12);
  EXPECT_EQ(ReadLeadingInt(u"-3"), -3);
  EXPECT_EQ(ReadLeadingInt(u"+07"), 7);
  EXPECT_EQ(ReadLeadingInt(u"abc"), 0);
  EXPECT_EQ(ReadLeadingInt(u""), 0);
  EXPECT_EQ(ReadLeadingInt(u"- 3"), 0);
  EXPECT_EQ(ReadLeadingInt(u"99999999999999999999"), INT_MAX);
  EXPECT_EQ(ReadLeadingInt(u"-99999999999999999999"), INT_MIN);
  EXPECT_EQ(ReadLeadingInt(u"-2147483648"), INT_MIN);
  EXPECT_EQ(ReadLeadingInt(u"2147483647"), INT_MAX);
  // Only ASCII digits count (a full-width digit is other text).
  EXPECT_EQ(ReadLeadingInt(u"\uFF13"), 0);
}

TEST(ParseDateFolderTest, ReadsYearMonthAndDayAroundTheDashes) {
  DateTimeValue date;
  ASSERT_TRUE(ParseDateFolder(u"2010-05-21", &date));
  ASSERT_TRUE(date.IsValid());
  EXPECT_EQ(date.Seconds(), At(2010, 5, 21).Seconds());

  ASSERT_TRUE(ParseDateFolder(u"2010-5-21", &date));
  EXPECT_EQ(date.Seconds(), At(2010, 5, 21).Seconds());

  // Month is the text up to the second dash, missing here; day is after the last dash.
  ASSERT_TRUE(ParseDateFolder(u"2010-05", &date));
  EXPECT_FALSE(date.IsValid());
  EXPECT_EQ(date.FieldsOrMinusOne().year, -1);

  // The day comes after the last dash, whatever is between.
  ASSERT_TRUE(ParseDateFolder(u"2010-05-x-21", &date));
  EXPECT_EQ(date.Seconds(), At(2010, 5, 21).Seconds());
  ASSERT_TRUE(ParseDateFolder(u"2010-05-21 backup", &date));
  EXPECT_EQ(date.Seconds(), At(2010, 5, 21).Seconds());

  ASSERT_TRUE(ParseDateFolder(u"2010-13-01", &date));
  EXPECT_FALSE(date.IsValid());
  ASSERT_TRUE(ParseDateFolder(u"-", &date));
  EXPECT_FALSE(date.IsValid());

  date = At(2001, 1, 1);
  EXPECT_FALSE(ParseDateFolder(u"20100521", &date));
  EXPECT_EQ(date.Seconds(), At(2001, 1, 1).Seconds());
}

TEST(DateInRangeTest, ComparesDaysOnlyAndNeverTakesAnInvalidFolder) {
  const DateTimeValue start = At(2010, 5, 21, 8, 0, 0);
  const DateTimeValue end = At(2010, 5, 21, 9, 0, 0);
  EXPECT_TRUE(DateInRange(start, end, At(2010, 5, 21)));
  EXPECT_FALSE(DateInRange(start, end, At(2010, 5, 20)));
  EXPECT_FALSE(DateInRange(start, end, At(2010, 5, 22)));
  EXPECT_TRUE(DateInRange(At(2010, 5, 20), At(2010, 6, 1), At(2010, 5, 31)));

  DateTimeValue invalid;
  ASSERT_TRUE(ParseDateFolder(u"2010-05", &invalid));
  EXPECT_FALSE(DateInRange(At(100, 1, 1), At(9999, 12, 31), invalid));
  // An invalid start reads as a key above every real day.
  EXPECT_FALSE(DateInRange(At(2010, 13, 1), At(9999, 12, 31), At(2010, 5, 21)));
}

TEST(TimeInRangeTest, BothEndsAreInclusive) {
  const DateTimeValue start = At(2010, 5, 21, 0, 0, 0);
  const DateTimeValue end = At(2010, 5, 21, 23, 59, 59);
  EXPECT_TRUE(TimeInRange(start, end, At(2010, 5, 21, 8, 0, 0)));
  EXPECT_TRUE(TimeInRange(start, end, start));
  EXPECT_TRUE(TimeInRange(start, end, end));
  EXPECT_FALSE(TimeInRange(start, end, At(2010, 5, 22, 0, 0, 0)));
  EXPECT_FALSE(TimeInRange(start, end, At(2010, 5, 20, 23, 59, 59)));
  EXPECT_FALSE(TimeInRange(start, end, At(2010, 5, 21, 24, 0, 0)));
  EXPECT_FALSE(TimeInRange(start, end, DateTimeValue()));
}

TEST(ParseChannelTest, ReadsTheFieldBetweenTheTwoUnderscoresAfterTheLastBracket) {
  int channel = -1;
  ASSERT_TRUE(ParseChannel(u"Cam(192.168.1.168_80)_3_0931.h264", &channel));
  EXPECT_EQ(channel, 3);
  ASSERT_TRUE(ParseChannel(u"Cam(192.168.1.168_80)_03_0931.h264", &channel));
  EXPECT_EQ(channel, 3);
  ASSERT_TRUE(ParseChannel(u"Cam(192.168.1.168_80)_ab_0931.h264", &channel));
  EXPECT_EQ(channel, 0);
  ASSERT_TRUE(ParseChannel(u"Cam(1.2.3.4_80)x__tail.h264", &channel));
  EXPECT_EQ(channel, 0);
  // The last ")" counts; underscores before it do not.
  ASSERT_TRUE(ParseChannel(u"A(x)_9_(1.2.3.4_5)_12_z.h264", &channel));
  EXPECT_EQ(channel, 12);

  channel = 77;
  EXPECT_FALSE(ParseChannel(u"Cam_3_0931.h264", &channel));
  EXPECT_FALSE(ParseChannel(u"Cam(1.2.3.4_80)_3.h264", &channel));
  EXPECT_FALSE(ParseChannel(u"Cam(1.2.3.4_80).h264", &channel));
  EXPECT_FALSE(ParseChannel(u"_3_(1.2.3.4)", &channel));
  EXPECT_EQ(channel, 77);
}

TEST(MatchDeviceAddressTest, ComparesTheAddressExactly) {
  const QString name = QStringLiteral("Cam(192.168.1.168_80)_3_0931.h264");
  EXPECT_TRUE(MatchDeviceAddress(name, u"192.168.1.168"));
  EXPECT_FALSE(MatchDeviceAddress(name, u"192.168.1.16"));
  EXPECT_FALSE(MatchDeviceAddress(name, u"192.168.1.1688"));
  EXPECT_FALSE(MatchDeviceAddress(u"Cam_192.168.1.168_80_3.h264", u"192.168.1.168"));
  EXPECT_TRUE(MatchDeviceAddress(u"x(CamA_1)_1_.h264", u"CamA"));
  EXPECT_FALSE(MatchDeviceAddress(u"x(cama_1)_1_.h264", u"CamA"));
  // An "_" right after the third character ends the address there.
  EXPECT_TRUE(MatchDeviceAddress(u"x(Cam_A_1)_1_.h264", u"Cam"));
  // The search for "_" starts four characters after "(": a shorter address takes more text.
  EXPECT_TRUE(MatchDeviceAddress(u"(ab_cd_x", u"ab_cd"));
  EXPECT_FALSE(MatchDeviceAddress(u"(ab_cd_x", u"ab"));
  // That position must lie inside the name, and an "_" must follow.
  EXPECT_FALSE(MatchDeviceAddress(u"abc(xyz", u"xyz"));
  EXPECT_FALSE(MatchDeviceAddress(u"abc(", u""));
  EXPECT_FALSE(MatchDeviceAddress(u"abc(1.2.3.4", u"1.2.3.4"));
  // The last "(" counts.
  EXPECT_TRUE(MatchDeviceAddress(u"(9.9.9.9_1)(1.2.3.4_5)_1_.h264", u"1.2.3.4"));
}

TEST(AddressTextTest, FormatsAndParsesTopByteFirst) {
  EXPECT_EQ(FormatDeviceAddress(0xC0A801A8u), QStringLiteral("192.168.1.168"));
  EXPECT_EQ(FormatDeviceAddress(0), QStringLiteral("0.0.0.0"));
  EXPECT_EQ(FormatDeviceAddress(0xFFFFFFFFu), QStringLiteral("255.255.255.255"));
  EXPECT_EQ(ParseIpAddressText(u"192.168.1.168"), 0xC0A801A8u);
  EXPECT_EQ(ParseIpAddressText(u""), 0u);
  EXPECT_EQ(ParseIpAddressText(u"   "), 0u);
  EXPECT_EQ(ParseIpAddressText(u"10..1.2"), 0x0A000102u);
  EXPECT_EQ(ParseIpAddressText(u"1.2"), 0x01020000u);
  EXPECT_EQ(ParseIpAddressText(u"300.1.1.999"), 0xFF0101FFu);
  EXPECT_EQ(FormatDeviceAddress(ParseIpAddressText(u"10.0.0.7")), QStringLiteral("10.0.0.7"));
}

}  // namespace
}  // namespace kvreplay
