#include "parsedate/date_convert.h"

#include "parsedate/date_state.h"

// Instants travel as 64-bit seconds and meet the C library as time_t; a
// narrower time_t would cut them.
static_assert(sizeof(time_t) >= sizeof(int64_t));

namespace {

constexpr int32_t DaysNormal[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int32_t DaysLeap[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int32_t LeapYears[17] = {1972, 1976, 1980, 1984, 1988, 1992, 1996, 2000, 2004,
                                   2008, 2012, 2016, 2020, 2024, 2028, 2032, 2036};

constexpr int32_t kFirstYear = 1970;
constexpr int32_t kLastYear = 2038;
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kDaylightShift = 3600;

bool IsLeapYear(int32_t year) {
  for (int32_t leap : LeapYears) {
    if (leap == year) return true;
  }
  return false;
}

int32_t LeapYearsBefore(int32_t year) {
  int32_t n = 0;
  for (int32_t leap : LeapYears) {
    if (leap < year) n++;
  }
  return n;
}

// Two-digit years, and years of the 1900s that would lie before 1970, are
// read as the nearest year from 1970 on.
int32_t FullYear(int32_t year) {
  if (year < 100) year += 1900;
  if (year < kFirstYear) year += 100;
  return year;
}

bool DaylightSavingAt(int64_t t, bool* inForce) {
  struct tm local;
  if (!LocalBreakdown(t, &local)) return false;
  *inForce = local.tm_isdst > 0;
  return true;
}

}  // namespace

bool LocalBreakdown(int64_t t, struct tm* out) {
  time_t clock = time_t(t);
  return localtime_r(&clock, out) != nullptr;
}

int64_t ToSeconds(int32_t hour, int32_t minutes, int32_t seconds, int32_t meridian) {
  if (minutes < 0 || minutes > 59 || seconds < 0 || seconds > 61) return -1;
  if (meridian == MER_24) {
    if (hour < 0 || hour > 23) return -1;
  } else {
    if (hour < 1 || hour > 12) return -1;
    if (hour == 12) hour = 0;
    if (meridian == MER_PM) hour += 12;
  }
  return (int64_t(hour) * 60 + minutes) * 60 + seconds;
}

bool Convert(int32_t month, int32_t day, int32_t year, int32_t hour, int32_t minutes,
             int32_t seconds, int32_t meridian, int32_t dstMode, int32_t timezone,
             int64_t* result) {
  year = FullYear(year);
  if (year < kFirstYear || year > kLastYear || month < 1 || month > 12) return false;
  const int32_t* monthDays = IsLeapYear(year) ? DaysLeap : DaysNormal;
  if (day < 1 || day > monthDays[month - 1]) return false;

  int64_t days = int64_t(year - kFirstYear) * 365 + (day - 1) + LeapYearsBefore(year);
  for (int32_t m = 0; m < month - 1; m++) days += monthDays[m];

  int64_t timeOfDay = ToSeconds(hour, minutes, seconds, meridian);
  if (timeOfDay < 0) return false;
  int64_t t = days * kSecondsPerDay + int64_t(timezone) * 60 + timeOfDay;

  bool daylight = dstMode == DST_ON;
  if (dstMode == DST_MAYBE && !DaylightSavingAt(t, &daylight)) return false;
  if (daylight) t -= kDaylightShift;
  *result = t;
  return true;
}

bool RelativeMonth(int64_t start, int64_t months, int32_t timezone, int64_t* delta) {
  struct tm local;
  if (!LocalBreakdown(start, &local)) return false;
  int64_t n;
  if (__builtin_add_overflow(int64_t(local.tm_year + 1900) * 12 + local.tm_mon, months, &n)) {
    return false;
  }
  // The target year is a full calendar year: it must not go through the
  // two-digit-year rules of Convert, which would turn year 26 into 2026.
  if (n < int64_t(kFirstYear) * 12 || n > int64_t(kLastYear) * 12 + 11) return false;
  int64_t target;
  if (!Convert(int32_t(n % 12 + 1), local.tm_mday, int32_t(n / 12), local.tm_hour,
               local.tm_min, local.tm_sec, MER_24, DST_MAYBE, timezone, &target)) {
    return false;
  }
  return DSTcorrect(start, target, delta);
}

bool DSTcorrect(int64_t start, int64_t target, int64_t* delta) {
  struct tm atStart, atTarget;
  if (!LocalBreakdown(start, &atStart) || !LocalBreakdown(target, &atTarget)) return false;
  int64_t h1 = (atStart.tm_hour + 1) % 24;
  int64_t h2 = (atTarget.tm_hour + 1) % 24;
  *delta = (target - start) + (h1 - h2) * 3600;
  return true;
}
