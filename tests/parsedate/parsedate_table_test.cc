// The documented results of the date parser, row by row. Texts with a zone
// name an instant whatever the local zone and reference time, so they are
// checked under UTC and under a zone with daylight saving, with a winter and
// a summer reference; texts without a zone are checked against local time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "date_test_util.h"

namespace {

struct Row {
  std::string text;
  int64_t expected;
};

// Winter and summer references: 2026-01-15 and 2026-07-15, 15:00 UTC.
const int64_t kWinter = UtcSeconds(2026, 1, 15, 15);
const int64_t kSummer = UtcSeconds(2026, 7, 15, 15);

struct Zone {
  const char* name;
  int winterHoursWest, summerHoursWest;
};
const Zone kZones[] = {{"UTC", 0, 0}, {"America/New_York", 5, 4}};

void ExpectRows(const std::vector<Row>& rows) {
  for (const Zone& zone : kZones) {
    ScopedTimeZone tz(zone.name);
    for (int64_t ref : {kWinter, kSummer}) {
      _timenow now = ReferenceAt(ref);
      for (const Row& row : rows) {
        EXPECT_EQ(Parse(row.text, now), row.expected)
            << "\"" << row.text << "\" in " << zone.name << " at " << ref;
      }
    }
  }
}

const int64_t k10Gmt = UtcSeconds(1997, 1, 5, 10);  // 5 Jan 1997 10:00 GMT

TEST(ParsedateTable, HeaderDatesWithZones) {
  ExpectRows({
      {"Sun, 05 Jan 1997 10:00:00 GMT", 852458400},
      {"5 Jan 97 10:00 -0500", 852476400},
      {"Tue, 1 Jul 1997 12:00:00 -0400", 867772800},
      {"5 Jan 1997 10:00 GMT+0100", 852454800},
      {"5 Jan 1997 10:00 UT-0100", k10Gmt + 3600},
      {"5 Jan 1997 10:00 EST+0100", -1},
      {"5 Jan 1997 10:00 EST", k10Gmt + 5 * 3600},
      {"5 Jan 1997 10:00 EDT", k10Gmt + 4 * 3600},
      {"5 Jan 1997 10:00 CEST", k10Gmt - 2 * 3600},
      {"5 Jan 1997 10:00 BST", k10Gmt - 3600},
      {"5 Jan 1997 10:00 NZST", k10Gmt - 12 * 3600},
      {"5 Jan 1997 10:00 cast", k10Gmt - 570 * 60},
      {"5 Jan 1997 10:00 GMT", k10Gmt},
      {"5 Jan 1997 10:00 XYZ", k10Gmt},
      {"5 Jan 1997 10:00 - GMT", k10Gmt},
      {"5 Jan 1997 10:00 -0530", k10Gmt + 330 * 60},
      {"5 Jan 1997 10:00 +0060", -1},
      {"5 Jan 1997 10:00 +10000", -1},
      {"5 Jan 1997 10:00 GMT+0060", -1},
      {"5 Jan 1997 10:00:30 +1400", k10Gmt + 30 - 14 * 3600},
      {"5 Jan 1997 10:00:30 -1200", k10Gmt + 30 + 12 * 3600},
      {"5 Jan 1997 10:00:30 -12:00", -1},
      {"-1 second 1 Jan 1970 00:00:00 GMT", 0},
      {"1 Jan 1970 00:00:00 GMT", 0},
      {"1 Jan 1970 00:00:00 +0100", -1},  // before 1970
  });
}

TEST(ParsedateTable, CommentsSignsAndTheEndOfInput) {
  ExpectRows({
      {"5 Jan 1997 10:00 GMT\x80more text", k10Gmt},
      {"5 Jan 1997 10:00 GMT\xc3\xa9 (unterminated", k10Gmt},
      {std::string("5 Jan 1997 10:00 GMT\0(", 22), k10Gmt},
      {"(a comment (nested)) 5 Jan 1997 10:00 GMT", k10Gmt},
      {"5 (one) Jan (two (three)) 1997 10:00 GMT (four)", k10Gmt},
      {"(escaped \\) and \\( parentheses) 5 Jan 1997 10:00 GMT", k10Gmt},
      {"(line\nfeed and escaped \\\r return) 5 Jan 1997 10:00 GMT", k10Gmt},
      {"5 Jan 1997 10:00 GMT (unterminated", -1},
      {"5 Jan 1997 10:00 GMT (nested (unterminated)", -1},
      {"(carriage\rreturn) 5 Jan 1997 10:00 GMT", -1},
      {std::string("(a\0b) 5 Jan 1997 10:00 GMT", 26), -1},
      {std::string("(a\\\0b) 5 Jan 1997 10:00 GMT", 27), -1},
      {"(high \xc3\xa9 bit) 5 Jan 1997 10:00 GMT", -1},
      {"(escaped \\\xc3 high bit) 5 Jan 1997 10:00 GMT", -1},
      {"5 Jan 1997 10:00 GMT (ends in a backslash\\", -1},
      {"+ 5 - Jan -- 1997 10:00 ++GMT", k10Gmt},
      {"5 Jan 1997 10:00 GMT;", -1},
      {"\t5\vJan\f1997\r\n10:00 GMT ", k10Gmt},
  });
}

TEST(ParsedateTable, GrammarReadings) {
  ExpectRows({
      {"Mon 5 Jan 1997", -1},  // a day name needs its comma
      {"Monday", -1},
      {"5 Sept 1997", -1},  // Sept is not a month name
      {"Jan 5 1997", -1},   // 1997 reads as the time 19:97
      {"5 Jan 1997 1997", -1},
      {"Jan 5 1997 10:00 GMT", -1},  // and then there are two times
      {"5 Jan 1997 10:00 GMT 11:00", -1},
      {"5 Jan 1997 6 Jan 1997 10:00 GMT", -1},
      {"5 Jan 1997 10:00 +1 day", -1},  // the signed number is the time's zone
      {"5 Jan 1997 +1 day 10:00 GMT", k10Gmt + 86400},
      {"2 weeks 5 Jan 1997 10:00 GMT", k10Gmt + 14 * 86400},
      {"-3 hours 5 Jan 1997 10:00 GMT 20 mins 1 sec", k10Gmt - 3 * 3600 + 1201},
      {"+1 day 5 Jan 1997 -1 day 10:00 GMT", k10Gmt},
      {"5 Jan 1997 10:00 GMT -3 hours", -1},  // the zone word takes the signed number
      {"Sun, 05 Jan 1997 10 GMT", k10Gmt},  // a lone number below 100 is the hour
      {"Sun, 05 Jan 1997 1030 GMT", k10Gmt + 1800},
      {"5 Jan 1997 10:00 GMT 5", -1},
  });
}

TEST(ParsedateTable, CalendarAndClockLimits) {
  ExpectRows({
      {"5 Jan 69 10:00 GMT", -1},  // 2069
      {"5 Jan 70 10:00 GMT", UtcSeconds(1970, 1, 5, 10)},
      {"5 Jan 38 10:00 GMT", UtcSeconds(2038, 1, 5, 10)},
      {"5 Jan 05 10:00 GMT", UtcSeconds(2005, 1, 5, 10)},
      {"5 Jan 1930 10:00 GMT", UtcSeconds(2030, 1, 5, 10)},
      {"5 Jan 1969 10:00 GMT", -1},
      {"5 Jan 2039 10:00 GMT", -1},
      {"19 Jan 2038 03:14:07 GMT", 2147483647},
      {"19 Jan 2038 03:14:08 GMT", -1},  // beyond signed 32 bits
      {"29 Feb 1996 10:00 GMT", UtcSeconds(1996, 2, 29, 10)},
      {"29 Feb 2000 10:00 GMT", UtcSeconds(2000, 2, 29, 10)},
      {"29 Feb 1997 10:00 GMT", -1},
      {"31 Dec 2036 10:00 GMT", UtcSeconds(2036, 12, 31, 10)},
      {"31 Apr 1997 10:00 GMT", -1},
      {"0 Jan 1997 10:00 GMT", -1},
      {"13/01/97 10:00 GMT", -1},
      {"5 Jan 1997 12:30 am GMT", UtcSeconds(1997, 1, 5, 0, 30)},
      {"5 Jan 1997 12:30 pm GMT", UtcSeconds(1997, 1, 5, 12, 30)},
      {"5 Jan 1997 12:30 a.m. GMT", UtcSeconds(1997, 1, 5, 0, 30)},
      {"5 Jan 1997 1:05:09 P.M. GMT", UtcSeconds(1997, 1, 5, 13, 5, 9)},
      {"5 Jan 1997 11 pm GMT", UtcSeconds(1997, 1, 5, 23)},
      {"5 Jan 1997 0:30 am GMT", -1},
      {"5 Jan 1997 13:00 pm GMT", -1},
      {"5 Jan 1997 24:00 GMT", -1},
      {"5 Jan 1997 10:60 GMT", -1},
      {"5 Jan 1997 23:59:60 GMT", UtcSeconds(1997, 1, 5, 23, 59, 60)},
      {"5 Jan 1997 23:59:61 GMT", UtcSeconds(1997, 1, 5, 23, 59, 61)},
      {"5 Jan 1997 23:59:62 GMT", -1},
      {"5 Jan 1997 10:00 GMT 2147483647 seconds", -1},
      {"5 Jan 1997 10:00 GMT 2147483648 seconds", -1},
      {"5 Jan 1997 10:00 GMT 99999999999999999999999 seconds", -1},
      {"5 Jan 1997 99999999999:00 GMT", -1},
  });
}

// Rows read in local time: a zone with daylight saving, a winter and a
// summer reference.
TEST(ParsedateTable, LocalTimeRows) {
  for (const Zone& zone : kZones) {
    ScopedTimeZone tz(zone.name);
    const int64_t winter = zone.winterHoursWest * 3600, summer = zone.summerHoursWest * 3600;
    const int64_t jan5 = UtcSeconds(1997, 1, 5) + winter;  // local midnights
    const int64_t jul5 = UtcSeconds(1997, 7, 5) + summer;
    for (int64_t ref : {kWinter, kSummer}) {
      SCOPED_TRACE(std::string(zone.name) + " at " + std::to_string(ref));
      _timenow now = ReferenceAt(ref);
      int64_t offset = ref == kWinter ? winter : summer;
      int64_t refMidnight = ref - 15 * 3600 + offset;  // 15:00 UTC is the same local day

      EXPECT_EQ(Parse("5 Jan 1997", now), jan5);
      EXPECT_EQ(Parse("5 JAN 1997", now), jan5);
      EXPECT_EQ(Parse("5 jan 1997", now), jan5);
      EXPECT_EQ(Parse("Jan 5, 1997", now), jan5);
      EXPECT_EQ(Parse("Sunday, 5 January 1997", now), jan5);
      EXPECT_EQ(Parse("1997/07/05", now), jul5);
      EXPECT_EQ(Parse("07/05/97", now), jul5);
      EXPECT_EQ(Parse("7/5", now), UtcSeconds(2026, 7, 5) + summer);
      EXPECT_EQ(Parse("Jan 5", now), UtcSeconds(2026, 1, 5) + winter);
      EXPECT_EQ(Parse("29 Feb 1996", now), UtcSeconds(1996, 2, 29) + winter);
      EXPECT_EQ(Parse("29 Feb 1997", now), -1);
      EXPECT_EQ(Parse("5 Jan 69", now), -1);
      EXPECT_EQ(Parse("1 Jan 70", now), UtcSeconds(1970, 1, 1) + winter);
      EXPECT_EQ(Parse("5 Jan 1997 10:00", now), jan5 + 10 * 3600);
      EXPECT_EQ(Parse("5 Jul 1997 10:00", now), jul5 + 10 * 3600);

      // Times alone fall on the reference day.
      EXPECT_EQ(Parse("1030", now), refMidnight + 10 * 3600 + 1800);
      EXPECT_EQ(Parse("12:30 am", now), refMidnight + 1800);
      EXPECT_EQ(Parse("12:30 pm", now), refMidnight + 12 * 3600 + 1800);
      EXPECT_EQ(Parse("0:30 am", now), -1);
      EXPECT_EQ(Parse("13:00 pm", now), -1);

      EXPECT_EQ(Parse("", now), refMidnight);
      EXPECT_EQ(Parse(" (only a comment) ", now), refMidnight);
      EXPECT_EQ(Parse("+1 day", now), ref + 86400);
      EXPECT_EQ(Parse("-1 week", now), ref - 7 * 86400);
      EXPECT_EQ(Parse("0 seconds", now), ref);
    }
  }
}

TEST(ParsedateTable, EqualSpellings) {
  ScopedTimeZone tz("UTC");
  _timenow now = ReferenceAt(kWinter);
  const std::vector<std::string> spellings = {
      "Sun, 05 Jan 1997 10:00:00 GMT", "sunday, 5 january 1997 10:00 gmt",
      "SUN., 5 JAN. 1997 10:00 G.M.T.", "Sun.,5 Jan.97 10:00:00 UTC",
      "5 Jan 1997 10 a.m. Z",          "Jan 5, 1997 10:00:00 am UT",
      "1997/1/5 10:00 +0000",          "1/5/97 1000 -0000",
      "05 Jan 1997 05:00 e.s.t.",      "(x) 5 Jan 1997 11:00 CET",
  };
  for (const std::string& text : spellings) EXPECT_EQ(Parse(text, now), k10Gmt) << text;
  EXPECT_EQ(Parse("5 June 1997 10:00 GMT", now), Parse("5 jun 1997 10:00 GMT", now));
  EXPECT_EQ(Parse("5 Juni 1997 10:00 GMT", now), -1);  // not a month: a second time
}

// A word keeps 19 characters: "a" and 17 dots and "m" is the meridian a.m.,
// one dot more cuts the "m" off and leaves an unknown word (a zone at UTC),
// and whatever follows the 19th character is dropped, not scanned again.
TEST(ParsedateTable, WordsKeepNineteenCharacters) {
  ScopedTimeZone tz("UTC");
  _timenow now = ReferenceAt(kWinter);
  std::string dots17(17, '.');
  EXPECT_EQ(Parse("5 Jan 1997 12:30 a" + dots17 + "m", now), UtcSeconds(1997, 1, 5, 0, 30));
  EXPECT_EQ(Parse("5 Jan 1997 12:30 a." + dots17 + "m", now), UtcSeconds(1997, 1, 5, 12, 30));
  EXPECT_EQ(Parse("5 Jan 1997 12:30 a." + dots17 + "mmmmmmm", now),
            UtcSeconds(1997, 1, 5, 12, 30));
  EXPECT_EQ(Parse("5 Jan 1997 12:30 a." + dots17 + "m EST", now), -1);  // two zones
}

}  // namespace
