// Date texts to instants. A row names a text and the instant it must give
// (-1: refused). Rows are parsed from a buffer of exactly their length
// (AddressSanitizer sees any read past it) and NUL-terminated: both agree.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "parsedate/parsedate.h"

namespace {

using namespace std::string_literals;

constexpr int64_t kHour = 3600, kDay = 86400;

// Seconds from 1970 to a Gregorian date and time: a calendar of the tests' own.
int64_t Utc(int64_t y, int64_t m, int64_t d, int64_t hh = 0, int64_t mm = 0, int64_t ss = 0) {
  y -= m <= 2;
  int64_t yoe = y % 400, doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t days = y / 400 * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
  return days * kDay + hh * kHour + mm * 60 + ss;
}

// Without tzdata the C library falls back to UTC: rows would prove nothing.
void SetZone(const char* zone) {
  struct stat st;
  EXPECT_EQ(stat(("/usr/share/zoneinfo/"s + zone).c_str(), &st), 0) << zone << ": install tzdata";
  setenv("TZ", zone, 1), tzset();
}

// A reference time with the zone offset GetTimeInfo would give at that instant.
_timenow ReferenceAt(int64_t t) {
  _timenow now{int32_t(t), 0, 0};
  EXPECT_TRUE(LocalZoneMinutesWest(t, &now.zone_minutes_west));
  return now;
}

// A "|" in a row marks the length given: the bytes after it would continue a
// number, a space, a word, a sign or a comment, and none may be read.
int64_t Parse(std::string text, const _timenow& now) {
  const size_t cut = text.find('|');
  if (cut != std::string::npos) text.erase(cut, 1);
  std::unique_ptr<char[]> exact(new char[text.size()]);
  memcpy(exact.get(), text.data(), text.size());
  int32_t bounded = parsedate(exact.get(), std::min(cut, text.size()), &now);
  EXPECT_TRUE(cut != std::string::npos || parsedate(text.c_str(), &now) == bounded) << text;
  return bounded;
}

struct Row { std::string text; int64_t expected; };
const int64_t k10 = Utc(1997, 1, 5, 10);  // 5 Jan 1997 10:00 GMT

// Texts with a zone of their own, and refused texts: the same result in
// every local zone and at every reference time.
const Row kZoned[] = {
    {"Sun, 05 Jan 1997 10:00:00 GMT", 852458400}, {"5 Jan 97 10:00 -0500", 852476400},
    {"Tue, 1 Jul 1997 12:00:00 -0400", 867772800}, {"5 Jan 1997 10:00 GMT+0100", k10 - kHour},
    {"5 Jan 1997 10:00 EST+0100", -1}, {"5 Jan 1997 10:00 +0060", -1},
    {"5 Jan 1997 10:00 +10000", -1}, {"5 Jan 1997 10:00 EST", k10 + 5 * kHour},
    {"5 Jan 1997 10:00 EDT", k10 + 4 * kHour}, {"5 Jan 1997 10:00 NZST", k10 - 12 * kHour},
    {"5 Jan 1997 10:00 mez", k10 - kHour}, {"05 Jan 1997 05:00 e.s.t.", k10},
    {"5 Jan 1997 10:00 Aloha", k10}, {"5 Jan 1997 10:00 XX", k10},  // unknown: UTC
    {"+ 5 - Jan -- 1997 10:00 - GMT", k10},  // lone signs are dropped
    {"sunday, 5 january 1997 10:00 gmt", k10}, {"SUN., 5 JAN. 1997 10:00 G.M.T.", k10},
    {"5 Jan 1997 10 a.m. Z", k10}, {"\t5\vJan\f1997\r\n10:00 GMT ", k10},
    // Comments nest and escape; a NUL or a high-bit byte ends the text.
    {"5 (one) Jan (two (three)) 1997 10:00 GMT (four)", k10},
    {"(escaped \\) and \\( parentheses) 5 Jan 1997 10:00 GMT", k10},
    {"(line\nfeed, escaped \\\r return) 5 Jan 1997 10:00 GMT", k10},
    {"5 Jan 1997 10:00 GMT\x80more", k10}, {"5 Jan 1997 10:00 GMT\0("s, k10},
    {"5 Jan 1997 (nested (unterminated)", -1}, {"5 Jan 1997 (backslash\\", -1},
    {"(a\rb) 5 Jan 1997", -1}, {"(a\0b) 5 Jan 1997"s, -1}, {"5 Jan 1997 (\\\0"s, -1},
    {"(\xc3\xa9) 5 Jan 1997", -1}, {"5 Jan 1997 (\\\xc3", -1}, {"5 Jan 1997;", -1},
    {"5 Jan 1997 10:00:05 ES|T", k10 + 5}, {"5 Jan 1997 10:00:05 EST (c|)", -1}, {"5 Jan 1997 10:00:|05", -1},
    // One date and one time; a signed number after a time or zone is its zone.
    {"Mon 5 Jan 1997", -1}, {"Monday", -1}, {"5 Sept 1997", -1}, {"Jan 5 1997", -1},
    {"5 Jan 1997 1997", -1}, {"5 Jan 1997 6 Jan 1997", -1}, {"5 Jan 1997 10:00 +1 day", -1},
    {"-3 hours 5 Jan 1997 10:00 GMT 20 mins 1 sec", k10 - 3 * kHour + 1201},
    // The calendar: 1970 to 2038, two-digit years, leap days, month lengths.
    {"5 Jan 69 10:00 GMT", -1}, {"5 Jan 70 10:00 GMT", Utc(1970, 1, 5, 10)},
    {"5 Jan 38 10:00 GMT", Utc(2038, 1, 5, 10)}, {"5 Jan 05 10:00 GMT", Utc(2005, 1, 5, 10)},
    {"5 Jan 1930 10:00 GMT", Utc(2030, 1, 5, 10)}, {"5 Jan 100 10:00 GMT", -1},
    {"5 Jan 2039 10:00 GMT", -1}, {"-1 year 5 Jan 2039 10:00 GMT", -1},
    {"1 Jan 1970 00:00:00 GMT", 0}, {"1 Jan 1970 00:00:00 +0100", -1},
    {"-1 second 1 Jan 1970 00:00:00 GMT", 0},  // -1 is the failure value
    {"19 Jan 2038 03:14:07 GMT", INT32_MAX}, {"19 Jan 2038 03:14:08 GMT", -1},
    {"0 Jan 1997 10:00 GMT", -1}, {"13/01/97 10:00 GMT", -1},
    {"29 Feb 1996 10:00 GMT", Utc(1996, 2, 29, 10)}, {"30 Feb 1996 10:00 GMT", -1},
    {"28 Feb 1997 10:00 GMT", Utc(1997, 2, 28, 10)}, {"29 Feb 1997 10:00 GMT", -1},
    {"30 Apr 1997 10:00 GMT", Utc(1997, 4, 30, 10)}, {"31 Apr 1997 10:00 GMT", -1},
    {"31 Dec 1997 23:59:59 -0100", Utc(1998, 1, 1, 0, 59, 59)}, {"32 Dec 1997 10:00 GMT", -1},
    // The clock: 0-23, or 1-12 with a meridian; seconds up to 61; words keep
    // 19 characters, the rest is dropped, not read again.
    {"5 Jan 1997 12:30 am GMT", k10 - 34200}, {"5 Jan 1997 12:30 pm GMT", k10 + 9000},
    {"5 Jan 1997 11 pm GMT", k10 + 13 * kHour}, {"5 Jan 1997 1:05:09 P.M. GMT", k10 + 11109},
    {"5 Jan 1997 0:30 am GMT", -1}, {"5 Jan 1997 13:00 pm GMT", -1}, {"5 Jan 1997 24:00", -1},
    {"5 Jan 1997 10:60", -1}, {"5 Jan 1997 23:59:61 GMT", k10 + 14 * kHour + 1},
    {"5 Jan 1997 23:59:62", -1}, {"5 Jan 1997 12:30 a.................m GMT", k10 - 34200},
    {"5 Jan 1997 12:30 a..................mmmm", k10 + 9000},
    // Relative items: months keep the day of month; sums stay in range.
    {"+1 month 5 Jan 1997 10:00 GMT", Utc(1997, 2, 5, 10)},
    {"1 Feb 1970 -1 month 10:00 GMT", Utc(1970, 1, 1, 10)},
    {"5 Jan 1997 10:00 GMT 13 months", Utc(1998, 2, 5, 10)},
    {"31 Jan 1997 +1 month 10:00 GMT", -1}, {"1 Jan 2038 +1 year", -1},
    {"1 Jan 1980 -70 years 10:00 GMT", -1},  // 1910, not taken for a two-digit 2010
    {"-2147483647 seconds 19 Jan 2038 03:14:07 GMT", 0},
    {"-2147483648 seconds 19 Jan 2038 03:14:07 GMT", -1},  // beyond 32 bits
    {"-2147483647 seconds -1 second 1 Jan 1970 00:00:00 GMT", INT32_MIN},
};

TEST(Parsedate, RowsInEveryZoneAndSeason) {
  struct Zone { const char* name; int winterWest, summerWest; };  // hours west of UTC
  for (const Zone& z : {Zone{"UTC", 0, 0}, Zone{"America/New_York", 5, 4}}) {
    SetZone(z.name);
    for (int refMonth : {1, 7}) {
      const int64_t ref = Utc(2026, refMonth, 15, 15);
      const _timenow now = ReferenceAt(ref);
      auto local = [&](int y, int m, int d, int hh = 0) {  // away from changes of daylight saving
        return Utc(y, m, d, hh) + kHour * (m >= 4 && m <= 10 ? z.summerWest : z.winterWest);
      };
      const int64_t refDay = local(2026, refMonth, 15);  // the reference's local midnight
      std::vector<Row> rows(std::begin(kZoned), std::end(kZoned));
      rows.insert(rows.end(), {
          {"5 JAN 1997", local(1997, 1, 5)}, {"Jan 5, 1997", local(1997, 1, 5)},
          {"1997/07/05", local(1997, 7, 5)}, {"07/05/97", local(1997, 7, 5)},
          {"5 Jul 1997 10:00", local(1997, 7, 5, 10)}, {"7/5", local(2026, 7, 5)},
          {"Jan 5", local(2026, 1, 5)}, {"1030", refDay + 10 * kHour + 1800},
          {"12:30 am", refDay + 1800}, {"", refDay}, {" (only a comment) ", refDay},
          {"0 seconds", ref}, {"-2 weeks +1 day +3 hours 2 mins -1 sec", ref - 13 * kDay + 10919},
          {"5 Jan 1997 10:00:0|5 EST", local(1997, 1, 5, 10)}, {"5 Jan 1997 10:00:05| EST", local(1997, 1, 5, 10) + 5},
          {"5 Jan 1997 10:00:05 -|0500", local(1997, 1, 5, 10) + 5},
          // Months move the local date and keep the local hour, across
          // changes of daylight saving too; year 26 is not 2026.
          {"+1 month", Utc(2026, refMonth + 1, 15, 15)}, {"-57 years", -1}, {"-2000 years", -1},
          {"-56 years", Utc(1970, refMonth, 15, 15)},
          {"1 Mar 2026 +1 month 12:00", local(2026, 4, 1, 12)},
          {"1 Oct 2026 +2 months 12:00", local(2026, 12, 1, 12)}});
      for (const Row& r : rows) EXPECT_EQ(Parse(r.text, now), r.expected) << r.text << " " << ref;
    }
  }
  std::string huge;  // a 64-bit sum of seconds would overflow
  for (int i = 0; i < 10000; i++) huge += "2147483647 weeks ";
  EXPECT_EQ(Parse(huge, ReferenceAt(k10)), -1);
}

// Without a reference the clock and the cached zone are used; each parse
// keeps its state on its own stack, so two threads at once get what one gets.
TEST(TimeInfo, CurrentTimeFromTwoThreads) {
  SetZone("UTC");
  std::atomic<int> wrong{0};
  auto parse = [&] {
    for (int n = 0; n < 5000; n++) {
      _timenow now{-1, -1, -1};
      int64_t today = parsedate("", nullptr);
      wrong += GetTimeInfo(&now) != 0 || now.microseconds != 0 || now.zone_minutes_west != 0 ||
               today % kDay != 0 || now.seconds - today >= kDay || now.seconds < today ||
               parsedate("5 Jan 1997 10:00 GMT", nullptr) != k10;
    }
  };
  std::thread other(parse);
  parse();
  other.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
