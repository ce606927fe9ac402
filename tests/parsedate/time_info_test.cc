// The local zone offset GetTimeInfo caches, against the C library's own
// offset (tm_gmtoff), in zones on both sides of the date line and at the
// turn of the year, where local and UTC day of year lie a year apart.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "date_test_util.h"

namespace {

TEST(TimeInfo, ZoneOffsetMatchesTheLibrary) {
  const char* zones[] = {"UTC",           "America/New_York",   "Asia/Kolkata",
                         "America/St_Johns", "Pacific/Kiritimati", "Pacific/Pago_Pago",
                         "Australia/Lord_Howe", "Europe/Berlin"};
  const int64_t instants[] = {
      0,
      UtcSeconds(2025, 12, 31, 23, 30), UtcSeconds(2026, 1, 1, 0, 30),
      UtcSeconds(2026, 1, 1, 12, 0),    UtcSeconds(2026, 3, 8, 7, 0),
      UtcSeconds(2026, 7, 1, 10, 45),   UtcSeconds(2024, 12, 31, 11, 0),  // leap year's end
      UtcSeconds(2028, 1, 1, 13, 0),    INT32_MAX,
  };
  for (const char* zone : zones) {
    ScopedTimeZone tz(zone);
    for (int64_t t : instants) {
      time_t clock = time_t(t);
      struct tm local;
      ASSERT_NE(localtime_r(&clock, &local), nullptr);
      int32_t west = 12345;
      ASSERT_TRUE(LocalZoneMinutesWest(t, &west));
      EXPECT_EQ(west, -local.tm_gmtoff / 60) << zone << " at " << t;
    }
  }
}

// Many threads at once: each sees the clock and one consistent offset.
TEST(TimeInfo, CurrentTimeFromManyThreads) {
  int64_t before = time(nullptr);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  std::vector<int32_t> zones(4);
  for (int i = 0; i < 4; i++) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < 20000; n++) {
        _timenow now{-1, -1, -1};
        if (GetTimeInfo(&now) != 0 || now.microseconds != 0 || now.seconds < before ||
            now.seconds > time(nullptr)) {
          failures++;
        }
        if (n == 0) zones[i] = now.zone_minutes_west;
        else if (now.zone_minutes_west != zones[i]) failures++;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  for (int32_t z : zones) EXPECT_EQ(z, zones[0]);
  EXPECT_GT(zones[0], -15 * 60);
  EXPECT_LT(zones[0], 13 * 60);
}

}  // namespace
