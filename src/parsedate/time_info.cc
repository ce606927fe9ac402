#include "parsedate/time_info.h"

#include <atomic>
#include <ctime>

namespace {

// The zone cache, process-wide as the time zone (TZ) it caches is: the time
// of the last zone computation (high half) and the offset it found (low
// half), in one word so that a reader never pairs the time of one
// computation with the offset of another. Both start at 0, so the first
// call computes.
std::atomic<uint64_t> zoneCache{0};

constexpr int64_t kZoneCacheSeconds = 3600;

uint64_t PackZoneCache(int32_t lastTime, int32_t lastTzone) {
  return (uint64_t(uint32_t(lastTime)) << 32) | uint32_t(lastTzone);
}

}  // namespace

bool LocalZoneMinutesWest(int64_t t, int32_t* minutesWest) {
  time_t clock = time_t(t);
  struct tm local, utc;
  if (localtime_r(&clock, &local) == nullptr || gmtime_r(&clock, &utc) == nullptr) return false;
  // The two breakdowns lie at most a day apart; a difference in day of year
  // of more than one is the turn of a year.
  int d = utc.tm_yday - local.tm_yday;
  int hours = d > 1 ? -24 : d < -1 ? 24 : d * 24;
  *minutesWest = (hours + utc.tm_hour - local.tm_hour) * 60 + utc.tm_min - local.tm_min;
  return true;
}

int GetTimeInfo(_timenow* now) {
  int64_t clock = int64_t(time(nullptr));
  now->seconds = int32_t(clock);
  now->microseconds = 0;
  uint64_t cache = zoneCache.load(std::memory_order_relaxed);
  int32_t lastTime = int32_t(uint32_t(cache >> 32));
  int32_t lastTzone = int32_t(uint32_t(cache));
  if (clock - lastTime > kZoneCacheSeconds) {
    // Threads that find the cache stale at the same moment each compute the
    // same offset; whichever stores last wins.
    if (!LocalZoneMinutesWest(clock, &lastTzone)) return -1;
    zoneCache.store(PackZoneCache(int32_t(clock), lastTzone), std::memory_order_relaxed);
  }
  now->zone_minutes_west = lastTzone;
  return 0;
}
