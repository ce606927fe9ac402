// Every date of the RFC 5322 form "Day, DD Mon YYYY HH:MM:SS +ZZZZ" from
// 1970 to 2037, and the obsolete zone names, must name the same instant as
// plain civil-date arithmetic. The local zone has daylight saving, which
// must not leak into texts that carry their own zone.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "date_test_util.h"

namespace {

const char* const kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct NamedZone {
  const char* name;
  int minutesEast;
};
const NamedZone kObsoleteZones[] = {
    {"GMT", 0},        {"UT", 0},         {"Z", 0},          {"EST", -5 * 60}, {"EDT", -4 * 60},
    {"CST", -6 * 60},  {"CDT", -5 * 60},  {"MST", -7 * 60},  {"MDT", -6 * 60}, {"PST", -8 * 60},
    {"PDT", -7 * 60},
};

// Offsets east of UTC in minutes, both signs, whole and part hours.
const int kNumericZones[] = {0, 60, -300, 330, -570, 840, -720, 45, -1, 1439, -1439, 545};

int DaysIn(int y, int m) {
  return int(DaysFromCivil(m == 12 ? y + 1 : y, m == 12 ? 1 : m + 1, 1) - DaysFromCivil(y, m, 1));
}

// What the parser must return for a local time of day at a zone east of UTC:
// the instant, or -1 outside 1970 to 2038-01-19 03:14:07 UTC.
int64_t Expected(int y, int m, int d, int hh, int mm, int ss, int minutesEast) {
  int64_t t = UtcSeconds(y, m, d, hh, mm, ss) - int64_t(minutesEast) * 60;
  if (t < 0 || t > INT32_MAX) return -1;
  return t;
}

std::string NumericZone(int minutesEast) {
  char buf[16];
  int a = minutesEast < 0 ? -minutesEast : minutesEast;
  snprintf(buf, sizeof buf, "%c%02d%02d", minutesEast < 0 ? '-' : '+', a / 60, a % 60);
  return buf;
}

TEST(Rfc5322Dates, EveryMonthFrom1970To2037) {
  ScopedTimeZone tz("America/New_York");
  _timenow now = ReferenceAt(UtcSeconds(2026, 7, 15, 15));
  int checked = 0, refused = 0;
  for (int y = 1970; y <= 2037; y++) {
    for (int m = 1; m <= 12; m++) {
      for (int d : {1, 2, 15, 28, DaysIn(y, m)}) {
        int hh = (y * 7 + m * 3 + d) % 24, mm = (y + m * 11 + d) % 60, ss = (y * 13 + d) % 60;
        if (d == 1 && m == 1) hh = mm = ss = 0;  // the turn of each year
        const char* day = kDayNames[(DaysFromCivil(y, m, d) + 4) % 7];
        char prefix[64];
        snprintf(prefix, sizeof prefix, "%s, %02d %s %d %02d:%02d:%02d ", day, d,
                 kMonthNames[m - 1], y, hh, mm, ss);
        int zoneIndex = (y + m + d) % std::size(kNumericZones);
        for (int zone : {kNumericZones[zoneIndex], -kNumericZones[zoneIndex]}) {
          std::string text = prefix + NumericZone(zone);
          int64_t expected = Expected(y, m, d, hh, mm, ss, zone);
          ASSERT_EQ(Parse(text, now), expected) << text;
          checked++;
          refused += expected == -1;
        }
        const NamedZone& named = kObsoleteZones[(y * 12 + m + d) % std::size(kObsoleteZones)];
        std::string text = std::string(prefix) + named.name;
        ASSERT_EQ(Parse(text, now), Expected(y, m, d, hh, mm, ss, named.minutesEast)) << text;

        // The obsolete two-digit year, and a one-digit day without leading zero.
        char shortForm[64];
        snprintf(shortForm, sizeof shortForm, "%s, %d %s %02d %02d:%02d:%02d +0000", day, d,
                 kMonthNames[m - 1], y % 100, hh, mm, ss);
        ASSERT_EQ(Parse(shortForm, now), Expected(y, m, d, hh, mm, ss, 0)) << shortForm;
        checked += 2;
      }
    }
  }
  // The sweep reaches the lower edge: east zones on 1 January 1970.
  EXPECT_GT(refused, 0);
  EXPECT_GT(checked, 10000);
}

}  // namespace
