// Helpers of the date parser tests: an independent calendar (days from
// civil date, as proleptic Gregorian arithmetic) and a scoped local zone.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/stat.h>

#include "parsedate/parsedate.h"

// Days from 1970-01-01 to the given date of the Gregorian calendar.
inline int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

inline int64_t UtcSeconds(int y, int m, int d, int hh = 0, int mm = 0, int ss = 0) {
  return DaysFromCivil(y, m, d) * 86400 + hh * 3600 + mm * 60 + ss;
}

// Sets TZ for the life of the object (and tzset), then restores it. Zones
// other than UTC need the tzdata files; without them the C library would
// silently fall back to UTC and the tests would prove nothing.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& zone) {
    if (zone != "UTC") {
      struct stat st;
      std::string file = "/usr/share/zoneinfo/" + zone;
      EXPECT_EQ(stat(file.c_str(), &st), 0) << file << " is missing: install tzdata";
    }
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone.c_str(), 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_) setenv("TZ", old_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  bool had_ = false;
  std::string old_;
};

// A reference time at `t` with the local zone offset of that instant, as
// GetTimeInfo would give it at that moment.
inline _timenow ReferenceAt(int64_t t) {
  _timenow now{int32_t(t), 0, 0};
  EXPECT_TRUE(LocalZoneMinutesWest(t, &now.zone_minutes_west));
  return now;
}

inline int64_t Parse(const std::string& text, const _timenow& now) {
  return parsedate(text.c_str(), &now);
}
