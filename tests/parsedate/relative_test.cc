// Relative items: seconds add up, months move the local calendar date and
// keep the local hour of day, across changes of daylight saving too.
#include <gtest/gtest.h>

#include <string>

#include "date_test_util.h"

namespace {

struct Zone {
  const char* name;
  int winterHoursWest, summerHoursWest;
};
const Zone kZones[] = {{"UTC", 0, 0}, {"America/New_York", 5, 4}};

TEST(ParsedateRelative, MonthsMoveTheLocalDate) {
  for (const Zone& zone : kZones) {
    ScopedTimeZone tz(zone.name);
    SCOPED_TRACE(zone.name);
    const int64_t winter = zone.winterHoursWest * 3600, summer = zone.summerHoursWest * 3600;
    const int64_t feb15 = UtcSeconds(2026, 2, 15, 15);
    const int localHour = 15 - zone.winterHoursWest;
    _timenow now = ReferenceAt(feb15);

    EXPECT_EQ(Parse("+1 month 5 Jan 1997 10:00 GMT", now), UtcSeconds(1997, 2, 5, 10));
    EXPECT_EQ(Parse("5 Jan 1997 -1 year 10:00 GMT", now), UtcSeconds(1996, 1, 5, 10));
    EXPECT_EQ(Parse("5 Jan 1997 10:00 GMT 13 months", now), UtcSeconds(1998, 2, 5, 10));
    EXPECT_EQ(Parse("5 Jan 1997 10:00 GMT 1 year -12 months", now), UtcSeconds(1997, 1, 5, 10));
    EXPECT_EQ(Parse("1 Jan 2038 -1 year 10:00 GMT", now), UtcSeconds(2037, 1, 1, 10));

    // Into and out of daylight saving the local hour stays.
    EXPECT_EQ(Parse("1 Mar 2026 +1 month 12:00", now), UtcSeconds(2026, 4, 1, 12) + summer);
    EXPECT_EQ(Parse("1 Oct 2026 +2 months 12:00", now), UtcSeconds(2026, 12, 1, 12) + winter);
    EXPECT_EQ(Parse("+1 month", now), UtcSeconds(2026, 3, 15, localHour) + summer);
    EXPECT_EQ(Parse("-56 years", now), UtcSeconds(1970, 2, 15, localHour) + winter);

    // No such day in the target month, or a target outside 1970-2038.
    EXPECT_EQ(Parse("31 Jan 1997 +1 month 10:00 GMT", now), -1);
    EXPECT_EQ(Parse("29 Feb 1996 +1 year 10:00 GMT", now), -1);
    EXPECT_EQ(Parse("-57 years", now), -1);
    EXPECT_EQ(Parse("-2000 years", now), -1);  // year 26 is not 2026
    EXPECT_EQ(Parse("-1956 years", now), -1);  // nor year 70 1970
    EXPECT_EQ(Parse("1 Jan 2038 +1 year", now), -1);
    EXPECT_EQ(Parse("2147483647 years 2147483647 years", now), -1);
  }
}

TEST(ParsedateRelative, SecondsAddUpWithoutOverflow) {
  ScopedTimeZone tz("UTC");
  _timenow now = ReferenceAt(UtcSeconds(2026, 2, 15, 15));
  EXPECT_EQ(Parse("+1 day -1 day +3 hours 2 mins -1 sec", now), now.seconds + 3 * 3600 + 119);
  EXPECT_EQ(Parse("-1 second 1 Jan 1970 00:00:00 GMT", now), 0);  // -1 gives way to 0
  EXPECT_EQ(Parse("-2 seconds 1 Jan 1970 00:00:00 GMT", now), -2);
  EXPECT_EQ(Parse("-2147483647 seconds", now), now.seconds - 2147483647);  // before 1970
  EXPECT_EQ(Parse("-2147483647 seconds -2147483647 seconds", now), -1);  // below 32 bits
  std::string many;
  for (int i = 0; i < 20; i++) many += "2147483647 weeks ";
  EXPECT_EQ(Parse(many, now), -1);
  for (int i = 0; i < 40; i++) many += "-2147483647 weeks ";
  EXPECT_EQ(Parse(many, now), -1);
  std::string huge;
  for (int i = 0; i < 10000; i++) huge += "2147483647 weeks ";
  EXPECT_EQ(Parse(huge, now), -1);  // the 64-bit sum would overflow
}

}  // namespace
