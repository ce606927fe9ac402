// The current time and the local zone offset, as the date parser takes its
// reference point. The offset is UTC minus local time in minutes (positive
// west of Greenwich) and includes daylight saving as in force when it was
// last computed; GetTimeInfo recomputes it at most once an hour.
#pragma once
#include <cstdint>

// A reference time for parsedate.
struct _timenow {
  int32_t seconds;            // since 1970-01-01 00:00:00 UTC
  int32_t microseconds;       // always 0
  int32_t zone_minutes_west;  // UTC minus local time, in minutes
};

// Fills `now` with the current time and the cached local zone offset.
// Returns 0, or -1 when the C library cannot break the time down. Safe to
// call from several threads at once.
int GetTimeInfo(_timenow* now);

// The local zone offset at instant `t` (seconds since 1970), derived from
// the local and UTC breakdowns of `t` the way GetTimeInfo caches it: minutes
// west of UTC, daylight saving included. False when either breakdown fails.
bool LocalZoneMinutesWest(int64_t t, int32_t* minutesWest);
