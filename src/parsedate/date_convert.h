// Calendar arithmetic of the date parser: calendar fields to seconds since
// 1970, and the months of relative items. Years 1970 to 2038 (leap years
// 1972 to 2036, every fourth) are the supported calendar. Results are 64-bit
// so that intermediate values never overflow; the caller decides what fits.
#pragma once
#include <cstdint>
#include <ctime>

// Seconds into the day for a time of day, or -1 when it is impossible:
// minutes 0-59, seconds 0-61 (leap seconds), hours 0-23 on the 24-hour
// clock, 1-12 with a meridian (12 counts as 0; p.m. adds 12).
int64_t ToSeconds(int32_t hour, int32_t minutes, int32_t seconds, int32_t meridian);

// The instant of a calendar date and time of day in the zone `timezone`
// (minutes west of UTC). A year below 100 has 1900 added, then one below
// 1970 has 100 added (97 is 1997, 05 is 2005). With `dstMode` DST_ON, or
// DST_MAYBE and daylight saving in force locally at the instant, one hour is
// taken off. False for a year outside 1970-2038, an impossible month, day or
// time of day, or an instant the C library cannot break down.
bool Convert(int32_t month, int32_t day, int32_t year, int32_t hour, int32_t minutes,
             int32_t seconds, int32_t meridian, int32_t dstMode, int32_t timezone,
             int64_t* result);

// The seconds to add to `start` to move it by `months` calendar months,
// keeping the local day of month and hour of day. False when the target
// month lacks that day (31 January plus one month), when the target falls
// outside 1970-2038, or when a breakdown fails.
bool RelativeMonth(int64_t start, int64_t months, int32_t timezone, int64_t* delta);

// target - start, corrected by the difference in local hour of day between
// the two instants, so that a move across a change of daylight saving keeps
// the hour. False when a breakdown fails.
bool DSTcorrect(int64_t start, int64_t target, int64_t* delta);

// The local breakdown of `t`; false when the C library cannot make it.
bool LocalBreakdown(int64_t t, struct tm* out);
